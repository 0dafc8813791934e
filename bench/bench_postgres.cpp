// The stand-in server on its PostgreSQL store, through the whole stack (library, unixODBC,
// libtarnodbc.so, the engine, libpq), beside what a program gets from PostgreSQL directly on the
// same server and socket: brRead of a 200-byte item beside a prepared SELECT by key, brWrite
// beside a prepared INSERT ... ON CONFLICT DO UPDATE, each also timed turn about in one loop;
// then 8 client processes reading and writing (80/20) against 1, for the scaling. The program
// starts its own throwaway cluster (tests/support/pg_cluster.sh) and stops it at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/paired_timing.h"
#include "bench/ratio_reporter.h"
#include "bench/sqlite_baseline.h"
#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

extern char** environ;

namespace tarn::bench {
namespace {

constexpr long kItems = 5000;           // rows on both sides
constexpr std::size_t kBodySize = 200;  // bytes of every item read or written
constexpr long kStride = 7;             // reads hop through the table rather than hit one page
constexpr long kWorkerOps = 5000;       // operations of each throughput client
constexpr int kWritePercent = 20;
const char* const kAccount = "BENCH";

using Clock = std::chrono::steady_clock;

double nsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::nano>(Clock::now() - from).count();
}

// The cluster, a database on it holding both the Tarn system (an account is a schema) and the
// baseline's plain table, and the ODBC configuration naming it.
struct Setting {
  testing::ScratchCluster cluster{TARN_PG_CLUSTER_SCRIPT};
  std::optional<testing::ScratchDatabase> database{std::in_place, cluster.keywords()};
  testing::OdbcTestEnvironment odbc{
      {{"Tarn", TARN_ODBC_DRIVER_PATH}},
      {{"Tarn", "Tarn", {{"System", database->keywords()}, {"Account", kAccount}}}}};
  ~Setting() { database.reset(); }  // before the cluster stops
};

Setting& setting() {
  try {
    static Setting s;
    return s;
  } catch (const std::exception& e) {
    fail(e.what());  // no cluster, nothing to measure
  }
}

// --- the whole stack

struct LibraryFixture {
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn;
  Ref<clsTarnFile> file;
  std::vector<String> ids;

  LibraryFixture() {
    (void)setting();
    conn = env->brOpenConnection(u"ODBC", u"DSN=Tarn");
    conn->brExecute(u"CREATE-FILE CUST 101");
    file = conn->brOpenFile(u"", String(u"CUST"));
    auto item = env->brOpenDynamicArray();
    item->brCString(fromUtf8(itemBody(kBodySize)));
    const auto start = Clock::now();
    for (long i = 0; i < kItems; ++i) {
      ids.push_back(fromUtf8(itemId("C", i)));
      file->brWrite(item, ids.back());
    }
    std::fprintf(stderr, "library: %ld items of %zu bytes written with brWrite in %.2f s\n", kItems,
                 kBodySize, nsSince(start) / 1e9);
  }
};

LibraryFixture& library() {
  static LibraryFixture f;
  return f;
}

// --- libpq on a plain table of the same rows, on the same server and socket

struct PgFixture {
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn{nullptr, &PQfinish};

  PgFixture() {
    conn.reset(PQconnectdb(setting().database->keywords().c_str()));
    if (PQstatus(conn.get()) != CONNECTION_OK) fail(PQerrorMessage(conn.get()));
    command("CREATE TABLE plain(key text PRIMARY KEY, body text NOT NULL)");
    command("INSERT INTO plain SELECT 'C' || lpad(i::text, 7, '0'), '" + itemBody(kBodySize) +
            "' FROM generate_series(0, " + std::to_string(kItems - 1) + ") i");
    prepare("read", "SELECT body FROM plain WHERE key = $1", 1);
    prepare("upsert",
            "INSERT INTO plain(key, body) VALUES($1, $2) "
            "ON CONFLICT (key) DO UPDATE SET body = EXCLUDED.body",
            2);
  }

  void command(const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(conn.get(), sql.c_str()), &PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) fail(sql + ": " + PQerrorMessage(conn.get()));
  }
  void prepare(const char* name, const char* sql, int params) {
    std::unique_ptr<PGresult, decltype(&PQclear)> r(
        PQprepare(conn.get(), name, sql, params, nullptr), &PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) fail(sql);
  }

