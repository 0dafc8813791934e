// Corvex beside Lua 5.4 running the same scripts in the same process: a numeric loop, a string
// loop that builds and scans text, and 100,000 attribute appends (also beside one C++ pass that
// builds the same text, at two sizes to show the appends stay linear). Then a three-argument
// subroutine call through the whole stack beside a brRead of a 200-byte item.
#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <memory>
#include <string>

#include "server/engine/corvex/program.h"
#include "server/engine/corvex/vm.h"
#include "tarn/connection/connection_internal.h"
#include "tarn/frame/numeric.h"
#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"

namespace tarn {


namespace bench {
namespace {

using server::corvex::Value;

struct Script {
  const char* corvex;
  const char* lua;
  const char* expected;  // what both print or return
};

const Script kNumeric = {
    "S = 0\nFOR I = 1 TO 10000000\n  S = S + I\nNEXT I\nCRT S",
    "local s = 0\nfor i = 1, 10000000 do\n  s = s + i\nend\nreturn string.format('%d', s)",
    "50000005000000"};

// 100,000 two-character pieces, then one look at every character.
const Script kString = {
    "S = ''\nFOR I = 1 TO 100000\n  S := 'ab'\nNEXT I\nN = 0\nFOR I = 1 TO LEN(S)\n"
    "  IF S[I,1] = 'a' THEN N += 1\nNEXT I\nCRT N",
    "local t = {}\nfor i = 1, 100000 do t[#t + 1] = 'ab' end\nlocal s = table.concat(t)\n"
    "local n = 0\nfor i = 1, #s do\n  if string.sub(s, i, i) == 'a' then n = n + 1 end\nend\n"
    "return tostring(n)",
    "100000"};

std::string appendsSource(long n) {
  return "X = ''\nFOR I = 1 TO " + std::to_string(n) + "\n  X<-1> = I\nNEXT I\nCRT LEN(X)";
}
const char* const kLuaAppends =
    "local t = {}\nfor i = 1, 100000 do t[#t + 1] = i end\n"
    "return tostring(#table.concat(t, '\\254'))";

void runCorvex(benchmark::State& state, const std::string& source, const char* expected) {
  server::corvex::Compiled c = server::corvex::compile(source);
  if (!c.program) {
    state.SkipWithError("does not compile");
    return;
  }
  for (auto _ : state) {
    server::corvex::Runtime rt;
    std::vector<Value> args;
    (void)server::corvex::run(*c.program, args, rt);
    if (expected != nullptr && rt.output != expected) state.SkipWithError(rt.output.c_str());
    benchmark::DoNotOptimize(rt.output.data());
  }
}

void runLua(benchmark::State& state, const char* source, const char* expected) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
  luaL_openlibs(L.get());
  if (luaL_loadstring(L.get(), source) != LUA_OK) {
    state.SkipWithError(lua_tostring(L.get(), -1));
    return;
  }
  for (auto _ : state) {
    lua_pushvalue(L.get(), -1);
    if (lua_pcall(L.get(), 0, 1, 0) != LUA_OK || std::string(lua_tostring(L.get(), -1)) != expected)
      state.SkipWithError("Lua script failed");
    lua_pop(L.get(), 1);
  }
}

void BM_CorvexNumericLoop(benchmark::State& s) {
  runCorvex(s, kNumeric.corvex, kNumeric.expected);
}
void BM_LuaNumericLoop(benchmark::State& s) {
  runLua(s, kNumeric.lua, kNumeric.expected);
}
void BM_CorvexStringLoop(benchmark::State& s) {
  runCorvex(s, kString.corvex, kString.expected);
}
void BM_LuaStringLoop(benchmark::State& s) {
  runLua(s, kString.lua, kString.expected);
}
BENCHMARK(BM_CorvexNumericLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaNumericLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CorvexStringLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaStringLoop)->Unit(benchmark::kMillisecond);

// Appends at two sizes: time per append that stays flat is linear in the total.
void BM_CorvexAppends(benchmark::State& s) {
  runCorvex(s, appendsSource(s.range(0)), nullptr);
  s.SetItemsProcessed(s.iterations() * s.range(0));
}
void BM_LuaAppends(benchmark::State& s) {
  runLua(s, kLuaAppends, "588894");
}
// The same text built in one C++ pass: each number's digits and a mark.
void BM_OnePassAppends(benchmark::State& s) {
  for (auto _ : s) {
    std::string x;
    for (long i = 1; i <= s.range(0); ++i) {
      if (i > 1) x.push_back('\xFE');
      x += std::to_string(i);
    }
    benchmark::DoNotOptimize(x.data());
  }
  s.SetItemsProcessed(s.iterations() * s.range(0));
}
BENCHMARK(BM_CorvexAppends)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaAppends)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OnePassAppends)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// --- the whole stack: "M" of a three-argument subroutine beside brRead of a 200-byte item.
struct Stack {
  testing::TempDir dir;
  testing::OdbcTestEnvironment odbc{{{"Tarn", TARN_ODBC_DRIVER_PATH}},
                                    {{"Tarn", "Tarn", {{"System", dir.path()}}}}};
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn = env->brOpenConnection(u"ODBC", u"DSN=Tarn;Account=BENCH");
  Ref<clsTarnFile> file;
  String module;

  Stack() {
    conn->brExecute(u"CREATE-FILE DICT BP 1 (");
    conn->brExecute(u"CREATE-FILE DATA BP,BP 1 (");
    file = conn->brOpenFile(u"", u"BP");
    const String am(1, kAM);
    auto text = env->brOpenDynamicArray();
    text->brCString(u"SUBROUTINE ADD3(A, B, C)" + am + u"C = A + B" + am + u"RETURN");
    file->brWrite(text, u"ADD3");
    text->brCString(String(200, u'x'));
    file->brWrite(text, u"ITEM");
    conn->brExecute(u"COMPILE BENCH,BP, ADD3 (o");
    conn->brExecute(u"CATALOG BENCH,BP, ADD3");
    String load = u"L" + am + u"ADD3";
    ConnectionInternals::session(*conn)->rsCmd(load);
    module = load;
  }
};

Stack& stack() {
  static Stack s;
  return s;
}

void BM_StackCallThreeArguments(benchmark::State& state) {
  Stack& s = stack();
  const String am(1, kAM);
  const String request = u"M" + am + s.module + am + u"3" + am + u"2" + am + u"40" + am + u"1" +
                         am + u"2" + am + u"0" + am;
  for (auto _ : state) {
    String r = request;
    ConnectionInternals::session(*s.conn)->rsCmd(r);
    if (r.size() < 12) state.SkipWithError("unexpected reply");
    benchmark::DoNotOptimize(r.data());
  }
}
void BM_StackRead200(benchmark::State& state) {
  Stack& s = stack();
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> item = s.file->brRead(u"ITEM");
    if (item->brCString().size() != 200) state.SkipWithError("unexpected item");
    benchmark::DoNotOptimize(item.get());
  }
}
BENCHMARK(BM_StackCallThreeArguments);
BENCHMARK(BM_StackRead200);

}  // namespace
}  // namespace bench
}  // namespace tarn

BENCHMARK_MAIN();
