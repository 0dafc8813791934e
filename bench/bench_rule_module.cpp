// brCall of a three-argument subroutine. The library's own work per call is the call minus the
// bare round trip of the same request text with the same reply, both through unixODBC to the
// scripted driver, timed turn about in one loop. Where the stand-in server has its language,
// brCall also runs through the whole stack beside brRead of a 200-byte item and beside the
// bare "M" round trip to the same server.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bench/paired_timing.h"
#include "bench/sqlite_baseline.h"
#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"
#include "tests/support/scripted_driver.h"

namespace tarn::bench {
namespace {

constexpr char kMark = '\xFE';
const String kAMText(1, kAM);
// Arguments that the scripted reply hands back unchanged, so that every call sends the same.
const std::vector<std::string> kArguments = {"alpha", "beta", "gamma"};
// The scripted driver records every statement; its record is cleared this often, untimed.
constexpr long kRecordClearEvery = 4096;

using Clock = std::chrono::steady_clock;

struct Setting {
  testing::TempDir dir;
  testing::OdbcTestEnvironment odbc{
      {{"Scripted", TARN_SCRIPTED_DRIVER_PATH}, {"Tarn", TARN_ODBC_DRIVER_PATH}},
      {{"Scripted", "Scripted", {}}, {"Tarn", "Tarn", {{"System", dir.path() + "/system"}}}}};
};

Setting& setting() {
  static Setting s;
  return s;
}

// The counted fields of a call's reply and request: length, mark, text.
std::string counted(const std::vector<std::string>& texts, bool separators) {
  std::string out;
  for (const std::string& t : texts) {
    if (!separators) out += kMark;
    out += std::to_string(t.size()) + kMark + t;
    if (separators) out += kMark;
  }
  return out;
}

VariantArray argumentArray() {
  VariantArray a(0, static_cast<std::int32_t>(kArguments.size()));
  for (std::size_t i = 0; i < kArguments.size(); ++i) a.elements()[i] = fromUtf8(kArguments[i]);
  return a;
}

// Times call and bare turn about; the medians leave out the turns in which the thread lost its
// processor, and the thread's CPU clock gives a second view of the same difference.
template <class Call, class Bare, class Between>
void paired(benchmark::State& state, Call&& call, Bare&& bare, Between&& between) {
  std::vector<double> callNs, bareNs;
  double callCpu = 0, bareCpu = 0;
  long n = 0;
  for (auto _ : state) {
    between(n++);
    double c0 = threadCpuNs();
    auto t0 = Clock::now();
    const bool callOk = call();
    auto t1 = Clock::now();
    double c1 = threadCpuNs();
    callNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    callCpu += c1 - c0;

    c0 = threadCpuNs();
    t0 = Clock::now();
    const bool bareOk = bare();
    t1 = Clock::now();
    c1 = threadCpuNs();
    bareNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    bareCpu += c1 - c0;
    if (!callOk || !bareOk) state.SkipWithError("unexpected reply");
  }
  const double callMedian = median(callNs), bareMedian = median(bareNs);
  state.counters["call_med"] = callMedian;
  state.counters["bare_med"] = bareMedian;
  state.counters["library_med"] = callMedian - bareMedian;
  state.counters["library_cpu"] =
      benchmark::Counter(callCpu - bareCpu, benchmark::Counter::kAvgIterations);
}

// --- the library's own work, through the scripted driver

struct ScriptedFixture {
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn;
  Ref<clsTarnRuleModule> module;
  std::unique_ptr<OdbcSession> bare;
  std::string reply = "0000 " + counted(kArguments, true);
  std::string request = std::string(".-M") + kMark + "7" + kMark + "3" + counted(kArguments, false);

  ScriptedFixture() {
    (void)setting();
    const std::string ok = "0000 " + counted({"", ""}, true);
    for (int i = 0; i < 4; ++i) queue(ok);  // the connection's locale commands
    conn = env->brOpenConnection(u"ODBC", u"Scripted");
    queue("0000 7");
    module = conn->brOpenRuleModule(u"JOIN", u"BP");
    bare = std::make_unique<OdbcSession>("DSN=Scripted");
  }

  static void queue(const std::string& r) { scripted_queue_reply(r.data(), r.size()); }
};

void BM_ScriptedCallMinusRoundTrip(benchmark::State& state) {
  static ScriptedFixture f;
  VariantArray args = argumentArray();
  std::string got;
  paired(
      state,
      [&] {
        ScriptedFixture::queue(f.reply);
        const bool ok = f.module->brCall(args);
        return ok && args.elements()[2] == Variant(u"gamma");
      },
      [&] {
        ScriptedFixture::queue(f.reply);
        return f.bare->request(f.request, got) && got == f.reply;
      },
      [&](long n) {
        if (n % kRecordClearEvery != 0) return;
        state.PauseTiming();
        scripted_reset();
        state.ResumeTiming();
      });
}
BENCHMARK(BM_ScriptedCallMinusRoundTrip);

// --- through the whole stack to the stand-in server

constexpr long kItems = 1000;
constexpr std::size_t kBodySize = 200;
constexpr long kReadStride = 7;
const char* const kAccount = "DSN=Tarn;Account=RULES;CreateAccount=Yes";

struct ServerFixture {
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn;
  Ref<clsTarnFile> file;
  Ref<clsTarnRuleModule> module;
  std::vector<String> ids;
  std::unique_ptr<OdbcSession> bare;
  std::string callRequest;

