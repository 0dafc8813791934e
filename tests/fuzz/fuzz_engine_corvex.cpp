// Feeds arbitrary source text to the Corvex compiler: it never crashes, every failure is a
// compile error with a line, and every program it makes survives storage and runs (stopped
// after a short while) without crashing. Text that looks like object code goes to the loader, and
// each compiled program goes to it again with one of its numbers damaged.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "server/engine/corvex/program.h"
#include "server/engine/corvex/vm.h"

using namespace tarn::server::corvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.substr(0, 5) == "CVX1:") {
    std::shared_ptr<const Program> loaded = deserialize(text);
    if (loaded) {
      Runtime rt;
      rt.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
      std::vector<Value> args(static_cast<std::size_t>(loaded->parameters));
      (void)run(*loaded, args, rt);
    }
    return 0;
  }
  Compiled c = compile(text);
  if (!c.program) {
    if (c.errors.empty()) {
      std::fprintf(stderr, "no program and no error\n");
      std::abort();
    }
    for (const CompileError& e : c.errors) {
      if (e.line < 1 || e.text.empty()) {
        std::fprintf(stderr, "an error without a line or a text\n");
        std::abort();
      }
    }
    return 0;
  }
  std::shared_ptr<const Program> back = deserialize(serialize(*c.program));
  if (!back) {
    std::fprintf(stderr, "compiled code refused by the loader\n");
    std::abort();
  }
  Runtime rt;
  rt.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  rt.memoryLimit = std::size_t{64} << 20;
  rt.resolve = [&](std::string_view) { return back; };
  std::vector<Value> args(static_cast<std::size_t>(back->parameters));
  (void)run(*back, args, rt);

  // The same object code damaged where the input's bytes say: one number of it replaced by a
  // value chosen from the input. The loader refuses it or the program runs safely.
  std::string object = serialize(*back);
  const std::size_t numbers = (object.size() - 5) / 16;
  if (numbers == 0 || size < 2) return 0;
  const std::size_t which = (data[0] * 251u + data[size - 1]) % numbers;
  static const char* const kValues[] = {"FFFFFFFFFFFFFFFF", "0000000000000000", "FFFFFFFF7F000000",
                                        "0000000001000000", "0F00000000000000", "FFFFFF7F00000000"};
  object.replace(5 + which * 16, 16, kValues[data[size / 2] % 6]);
  std::shared_ptr<const Program> damaged = deserialize(object);
  if (damaged) {
    Runtime again;
    again.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    again.memoryLimit = std::size_t{64} << 20;
    again.resolve = [&](std::string_view) { return damaged; };
    std::vector<Value> more(static_cast<std::size_t>(damaged->parameters));
    (void)run(*damaged, more, again);
  }
  return 0;
}
