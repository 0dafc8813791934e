// A port's transaction of 100 item writes beside the same 100 writes outside one, on the SQLite
// and the PostgreSQL store. Inside a transaction every change needs its item's lock, so the
// baseline does the same work: lock the item ("r"), then write it ("W", which releases the lock),
// each a store transaction of its own. Plain writes without locks ("W" alone) are shown too.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "bench/paired_timing.h"
#include "bench/ratio_reporter.h"
#include "server/engine/port.h"
#include "tests/support/pg_scratch.h"

namespace tarn::bench {
namespace {

using server::Port;
constexpr char AM = '\xFE';
constexpr int kWrites = 100;

std::string request(std::initializer_list<std::string_view> parts) {
  std::string out;
  bool first = true;
  for (std::string_view p : parts) {
    if (!first) out.push_back(AM);
    first = false;
    out.append(p);
  }
  return out;
}

// A port on a system of the store, with CUST holding the items the writes replace.
struct StoreFixture {
  std::unique_ptr<Port> port;
  std::string file;
  std::string ids[kWrites];
  std::string body = std::string(200, 'b');

  explicit StoreFixture(const std::string& system) {
    port = Port::open({system, "BENCH", {}, true});
    (void)port->execute(request({"E", "CREATE-FILE CUST 101"}));
    file = port->execute(request({"O", "CUST"})).substr(5);
    for (int i = 0; i < kWrites; ++i) {
      ids[i] = "C" + std::to_string(1000 + i);
      expect(request({"W", file, ids[i], body}));
    }
  }
  void expect(const std::string& r) {
    const std::string reply = port->execute(r);
    if (reply.compare(0, 4, "0000") != 0) {
      std::fprintf(stderr, "request failed: %s\n", reply.c_str());
      std::exit(1);
    }
  }
};

StoreFixture& sqlite() {
  static StoreFixture f([] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarn-bench-tx-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }());
  return f;
}

struct PgSetting {
  testing::ScratchCluster cluster{TARN_PG_CLUSTER_SCRIPT};
  std::optional<testing::ScratchDatabase> database{std::in_place, cluster.keywords()};
  std::optional<StoreFixture> fixture{std::in_place, database->keywords()};
  ~PgSetting() {
    fixture.reset();
    database.reset();  // before the cluster stops
  }
};

StoreFixture* postgres() {
  try {
    static PgSetting s;
    return &*s.fixture;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "no PostgreSQL cluster, its rows are skipped: %s\n", e.what());
    return nullptr;
  }
}

StoreFixture* store(int which) {
  return which == 0 ? &sqlite() : postgres();
}

void BM_TransactionOf100Writes(benchmark::State& state) {
  StoreFixture* f = store(static_cast<int>(state.range(0)));
  if (f == nullptr) return state.SkipWithError("no PostgreSQL");
  const std::string start = request({"E", "TRANSACTION START"});
  const std::string commit = request({"E", "TRANSACTION COMMIT"});
  for (auto _ : state) {
    f->expect(start);
    for (const std::string& id : f->ids) {
      f->expect(request({"r", f->file, id, "0"}));
      f->expect(request({"W", f->file, id, f->body}));
    }
    f->expect(commit);
  }
}
BENCHMARK(BM_TransactionOf100Writes)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_LockedWritesOutside(benchmark::State& state) {
  StoreFixture* f = store(static_cast<int>(state.range(0)));
  if (f == nullptr) return state.SkipWithError("no PostgreSQL");
  for (auto _ : state) {
    for (const std::string& id : f->ids) {
      f->expect(request({"r", f->file, id, "0"}));
      f->expect(request({"W", f->file, id, f->body}));
    }
  }
}
BENCHMARK(BM_LockedWritesOutside)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_PlainWritesOutside(benchmark::State& state) {
  StoreFixture* f = store(static_cast<int>(state.range(0)));
  if (f == nullptr) return state.SkipWithError("no PostgreSQL");
  for (auto _ : state) {
    for (const std::string& id : f->ids) f->expect(request({"W", f->file, id, f->body}));
  }
}
BENCHMARK(BM_PlainWritesOutside)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The two ways timed turn about in one loop, so that a busy machine's bad moments fall on both:
// medians of the single timings (wall) and the thread's CPU time.
void BM_TurnAbout(benchmark::State& state) {
  StoreFixture* f = store(static_cast<int>(state.range(0)));
  if (f == nullptr) return state.SkipWithError("no PostgreSQL");
  const std::string start = request({"E", "TRANSACTION START"});
  const std::string commit = request({"E", "TRANSACTION COMMIT"});
  auto lockedWrites = [&] {
    for (const std::string& id : f->ids) {
      f->expect(request({"r", f->file, id, "0"}));
      f->expect(request({"W", f->file, id, f->body}));
    }
  };
  std::vector<double> oursWall, baseWall;
  double oursCpu = 0, baseCpu = 0;
  for (auto _ : state) {
    for (int side = 0; side < 2; ++side) {
      const auto wall = std::chrono::steady_clock::now();
      const double cpu = threadCpuNs();
      if (side == 0) {
        f->expect(start);
        lockedWrites();
        f->expect(commit);
      } else {
        lockedWrites();
      }
      const double ns =
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - wall).count();
      (side == 0 ? oursWall : baseWall).push_back(ns);
      (side == 0 ? oursCpu : baseCpu) += threadCpuNs() - cpu;
    }
  }
  state.counters["ours_med"] = median(oursWall);
  state.counters["base_med"] = median(baseWall);
  state.counters["ours_cpu"] = oursCpu / static_cast<double>(state.iterations());
  state.counters["base_cpu"] = baseCpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TurnAbout)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

class Reporter : public RatioReporter {
 public:
  void extra() override {
    const char* stores[] = {"SQLite", "PostgreSQL"};
    for (int s = 0; s < 2; ++s) {
      const Figures* f = find("BM_TurnAbout/" + std::to_string(s));
      if (f == nullptr) continue;
      auto c = f->counters;
      std::printf(
          "%s, turn about, a transaction of 100 locked writes / the same writes outside one: "
          "median %.0f us / %.0f us = %.2fx wall; CPU %.0f us / %.0f us = %.2fx\n",
          stores[s], c["ours_med"] / 1e3, c["base_med"] / 1e3, c["ours_med"] / c["base_med"],
          c["ours_cpu"] / 1e3, c["base_cpu"] / 1e3, c["ours_cpu"] / c["base_cpu"]);
    }
  }
};

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::Reporter reporter;
  const char* stores[] = {"SQLite", "PostgreSQL"};
  for (int s = 0; s < 2; ++s) {
    const std::string arg = "/" + std::to_string(s);
    reporter.add({std::string("100 writes in a transaction / locked writes, ") + stores[s],
                  "BM_TransactionOf100Writes" + arg, "BM_LockedWritesOutside" + arg, 1.2});
    reporter.add({std::string("100 writes in a transaction / plain writes, ") + stores[s],
                  "BM_TransactionOf100Writes" + arg, "BM_PlainWritesOutside" + arg, 0});
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