  // The body as a program would keep it; false when the row is not what was written.
  bool read(const std::string& key, std::string& body) {
    const char* values[] = {key.c_str()};
    PGresult* r = PQexecPrepared(conn.get(), "read", 1, values, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
    if (ok) body.assign(PQgetvalue(r, 0, 0), static_cast<std::size_t>(PQgetlength(r, 0, 0)));
    PQclear(r);
    return ok && body.size() == kBodySize;
  }
  bool upsert(const std::string& key, const std::string& body) {
    const char* values[] = {key.c_str(), body.c_str()};
    PGresult* r = PQexecPrepared(conn.get(), "upsert", 2, values, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    return ok;
  }
};

PgFixture& pg() {
  static PgFixture f;
  return f;
}

// Both sides filled, then vacuumed and analysed once, so that neither pays for the other's
// autovacuum in the middle of its measurement.
void ready() {
  static const bool settled = [] {
    (void)library();
    pg().command("VACUUM ANALYZE");
    return true;
  }();
  (void)settled;
}

// --- brRead of a 200-byte item

void BM_LibraryRead(benchmark::State& state) {
  ready();
  LibraryFixture& f = library();
  long i = 0;
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> item = f.file->brRead(f.ids[static_cast<std::size_t>(i)]);
    if (item->brCString().size() != kBodySize) state.SkipWithError("unexpected item");
    i = (i + kStride) % kItems;
  }
}
BENCHMARK(BM_LibraryRead);

void BM_PgPreparedSelect(benchmark::State& state) {
  ready();
  PgFixture& f = pg();
  long i = 0;
  std::string body;
  for (auto _ : state) {
    if (!f.read(itemId("C", i), body)) state.SkipWithError("unexpected row");
    benchmark::DoNotOptimize(body.data());
    i = (i + kStride) % kItems;
  }
}
BENCHMARK(BM_PgPreparedSelect);

// --- brWrite of a 200-byte item over existing items

void BM_LibraryWrite(benchmark::State& state) {
  ready();
  LibraryFixture& f = library();
  Ref<clsTarnDynamicArray> bodies[2] = {f.env->brOpenDynamicArray(), f.env->brOpenDynamicArray()};
  bodies[0]->brCString(fromUtf8(itemBody(kBodySize, 'b')));
  bodies[1]->brCString(fromUtf8(itemBody(kBodySize, 'c')));
  long i = 0;
  for (auto _ : state) {
    f.file->brWrite(bodies[i & 1], f.ids[static_cast<std::size_t>(i)]);
    i = (i + kStride) % kItems;
  }
}
BENCHMARK(BM_LibraryWrite);

void BM_PgPreparedUpsert(benchmark::State& state) {
  ready();
  PgFixture& f = pg();
  const std::string bodies[2] = {itemBody(kBodySize, 'b'), itemBody(kBodySize, 'c')};
  long i = 0;
  for (auto _ : state) {
    if (!f.upsert(itemId("C", i), bodies[i & 1])) state.SkipWithError("upsert refused");
    i = (i + kStride) % kItems;
  }
}
BENCHMARK(BM_PgPreparedUpsert);

// --- both sides turn about in one loop, each call timed by itself: a change in the machine's
// load reaches both alike; the medians leave out calls that lost the processor.

template <typename Ours, typename Theirs>
void paired(benchmark::State& state, Ours ours, Theirs theirs) {
  std::vector<double> oursNs, theirsNs;
  double oursCpu = 0, theirsCpu = 0;
  long i = 0;
  for (auto _ : state) {
    double c = threadCpuNs();
    auto t = Clock::now();
    const bool a = ours(i);
    oursNs.push_back(nsSince(t));
    oursCpu += threadCpuNs() - c;
    c = threadCpuNs();
    t = Clock::now();
    const bool b = theirs(i);
    theirsNs.push_back(nsSince(t));
    theirsCpu += threadCpuNs() - c;
    if (!a || !b) state.SkipWithError("unexpected result");
    i = (i + kStride) % kItems;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_med"] = median(oursNs);
  state.counters["base_med"] = median(theirsNs);
  state.counters["ours_cpu"] = oursCpu / n;
  state.counters["base_cpu"] = theirsCpu / n;
}

void BM_ReadPaired(benchmark::State& state) {
  ready();
  LibraryFixture& lib = library();
  PgFixture& p = pg();
  std::string body;
  paired(
      state,
      [&](long i) {
        return lib.file->brRead(lib.ids[static_cast<std::size_t>(i)])->brCString().size() ==
               kBodySize;
      },
      [&](long i) { return p.read(itemId("C", i), body); });
}
BENCHMARK(BM_ReadPaired);

void BM_WritePaired(benchmark::State& state) {
  ready();
  LibraryFixture& lib = library();
  PgFixture& p = pg();
  auto item = lib.env->brOpenDynamicArray();
  item->brCString(fromUtf8(itemBody(kBodySize, 'd')));
  const std::string body = itemBody(kBodySize, 'd');
  paired(
      state,
      [&](long i) {
        lib.file->brWrite(item, lib.ids[static_cast<std::size_t>(i)]);
        return true;
      },
      [&](long i) { return p.upsert(itemId("C", i), body); });
}
BENCHMARK(BM_WritePaired);

// --- throughput: client processes of their own (this program again, as a worker), each with
// its own connection, reading and writing random items; all start together.

// A worker: connects, says "ready", waits for a line, runs its operations, says "done".
int worker(unsigned seed) {
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn = env->brOpenConnection(u"ODBC", u"DSN=Tarn");
  Ref<clsTarnFile> file = conn->brOpenFile(u"", String(u"CUST"));
  auto item = env->brOpenDynamicArray();
  item->brCString(fromUtf8(itemBody(kBodySize, 'w')));
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> pick(0, kItems - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  std::puts("ready");
  std::fflush(stdout);
  char go[8];
  if (std::fgets(go, sizeof go, stdin) == nullptr) return 1;
  for (long n = 0; n < kWorkerOps; ++n) {
    const String id = fromUtf8(itemId("C", pick(random)));
    if (percent(random) < kWritePercent) {
      file->brWrite(item, id);
    } else if (file->brRead(id)->brCString().size() != kBodySize) {
      return 2;
    }
  }
  std::puts("done");
  std::fflush(stdout);
  env->brCloseConnection(conn);
  return 0;
}

struct Worker {
  pid_t pid = -1;
  std::FILE* to = nullptr;
  std::FILE* from = nullptr;
};

Worker spawnWorker(unsigned seed) {
  int down[2], up[2];
  if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, down[0], 0);
  posix_spawn_file_actions_adddup2(&actions, up[1], 1);
  std::string self = "/proc/self/exe", flag = "--worker", number = std::to_string(seed);
  char* argv[] = {self.data(), flag.data(), number.data(), nullptr};
  Worker w;
  if (posix_spawn(&w.pid, self.c_str(), &actions, nullptr, argv, environ) != 0) fail("spawn");
  posix_spawn_file_actions_destroy(&actions);
  close(down[0]);
  close(up[1]);
  w.to = fdopen(down[1], "w");
  w.from = fdopen(up[0], "r");
  return w;
}

bool expectLine(std::FILE* from, const char* word) {
  char line[32];
  return std::fgets(line, sizeof line, from) != nullptr &&
         std::strncmp(line, word, std::strlen(word)) == 0;
}

void BM_Throughput(benchmark::State& state) {
  ready();  // the file and its items come first
  const int processes = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<Worker> workers;
    for (int p = 0; p < processes; ++p) workers.push_back(spawnWorker(1234u + p));
    bool ok = true;
    for (Worker& w : workers) ok = expectLine(w.from, "ready") && ok;
    const auto start = Clock::now();
    for (Worker& w : workers) {
      std::fputs("go\n", w.to);
      std::fflush(w.to);
    }
    for (Worker& w : workers) ok = expectLine(w.from, "done") && ok;
    const double seconds = nsSince(start) / 1e9;
    for (Worker& w : workers) {
      std::fclose(w.to);
      std::fclose(w.from);
      int status = 0;
      waitpid(w.pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!ok) state.SkipWithError("a worker failed");
    state.SetIterationTime(seconds);
    state.counters["items_per_s"] = static_cast<double>(processes * kWorkerOps) / seconds;
  }
}
BENCHMARK(BM_Throughput)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

class PostgresReporter : public RatioReporter {
 public:
  PostgresReporter() {
    add({"brRead / libpq prepared SELECT", "BM_LibraryRead", "BM_PgPreparedSelect", 1.3});
    add({"brWrite / libpq prepared INSERT ... ON CONFLICT UPDATE", "BM_LibraryWrite",
         "BM_PgPreparedUpsert", 1.2});
  }

  void extra() override {
    // The turn-about rows are the steadier view of the same two targets (on the wall clock,
    // since most of a call's time is the server's).
    const std::pair<const char*, double> paired[] = {{"BM_ReadPaired", 1.3},
                                                     {"BM_WritePaired", 1.2}};
    for (const auto& [name, target] : paired) {
      const Figures* f = find(name);
      if (f == nullptr) continue;
      auto c = f->counters;
      const double wall = c["ours_med"] / c["base_med"];
      std::printf(
          "%s, turn about: median %.0f ns / %.0f ns = %.2fx wall; client CPU %.0f ns / %.0f ns "
          "= %.2fx; target <= %.1f wall: %s\n",
          name, c["ours_med"], c["base_med"], wall, c["ours_cpu"], c["base_cpu"],
          c["ours_cpu"] / c["base_cpu"], target, wall <= target ? "met" : "MISSED");
    }
    const Figures* one = find("BM_Throughput/1/iterations:1/manual_time");
    const Figures* eight = find("BM_Throughput/8/iterations:1/manual_time");
    if (one != nullptr && eight != nullptr && one->counters.count("items_per_s") != 0) {
      const double a = one->counters.at("items_per_s");
      const double b = eight->counters.at("items_per_s");
      std::printf(
          "throughput, %d%% brWrite / %d%% brRead: 1 process %.0f items/s, 8 processes %.0f "
          "items/s: %.2fx on %ld cores\n",
          kWritePercent, 100 - kWritePercent, a, b, b / a, sysconf(_SC_NPROCESSORS_ONLN));
    }
  }
};

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--worker") == 0) {
    return tarn::bench::worker(static_cast<unsigned>(std::stoul(argv[2])));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::PostgresReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
