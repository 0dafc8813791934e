// Corvex beside Lua 5.4 running the same work in the same process, each at 10,000, 100,000 and
// 1,000,000 elements so that linear growth shows: a numeric loop, string building, field
// appends, walks by element, character and field, LOCATE in a 10,000-value list and a CALL
// chain. Lua uses its own idioms for the same work (table.concat to build, string.find and
// string.sub to walk). Then a three-argument subroutine call through the whole stack beside a
// brRead of a 200-byte item.
#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <memory>
#include <string>

#include "bench/ratio_reporter.h"
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

// One workload written in both languages for n elements; both print or return `expected`.
struct Workload {
  const char* name;
  std::string (*corvex)(long n);
  std::string (*lua)(long n);
  std::string (*expected)(long n);
};

std::string num(long n) {
  return std::to_string(n);
}
std::string triangle(long n) {
  return std::to_string(n * (n + 1) / 2);
}
// The digits of 1..n with a separator after each but the last.
std::string joinedLength(long n) {
  long bytes = n - 1;
  for (long i = 1; i <= n; ++i) bytes += static_cast<long>(std::to_string(i).size());
  return std::to_string(bytes);
}

const Workload kWorkloads[] = {
    {"NumericLoop",
     [](long n) { return "S = 0\nFOR I = 1 TO " + num(n) + "\n  S = S + I\nNEXT I\nCRT S"; },
     [](long n) {
       return "local s = 0\nfor i = 1, " + num(n) +
              " do s = s + i end\nreturn string.format('%d', s)";
     },
     triangle},
    {"StringBuild",
     [](long n) { return "S = ''\nFOR I = 1 TO " + num(n) + "\n  S := 'ab'\nNEXT I\nCRT LEN(S)"; },
     [](long n) {
       return "local t = {}\nfor i = 1, " + num(n) +
              " do t[#t + 1] = 'ab' end\nreturn tostring(#table.concat(t))";
     },
     [](long n) { return num(2 * n); }},
    {"FieldAppends",
     [](long n) { return "X = ''\nFOR I = 1 TO " + num(n) + "\n  X<-1> = I\nNEXT I\nCRT LEN(X)"; },
     [](long n) {
       return "local t = {}\nfor i = 1, " + num(n) +
              " do t[#t + 1] = i end\nreturn tostring(#table.concat(t, '\\254'))";
     },
     joinedLength},
    // Build a list of 1..n, then read every element in order and add them up.
    {"ElementWalk",
     [](long n) {
       return "X = ''\nFOR I = 1 TO " + num(n) + "\n  X<-1> = I\nNEXT I\nT = 0\nFOR I = 1 TO " +
              num(n) + "\n  T += X<I>\nNEXT I\nCRT T";
     },
     [](long n) {
       return "local t = {}\nfor i = 1, " + num(n) +
              " do t[#t + 1] = i end\nlocal s = table.concat(t, '\\254')\nlocal sum, p = 0, 1\n"
              "for i = 1, " +
              num(n) +
              " do\n  local e = string.find(s, '\\254', p, true) or #s + 1\n"
              "  sum = sum + tonumber(string.sub(s, p, e - 1))\n  p = e + 1\nend\n"
              "return string.format('%d', sum)";
     },
     triangle},
    // Look at every character of an n-character string.
    {"CharacterWalk",
     [](long n) {
       return "S = STR('ab', " + num(n / 2) + ")\nC = 0\nFOR I = 1 TO " + num(n) +
              "\n  IF S[I,1] = 'a' THEN C += 1\nNEXT I\nCRT C";
     },
     [](long n) {
       return "local s = string.rep('ab', " + num(n / 2) + ")\nlocal c = 0\nfor i = 1, " + num(n) +
              " do\n  if string.sub(s, i, i) == 'a' then c = c + 1 end\nend\nreturn tostring(c)";
     },
     [](long n) { return num(n / 2); }},
    // Build "1,2,...,n," and read every field in order.
    {"FieldWalk",
     [](long n) {
       return "S = ''\nFOR I = 1 TO " + num(n) + "\n  S := I : ','\nNEXT I\nT = 0\nFOR I = 1 TO " +
              num(n) + "\n  T += FIELD(S, ',', I)\nNEXT I\nCRT T";
     },
     [](long n) {
       return "local t = {}\nfor i = 1, " + num(n) +
              " do t[#t + 1] = i .. ',' end\nlocal s = table.concat(t)\nlocal sum, p = 0, 1\n"
              "for i = 1, " +
              num(n) +
              " do\n  local e = string.find(s, ',', p, true)\n"
              "  sum = sum + tonumber(string.sub(s, p, e - 1))\n  p = e + 1\nend\n"
              "return string.format('%d', sum)";
     },
     triangle},
    // n/100 searches of a 10,000-value list for values spread over it (the list is built once
    // per run, in both).
    {"Locate",
     [](long n) {
       return "L = ''\nFOR I = 1 TO 10000\n  L<1,-1> = 'V' : I\nNEXT I\nT = 0\nFOR I = 1 TO " +
              num(n / 100) +
              "\n  LOCATE 'V' : (MOD(I * 7919, 10000) + 1) IN L<1> SETTING P ELSE P = 0\n"
              "  T += P\nNEXT I\nCRT T";
     },
     [](long n) {
       return "local l = {}\nfor i = 1, 10000 do l[i] = 'V' .. i end\nlocal t = 0\nfor i = 1, " +
              num(n / 100) +
              " do\n  local want, p = 'V' .. ((i * 7919) % 10000 + 1), 0\n"
              "  for k = 1, #l do if l[k] == want then p = k break end end\n"
              "  t = t + p\nend\nreturn string.format('%d', t)";
     },
     [](long n) {
       long t = 0;
       for (long i = 1; i <= n / 100; ++i) t += (i * 7919) % 10000 + 1;
       return std::to_string(t);
     }},
    // n calls of a subroutine that adds one to its argument.
    {"CallChain",
     [](long n) { return "T = 0\nFOR I = 1 TO " + num(n) + "\n  CALL ADD1(T)\nNEXT I\nCRT T"; },
     [](long n) {
       return "local function add1(x) return x + 1 end\nlocal t = 0\nfor i = 1, " + num(n) +
              " do t = add1(t) end\nreturn string.format('%d', t)";
     },
     num},
};

