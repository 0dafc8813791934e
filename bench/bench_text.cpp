// brRead and brWrite of a 200-byte ASCII item and of a 200-character CJK item, through a UTF-8
// connection beside a Windows-1252 connection to the same account, in the same run. The ratios
// print after the table; for ASCII the UTF-8 connection should cost at most 1.1x.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"

namespace tarn::bench {
namespace {

constexpr long kItems = 2000;
constexpr std::size_t kLength = 200;  // characters of every item
constexpr long kStride = 7;

struct Setting {
  testing::TempDir dir;
  testing::OdbcTestEnvironment odbc{{{"Tarn", TARN_ODBC_DRIVER_PATH}},
                                    {{"Tarn", "Tarn", {{"System", dir.path() + "/system"}}}}};
};

enum Encoding { kWindows1252, kUtf8 };
enum Kind { kAscii, kCjk };

String body(Kind kind, char16_t variant) {
  String s;
  for (std::size_t i = 0; i < kLength; ++i) {
    s.push_back(kind == kAscii ? static_cast<char16_t>(u'a' + (i + variant) % 26)
                               : static_cast<char16_t>(0x4E00 + (i * 31 + variant) % 20000));
  }
  return s;
}

struct Fixture {
  Setting setting;
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnFile> files[2];
  Ref<clsTarnConnection> conns[2];
  std::vector<String> ids[2];

  Fixture() {
    conns[kWindows1252] = env->brOpenConnection(u"ODBC", u"DSN=Tarn;Account=TEXT");
    conns[kUtf8] = env->brOpenConnection(u"ODBC", u"DSN=Tarn;Account=TEXT;Encoding=UTF-8");
    conns[kUtf8]->brExecute(u"CREATE-FILE T 101");
    for (int e : {kWindows1252, kUtf8}) files[e] = conns[e]->brOpenFile(u"", String(u"T"));
    for (Kind kind : {kAscii, kCjk}) {
      auto item = env->brOpenDynamicArray();
      item->brCString(body(kind, 0));
      for (long i = 0; i < kItems; ++i) {
        ids[kind].push_back((kind == kAscii ? u"A" : u"K") + fromUtf8(std::to_string(i)));
        files[kUtf8]->brWrite(item, ids[kind].back());
      }
    }
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Read(benchmark::State& state) {
  Fixture& f = fixture();
  const auto encoding = static_cast<Encoding>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  long i = 0;
  std::size_t units = 0;
  for (auto _ : state) {
    units +=
        f.files[encoding]->brRead(f.ids[kind][static_cast<std::size_t>(i)])->brCString().size();
    i = (i + kStride) % kItems;
  }
  benchmark::DoNotOptimize(units);
}
BENCHMARK(BM_Read)
    ->ArgNames({"utf8", "cjk"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1});

void BM_Write(benchmark::State& state) {
  Fixture& f = fixture();
  const auto encoding = static_cast<Encoding>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  auto first = f.env->brOpenDynamicArray();
  first->brCString(body(kind, 1));
  auto second = f.env->brOpenDynamicArray();
  second->brCString(body(kind, 2));
  long i = 0;
  for (auto _ : state) {
    f.files[encoding]->brWrite((i & 1) ? first : second, f.ids[kind][static_cast<std::size_t>(i)]);
    i = (i + kStride) % kItems;
  }
}
BENCHMARK(BM_Write)
    ->ArgNames({"utf8", "cjk"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1});

// The same ASCII work alternating between the two connections request by request, so that the
// machine's other load falls on both alike; each side's median goes out as a counter.
void BM_AsciiPaired(benchmark::State& state) {
  Fixture& f = fixture();
  const bool write = state.range(0) != 0;
  auto item = f.env->brOpenDynamicArray();
  item->brCString(body(kAscii, 3));
  std::vector<double> samples[2];
  long i = 0;
  std::size_t units = 0;
  for (auto _ : state) {
    for (int e : {kWindows1252, kUtf8}) {
      const String& id = f.ids[kAscii][static_cast<std::size_t>(i)];
      const auto start = std::chrono::steady_clock::now();
      if (write) {
        f.files[e]->brWrite(item, id);
      } else {
        units += f.files[e]->brRead(id)->brCString().size();
      }
      samples[e].push_back(
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
              .count());
    }
    i = (i + kStride) % kItems;
  }
  benchmark::DoNotOptimize(units);
  for (auto& v : samples) std::sort(v.begin(), v.end());
  const double w = samples[kWindows1252][samples[kWindows1252].size() / 2];
  const double u = samples[kUtf8][samples[kUtf8].size() / 2];
  state.counters["w1252_ns"] = w;
  state.counters["utf8_ns"] = u;
  state.counters["ratio"] = u / w;
}
BENCHMARK(BM_AsciiPaired)->ArgNames({"write"})->Arg(0)->Arg(1);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = r.run_name.function_name + "/" + r.run_name.args;
      times_[name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
      if (auto c = r.counters.find("ratio"); c != r.counters.end()) paired_[name] = c->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-44s %9s %9s %8s\n", "UTF-8 connection / Windows-1252", "real", "cpu",
                "target");
    ratio("brRead, 200-byte ASCII item", "BM_Read", "cjk:0", "<= 1.1");
    ratio("brWrite, 200-byte ASCII item", "BM_Write", "cjk:0", "<= 1.1");
    ratio("brRead, 200-character CJK item", "BM_Read", "cjk:1", "-");
    ratio("brWrite, 200-character CJK item", "BM_Write", "cjk:1", "-");
    for (const auto& [name, value] : paired_) {
      std::printf("%-44s %8.2fx %9s %8s\n",
                  name.find("write:1") != std::string::npos ? "paired medians, brWrite ASCII"
                                                            : "paired medians, brRead ASCII",
                  value, "", "<= 1.1");
    }
  }

 private:
  void ratio(const char* label, const std::string& function, const std::string& kind,
             const char* target) {
    auto a = times_.find(function + "/utf8:1/" + kind);
    auto b = times_.find(function + "/utf8:0/" + kind);
    if (a == times_.end() || b == times_.end() || b->second.first <= 0) return;
    std::printf("%-44s %8.2fx %8.2fx %8s\n", label, a->second.first / b->second.first,
                a->second.second / b->second.second, target);
  }

  std::map<std::string, std::pair<double, double>> times_;
  std::map<std::string, double> paired_;
};

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tarn::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