  ServerFixture() {
    (void)setting();
    conn = env->brOpenConnection(u"ODBC", fromUtf8(kAccount));
    file = conn->brCreateFile(u"", u"CUST", 101);
    auto item = env->brOpenDynamicArray(fromUtf8(itemBody(kBodySize)));
    for (long i = 0; i < kItems; ++i) {
      ids.push_back(fromUtf8(itemId("C", i)));
      file->brWrite(item, ids.back());
    }
    auto bp = conn->brCreateFile(u"", u"BP", 1);
    bp->brWrite(env->brOpenDynamicArray(u"SUBROUTINE JOIN(A, B, C)" + kAMText + u"C = A : B" +
                                        kAMText + u"RETURN" + kAMText + u"END"),
                u"JOIN");
    if (!conn->brCompile(u"BP", u"BP", u"JOIN") || !conn->brCatalog(u"BP", u"BP", u"JOIN")) {
      fail("JOIN did not compile and catalog");
    }
    module = conn->brOpenRuleModule(u"JOIN");

    bare = std::make_unique<OdbcSession>(kAccount);
    std::string reply;
    if (!bare->request(std::string(".-L") + kMark + "JOIN", reply) ||
        reply.compare(0, 4, "0000") != 0) {
      fail("load JOIN: " + reply);
    }
    callRequest = std::string(".-M") + kMark + reply.substr(5) + kMark + "3" +
                  counted({"alpha", "beta", ""}, false);
  }
};

ServerFixture& server() {
  static ServerFixture f;
  return f;
}

void BM_ServerCall(benchmark::State& state) {
  ServerFixture& f = server();
  VariantArray args = argumentArray();
  for (auto _ : state) {
    args.elements()[2] = Variant(u"");
    f.module->brCall(args);
    if (args.elements()[2] != Variant(u"alphabeta")) state.SkipWithError("unexpected result");
  }
}
BENCHMARK(BM_ServerCall);

void BM_ServerRead(benchmark::State& state) {
  ServerFixture& f = server();
  long i = 0;
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> item = f.file->brRead(f.ids[static_cast<std::size_t>(i)]);
    if (item->brCString().size() != kBodySize) state.SkipWithError("unexpected item");
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_ServerRead);

void BM_ServerCallMinusRoundTrip(benchmark::State& state) {
  ServerFixture& f = server();
  VariantArray args = argumentArray();
  std::string got;
  paired(
      state,
      [&] {
        args.elements()[2] = Variant(u"");
        return f.module->brCall(args) && args.elements()[2] == Variant(u"alphabeta");
      },
      [&] { return f.bare->request(f.callRequest, got) && got.compare(0, 4, "0000") == 0; },
      [](long) {});
}
BENCHMARK(BM_ServerCallMinusRoundTrip);

// After the table: brCall beside brRead, and the library's share of a call.
class CallReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      Figures& f = figures_[r.run_name.function_name];
      f.realNs = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
      f.cpuNs = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
      for (const auto& [name, counter] : r.counters) f.counters[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto call = figures_.find("BM_ServerCall");
    auto read = figures_.find("BM_ServerRead");
    if (call != figures_.end() && read != figures_.end() && read->second.realNs > 0) {
      std::printf(
          "\nbrCall (3 arguments) / brRead (200 bytes): %.2fx real, %.2fx cpu; "
          "target <= 1.3\n",
          call->second.realNs / read->second.realNs, call->second.cpuNs / read->second.cpuNs);
    }
    share("scripted driver", "BM_ScriptedCallMinusRoundTrip");
    share("stand-in server", "BM_ServerCallMinusRoundTrip");
  }

 private:
  struct Figures {
    double realNs = 0;
    double cpuNs = 0;
    std::map<std::string, double> counters;
  };

  void share(const char* label, const char* name) {
    auto it = figures_.find(name);
    if (it == figures_.end()) return;
    auto& c = it->second.counters;
    std::printf(
        "library share of brCall (%s): %.0f ns (median call %.0f ns - median round trip "
        "%.0f ns), %.0f ns by thread CPU time; target < 1500\n",
        label, c["library_med"], c["call_med"], c["bare_med"], c["library_cpu"]);
  }

  std::map<std::string, Figures> figures_;
};

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::CallReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