const char* const kAdd1 = "SUBROUTINE ADD1(X)\nX = X + 1\nRETURN";

void runCorvex(benchmark::State& state, const std::string& source, const std::string& expected) {
  server::corvex::Compiled c = server::corvex::compile(source);
  std::shared_ptr<const server::corvex::Program> add1 = server::corvex::compile(kAdd1).program;
  if (!c.program || !add1) {
    state.SkipWithError("does not compile");
    return;
  }
  for (auto _ : state) {
    server::corvex::Runtime rt;
    rt.resolve = [&](std::string_view) { return add1; };
    std::vector<Value> args;
    server::corvex::RunResult r = server::corvex::run(*c.program, args, rt);
    if (r.status != server::corvex::RunStatus::kDone || rt.output != expected) {
      state.SkipWithError((r.message + " / " + rt.output).c_str());
      break;
    }
    benchmark::DoNotOptimize(rt.output.data());
  }
}

void runLua(benchmark::State& state, const std::string& source, const std::string& expected) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
  luaL_openlibs(L.get());
  if (luaL_loadstring(L.get(), source.c_str()) != LUA_OK) {
    state.SkipWithError(lua_tostring(L.get(), -1));
    return;
  }
  for (auto _ : state) {
    lua_pushvalue(L.get(), -1);
    if (lua_pcall(L.get(), 0, 1, 0) != LUA_OK ||
        std::string(lua_tostring(L.get(), -1)) != expected) {
      state.SkipWithError("Lua script failed");
      break;
    }
    lua_pop(L.get(), 1);
  }
}

constexpr long kSizes[] = {10000, 100000, 1000000};

void registerWorkloads(RatioReporter& reporter) {
  for (const Workload& w : kWorkloads) {
    for (long n : kSizes) {
      const std::string ours = std::string("BM_Corvex") + w.name + "/" + num(n);
      const std::string base = std::string("BM_Lua") + w.name + "/" + num(n);
      benchmark::RegisterBenchmark(ours.c_str(), [&w, n](benchmark::State& s) {
        runCorvex(s, w.corvex(n), w.expected(n));
        s.SetItemsProcessed(s.iterations() * n);
      })->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(base.c_str(), [&w, n](benchmark::State& s) {
        runLua(s, w.lua(n), w.expected(n));
        s.SetItemsProcessed(s.iterations() * n);
      })->Unit(benchmark::kMillisecond);
      reporter.add({std::string(w.name) + " " + num(n) + " / Lua 5.4", ours, base, 1.0});
    }
  }
}

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

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::RatioReporter reporter;
  tarn::bench::registerWorkloads(reporter);
  reporter.add({"M of a three-argument subroutine / brRead of 200 bytes",
                "BM_StackCallThreeArguments", "BM_StackRead200", 0});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
