// Feeds arbitrary requests to one port on a throw-away system: every reply must be a status and
// data, whatever the request; nothing may crash or throw.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "server/engine/port.h"

namespace {

void checkReply(const std::string& reply) {
  bool ok = reply.size() >= 5 && reply[4] == ' ';
  for (int i = 0; ok && i < 4; ++i) ok = reply[i] >= '0' && reply[i] <= '9';
  if (!ok) {
    std::fprintf(stderr, "malformed reply of %zu bytes\n", reply.size());
    std::abort();
  }
}

struct Target {
  std::string dir;
  std::unique_ptr<tarn::server::Port> port;
  Target() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-fuzz-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    // Small limits, so that inputs reach each refusal (and the edge just below it) cheaply.
    tarn::server::Limits limits;
    limits.itemBytes = 4096;
    limits.elementNumber = 500;
    limits.replyBytes = 16384;
    limits.stackedCommands = 8;
    // A subroutine the fuzzer compiles may loop for ever: calls stop after a moment.
    // TARN_FUZZ_SYSTEM names another system to fuzz, such as a PostgreSQL database.
    const char* system = std::getenv("TARN_FUZZ_SYSTEM");
    port = tarn::server::Port::open(
        {system ? system : dir, "FUZZ", std::chrono::milliseconds(50), true}, limits);
    // Handles 1 and 2 and some items exist, so that numeric fields often name real things.
    checkReply(port->execute(std::string("E\xFE") + "CREATE-FILE CUST 3"));
    checkReply(port->execute(std::string("O\xFE") + "CUST"));
    checkReply(port->execute(std::string("O\xFE") + "DICT CUST"));
    checkReply(port->execute(std::string("W\xFE") + "1\xFE" + "A\xFE" + "x\xFEy\xFDz"));
    checkReply(port->execute(std::string("W\xFE") + "2\xFE" + "NAME\xFE" + "A\xFE" + "1"));
    // Index 1 is open on an index over attribute 1, so "K" requests reach real entries.
    checkReply(port->execute(std::string("E\xFE") + "CREATE-INDEX CUST A1 (s"));
    checkReply(port->execute(std::string("I\xFE") + "CUST\xFE" + "A1"));
  }
  ~Target() {
    port.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Target target;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The sleep conversion would only make the fuzzer wait.
  if (input.find("U407") != std::string_view::npos) return 0;
  // So would a protected account: each password hash takes a deliberate fraction of a second,
  // and each refused logon after it a growing delay.
  if (input.find("PROTECT-") != std::string_view::npos) return 0;
  // Several requests per input, one per line, so that sequences (open, lock, list) are reached.
  while (!input.empty()) {
    std::size_t end = input.find('\n');
    checkReply(target.port->execute(input.substr(0, end)));
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return 0;
}
