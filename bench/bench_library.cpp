// The class library through the whole stack (library, unixODBC, libtarnodbc.so, engine, SQLite)
// beside what a program would get from SQLite directly: a key read and an autocommit write of a
// 200-byte item, a walk over a 1,000,000-id file list, and a local sort of 100,000 elements.
// A paired measurement puts brRead beside the bare driver round trip it is made of, so that the
// library's own share shows. The ratios and that share print after the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/sqlite_baseline.h"
#include "server/engine/store/system.h"
#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"

namespace tarn::bench {
namespace {

constexpr long kItems = 10000;          // rows in the read/write tables on every side
constexpr std::size_t kBodySize = 200;  // bytes of every item read or written
constexpr long kListItems = 1000000;    // ids in the walked file list
constexpr std::size_t kListBodySize = 16;
constexpr int kSortElements = 100000;
constexpr long kReadStride = 7;  // reads hop through the table rather than hit one page
constexpr char kMark = '\xFE';

const char* const kSmallAccount = "BENCH";
const char* const kListAccount = "LISTS";
const char* const kListFile = "IDS";

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// One temporary directory holds the ODBC configuration, the Tarn system and the SQLite
// databases; everything goes with the process.
struct Setting {
  testing::TempDir dir;
  std::string system = dir.path() + "/system";
  std::string sqliteOdbcFile = dir.path() + "/odbc.db";
  std::string sqliteCapiFile = dir.path() + "/capi.db";
  std::string sqliteListFile = dir.path() + "/list.db";
  testing::OdbcTestEnvironment odbc{
      {{"Tarn", TARN_ODBC_DRIVER_PATH}, {"SQLite3", SQLITE_ODBC_DRIVER_PATH}},
      {{"Tarn", "Tarn", {{"System", system}}},
       {"SqliteBench",
        "SQLite3",
        {{"Database", sqliteOdbcFile}, {"JournalMode", "WAL"}, {"SyncPragma", "NORMAL"}}}}};
};

Setting& setting() {
  static Setting s;
  return s;
}

std::string tarnConnectString(const char* account) {
  return std::string("DSN=Tarn;Account=") + account;
}

// --- the Tarn side of the read and write benchmarks

struct LibraryFixture {
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn;
  Ref<clsTarnFile> file;
  std::vector<String> ids;

  LibraryFixture() {
    (void)setting();
    const String dataSource = fromUtf8(tarnConnectString(kSmallAccount));
    {
      // A connection of its own fills the file, so that the measured port starts out like the
      // bare driver's port: one that has only read.
      Ref<clsTarnConnection> writer = env->brOpenConnection(u"ODBC", dataSource);
      writer->brExecute(u"CREATE-FILE CUST 101");
      Ref<clsTarnFile> target = writer->brOpenFile(u"", String(u"CUST"));
      auto item = env->brOpenDynamicArray();
      item->brCString(fromUtf8(itemBody(kBodySize)));
      const auto start = Clock::now();
      for (long i = 0; i < kItems; ++i) {
        ids.push_back(fromUtf8(itemId("C", i)));
        target->brWrite(item, ids.back());
      }
      std::fprintf(stderr, "library: %ld items of %zu bytes written with brWrite in %.2f s\n",
                   kItems, kBodySize, seconds(start));
      target.reset();
      env->brCloseConnection(writer);
    }
    conn = env->brOpenConnection(u"ODBC", dataSource);
    file = conn->brOpenFile(u"", String(u"CUST"));
  }
};

LibraryFixture& library() {
  static LibraryFixture f;
  return f;
}

// The bare driver: the library's calls on a connection of its own, to the same account and
// file, without the library.
struct DriverFixture {
  OdbcSession session{tarnConnectString(kSmallAccount)};
  std::string fileNumber;

  DriverFixture() {
    std::string reply;
    if (!session.request(std::string(".-O") + kMark + "CUST", reply) ||
        reply.compare(0, 4, "0000") != 0) {
      fail("open CUST: " + reply);
    }
    fileNumber = reply.substr(5);
  }

  [[nodiscard]] std::string readRequest(long i) const {
    return std::string(".-R") + kMark + fileNumber + kMark + itemId("C", i) + kMark + "0";
  }
};

DriverFixture& driver() {
  (void)library();  // the configuration, the account and its items come first
  static DriverFixture f;
  return f;
}

// --- the SQLite sides

// The SQLite ODBC driver on a table like CUST. Filled through the C API before the driver
// opens the file: the rows are the same either way.
struct SqliteOdbcFixture {
  std::unique_ptr<OdbcSession> direct;
  std::unique_ptr<OdbcSession> prepared;

  SqliteOdbcFixture() {
    {
      SqliteDb db = openSqlite(setting().sqliteOdbcFile);
      fillTable(db.get(), "C", kItems, kBodySize);
    }
    direct = std::make_unique<OdbcSession>("DSN=SqliteBench");
    prepared = std::make_unique<OdbcSession>("DSN=SqliteBench");
  }
};

SqliteOdbcFixture& sqliteOdbc() {
  static SqliteOdbcFixture f;
  return f;
}

struct SqliteCapiFixture {
  SqliteDb db = openSqlite(setting().sqliteCapiFile);
  SqliteStatement read;

  SqliteCapiFixture() {
    fillTable(db.get(), "C", kItems, kBodySize);
    read = prepare(db.get(), "SELECT body FROM t WHERE id=?1");
  }
};

SqliteCapiFixture& sqliteCapi() {
  static SqliteCapiFixture f;
  return f;
}

// --- brRead of a 200-byte item

void BM_LibraryRead(benchmark::State& state) {
  LibraryFixture& f = library();
  long i = 0;
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> item = f.file->brRead(f.ids[static_cast<std::size_t>(i)]);
    if (item->brCString().size() != kBodySize) state.SkipWithError("unexpected item");
    benchmark::DoNotOptimize(item.get());
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_LibraryRead);

void BM_SqliteOdbcRead(benchmark::State& state) {
  OdbcSession& s = *sqliteOdbc().direct;
  long i = 0;
  char buffer[kBodySize * 2];
  for (auto _ : state) {
    const std::string sql = "SELECT body FROM t WHERE id='" + itemId("C", i) + "'";
    s.exec(sql);
    SQLFetch(s.stmt());
    SQLLEN n = 0;
    SQLGetData(s.stmt(), 1, SQL_C_CHAR, buffer, sizeof buffer, &n);
    if (n != static_cast<SQLLEN>(kBodySize)) state.SkipWithError("unexpected row");
    std::string body(buffer, static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(body.data());
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_SqliteOdbcRead);

// The same read as an ODBC program that prepares once and binds the key.
void BM_SqliteOdbcPreparedRead(benchmark::State& state) {
  OdbcSession& s = *sqliteOdbc().prepared;
  const SQLHSTMT stmt = s.stmt();
  SQLCHAR sql[] = "SELECT body FROM t WHERE id=?";
  if (SQLPrepare(stmt, sql, SQL_NTS) != SQL_SUCCESS) {
    state.SkipWithError("SQLPrepare failed");
    return;
  }
  char key[32] = {};
  SQLLEN keyLength = SQL_NTS;
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, sizeof key - 1, 0, key,
                   sizeof key, &keyLength);
  long i = 0;
  char buffer[kBodySize * 2];
  for (auto _ : state) {
    const std::string id = itemId("C", i);
    std::copy(id.begin(), id.end(), key);
    key[id.size()] = '\0';
    SQLFreeStmt(stmt, SQL_CLOSE);
    SQLExecute(stmt);
    SQLFetch(stmt);
    SQLLEN n = 0;
    SQLGetData(stmt, 1, SQL_C_CHAR, buffer, sizeof buffer, &n);
    if (n != static_cast<SQLLEN>(kBodySize)) state.SkipWithError("unexpected row");
    std::string body(buffer, static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(body.data());
    i = (i + kReadStride) % kItems;
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
}
BENCHMARK(BM_SqliteOdbcPreparedRead);

void BM_SqliteCapiRead(benchmark::State& state) {
  SqliteCapiFixture& f = sqliteCapi();
  sqlite3_stmt* read = f.read.get();
  long i = 0;
  for (auto _ : state) {
    const std::string id = itemId("C", i);
    sqlite3_bind_text(read, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    if (sqlite3_step(read) != SQLITE_ROW) state.SkipWithError("unexpected row");
    std::string body(static_cast<const char*>(sqlite3_column_blob(read, 0)),
                     static_cast<std::size_t>(sqlite3_column_bytes(read, 0)));
    benchmark::DoNotOptimize(body.data());
    sqlite3_reset(read);
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_SqliteCapiRead);

// --- the library's own cost: brRead beside the bare round trip of the same request

// The round trip alone, as a benchmark of its own.
void BM_DriverRoundTripRead(benchmark::State& state) {
  DriverFixture& f = driver();
  long i = 0;
  std::string reply;
  for (auto _ : state) {
    if (!f.session.request(f.readRequest(i), reply) || reply.size() != kBodySize + 5) {
      state.SkipWithError("unexpected reply");
    }
    benchmark::DoNotOptimize(reply.data());
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_DriverRoundTripRead);

// Both in one loop, turn about, each timed by itself: a change in the machine's load reaches
// both sides alike. The medians of the single timings leave out the calls during which the
// thread lost its processor; the thread's CPU clock gives a second view of the same difference.
double threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double median(std::vector<double>& v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

void BM_LibraryOverheadPaired(benchmark::State& state) {
  LibraryFixture& lib = library();
  DriverFixture& drv = driver();
  long i = 0;
  std::string reply;
  std::vector<double> libraryNs, driverNs;
  double libraryCpuNs = 0, driverCpuNs = 0;
  for (auto _ : state) {
    const std::string request = drv.readRequest(i);
    double c0 = threadCpuNs();
    auto t0 = Clock::now();
    // The array goes inside the timed part: releasing it is part of what a read costs.
    const bool readOk =
        lib.file->brRead(lib.ids[static_cast<std::size_t>(i)])->brCString().size() == kBodySize;
    auto t1 = Clock::now();
    double c1 = threadCpuNs();
    libraryNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    libraryCpuNs += c1 - c0;

    c0 = threadCpuNs();
    t0 = Clock::now();
    const bool ok = drv.session.request(request, reply);
    t1 = Clock::now();
    c1 = threadCpuNs();
    driverNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    driverCpuNs += c1 - c0;
    if (!ok || !readOk || reply.size() != kBodySize + 5) state.SkipWithError("unexpected reply");
    i = (i + kReadStride) % kItems;
  }
  const double libraryMedian = median(libraryNs);
  const double driverMedian = median(driverNs);
  using benchmark::Counter;
  state.counters["brRead_med"] = libraryMedian;
  state.counters["driver_med"] = driverMedian;
  state.counters["library_med"] = libraryMedian - driverMedian;
  state.counters["library_cpu"] = Counter(libraryCpuNs - driverCpuNs, Counter::kAvgIterations);
}
BENCHMARK(BM_LibraryOverheadPaired);

// --- brWrite of a 200-byte item, over existing items (the tables keep their size)

void BM_LibraryWrite(benchmark::State& state) {
  LibraryFixture& f = library();
  auto first = f.env->brOpenDynamicArray();
  first->brCString(fromUtf8(itemBody(kBodySize, 'b')));
  auto second = f.env->brOpenDynamicArray();
  second->brCString(fromUtf8(itemBody(kBodySize, 'c')));
  long i = 0;
  for (auto _ : state) {
    f.file->brWrite((i & 1) ? first : second, f.ids[static_cast<std::size_t>(i)]);
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_LibraryWrite);

void BM_SqliteOdbcWrite(benchmark::State& state) {
  OdbcSession& s = *sqliteOdbc().direct;
  const std::string first = itemBody(kBodySize, 'b');
  const std::string second = itemBody(kBodySize, 'c');
  long i = 0;
  for (auto _ : state) {
    const std::string sql = "INSERT OR REPLACE INTO t VALUES('" + itemId("C", i) + "', '" +
                            ((i & 1) ? first : second) + "')";
    if (s.exec(sql) != SQL_SUCCESS) state.SkipWithError("insert refused");
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_SqliteOdbcWrite);

// --- walking a 1,000,000-id file list

// The engine's store fills the account directly (one transaction) before any port opens it;
// a million brWrite calls would take minutes and measure nothing of interest here.
struct ListFixture {
  Ref<clsTarnConnection> conn;
  Ref<clsTarnFile> file;
  SqliteDb sqlite;
  SqliteStatement ids;

  ListFixture() {
    using namespace server::store;
    auto start = Clock::now();
    {
      SystemDirectory system(setting().system);
      std::unique_ptr<Account> account = system.openAccount(kListAccount, true);
      (void)account->createDataSection(kListFile, kListFile, 1, true);
      std::optional<Section> section = account->findSection(kListFile, false, "", false);
      if (!section) fail("no data section for the list file");
      const std::string body = itemBody(kListBodySize);
      Transaction tx(account->transactions());
      for (long i = 0; i < kListItems; ++i) account->writeItem(*section, itemId("L", i), body);
      tx.commit();
    }
    std::fprintf(stderr, "engine store: %ld items written in one transaction in %.2f s\n",
                 kListItems, seconds(start));

    start = Clock::now();
    sqlite = openSqlite(setting().sqliteListFile);
    fillTable(sqlite.get(), "L", kListItems, kListBodySize);
    ids = prepare(sqlite.get(), "SELECT id FROM t ORDER BY id");
    std::fprintf(stderr, "sqlite: %ld rows written in %.2f s\n", kListItems, seconds(start));

    conn = library().env->brOpenConnection(u"ODBC", fromUtf8(tarnConnectString(kListAccount)));
    file = conn->brOpenFile(u"", fromUtf8(kListFile));
  }
};

ListFixture& lists() {
  static ListFixture f;
  return f;
}

// brSelect (COUNT and the server's snapshot of the ids) and the walk to the end.
void BM_LibrarySelectAndWalk(benchmark::State& state) {
  ListFixture& f = lists();
  for (auto _ : state) {
    Ref<clsTarnSelectList> list = f.file->brSelect();
    long n = 0;
    while (list->brReadnext()) {
      benchmark::DoNotOptimize(list->brItemId().data());
      ++n;
    }
    if (n != kListItems || list->brCount() != kListItems) state.SkipWithError("short list");
  }
  state.SetItemsProcessed(state.iterations() * kListItems);
}
BENCHMARK(BM_LibrarySelectAndWalk)->Unit(benchmark::kMillisecond)->Iterations(3);

// The walk alone: brSelect happens outside the timed part.
void BM_LibraryWalk(benchmark::State& state) {
  ListFixture& f = lists();
  for (auto _ : state) {
    state.PauseTiming();
    Ref<clsTarnSelectList> list = f.file->brSelect();
    state.ResumeTiming();
    long n = 0;
    while (list->brReadnext()) {
      benchmark::DoNotOptimize(list->brItemId().data());
      ++n;
    }
    if (n != kListItems) state.SkipWithError("short list");
    state.PauseTiming();
    list.reset();  // the close request is not part of the walk
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kListItems);
}
BENCHMARK(BM_LibraryWalk)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same ids in key order straight from SQLite, each copied out as a client would keep it.
void BM_SqliteIdScan(benchmark::State& state) {
  ListFixture& f = lists();
  sqlite3_stmt* ids = f.ids.get();
  for (auto _ : state) {
    long n = 0;
    while (sqlite3_step(ids) == SQLITE_ROW) {
      std::string id(reinterpret_cast<const char*>(sqlite3_column_text(ids, 0)),
                     static_cast<std::size_t>(sqlite3_column_bytes(ids, 0)));
      benchmark::DoNotOptimize(id.data());
      ++n;
    }
    sqlite3_reset(ids);
    if (n != kListItems) state.SkipWithError("short scan");
  }
  state.SetItemsProcessed(state.iterations() * kListItems);
}
BENCHMARK(BM_SqliteIdScan)->Unit(benchmark::kMillisecond)->Iterations(3);

// What brSelect asks of the server, each request alone through the bare driver: the exact
// count (a TCL COUNT) and the snapshot of the ids that opens the list ("S", closed with "c").
struct ListDriverFixture {
  OdbcSession session{tarnConnectString(kListAccount)};
  std::string fileNumber;

  ListDriverFixture() {
    std::string reply;
    if (!session.request(std::string(".-O") + kMark + kListFile, reply) ||
        reply.compare(0, 4, "0000") != 0) {
      fail("open list file: " + reply);
    }
    fileNumber = reply.substr(5);
  }
};

ListDriverFixture& listDriver() {
  (void)lists();
  static ListDriverFixture f;
  return f;
}

void BM_DriverCountRequest(benchmark::State& state) {
  ListDriverFixture& f = listDriver();
  const std::string request = std::string(".-E") + kMark + "COUNT " + kListFile;
  std::string reply;
  for (auto _ : state) {
    if (!f.session.request(request, reply) || reply.find("1000000") == std::string::npos) {
      state.SkipWithError("unexpected count");
    }
  }
}
BENCHMARK(BM_DriverCountRequest)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DriverSnapshotRequest(benchmark::State& state) {
  ListDriverFixture& f = listDriver();
  const std::string open = std::string(".-S") + kMark + f.fileNumber;
  std::string reply;
  for (auto _ : state) {
    if (!f.session.request(open, reply) || reply.compare(0, 4, "0000") != 0) {
      state.SkipWithError("snapshot refused");
      break;
    }
    const std::string close = std::string(".-c") + kMark + reply.substr(5);
    state.PauseTiming();
    (void)f.session.request(close, reply);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_DriverSnapshotRequest)->Unit(benchmark::kMillisecond)->Iterations(3);

// --- brSort of 100,000 elements

struct SortFixture {
  std::vector<String> elements;
  Ref<clsTarnDynamicArray> array;

  SortFixture() {
    std::mt19937 random(20261205);
    std::uniform_int_distribution<int> length(3, 14);
    std::uniform_int_distribution<int> letter(0, 35);
    String text;
    for (int i = 0; i < kSortElements; ++i) {
      String e;
      for (int n = length(random); n > 0; --n) {
        const int c = letter(random);
        e.push_back(static_cast<char16_t>(c < 26 ? u'A' + c : u'0' + (c - 26)));
      }
      if (i > 0) text.push_back(kAM);
      text += e;
      elements.push_back(std::move(e));
    }
    array = library().env->brOpenDynamicArray();
    array->brCString(std::move(text));
  }
};

SortFixture& sortData() {
  static SortFixture f;
  return f;
}

void BM_LibrarySort(benchmark::State& state) {
  SortFixture& f = sortData();
  const Ref<clsTarnConnection>& conn = library().conn;
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> sorted = conn->brSort(f.array);
    if (sorted->brCString().size() != f.array->brCString().size()) {
      state.SkipWithError("sorted text differs in size");
    }
    benchmark::DoNotOptimize(sorted.get());
  }
  state.SetItemsProcessed(state.iterations() * kSortElements);
}
BENCHMARK(BM_LibrarySort)->Unit(benchmark::kMillisecond);

// std::sort of views on the same strings (the copy of the unsorted views is timed, ~0.1% of it).
void BM_StdSortViews(benchmark::State& state) {
  SortFixture& f = sortData();
  const std::vector<StringView> unsorted(f.elements.begin(), f.elements.end());
  for (auto _ : state) {
    std::vector<StringView> v = unsorted;
    std::sort(v.begin(), v.end());
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * kSortElements);
}
BENCHMARK(BM_StdSortViews)->Unit(benchmark::kMillisecond);

// std::sort of owned strings: the copy of the unsorted strings is timed with it.
void BM_StdSortStrings(benchmark::State& state) {
  SortFixture& f = sortData();
  for (auto _ : state) {
    std::vector<String> v = f.elements;
    std::sort(v.begin(), v.end());
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * kSortElements);
}
BENCHMARK(BM_StdSortStrings)->Unit(benchmark::kMillisecond);

// After the usual table: each target's ratio (real and CPU time) and the library's share of a
// read. With --benchmark_repetitions the medians are used.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Aggregate && !median) continue;
      const double unit = benchmark::GetTimeUnitMultiplier(r.time_unit);
      Figures& f = figures_[r.run_name.function_name];
      f.realNs = r.GetAdjustedRealTime() / unit * 1e9;
      f.cpuNs = r.GetAdjustedCPUTime() / unit * 1e9;
      for (const auto& [name, counter] : r.counters) f.counters[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-52s %9s %9s %8s\n", "ratio", "real", "cpu", "target");
    ratio("brRead / SQLite ODBC read (direct)", "BM_LibraryRead", "BM_SqliteOdbcRead", 0.8);
    ratio("brRead / SQLite ODBC read (prepared)", "BM_LibraryRead", "BM_SqliteOdbcPreparedRead", 0);
    ratio("brRead / SQLite C API prepared read", "BM_LibraryRead", "BM_SqliteCapiRead", 1.6);
    ratio("brWrite / SQLite ODBC INSERT OR REPLACE", "BM_LibraryWrite", "BM_SqliteOdbcWrite", 1.0);
    ratio("brSelect + brReadnext walk / SQLite id scan", "BM_LibrarySelectAndWalk",
          "BM_SqliteIdScan", 3.0);
    ratio("brReadnext walk alone / SQLite id scan", "BM_LibraryWalk", "BM_SqliteIdScan", 3.0);
    ratio("brSort / std::sort of views", "BM_LibrarySort", "BM_StdSortViews", 1.5);
    ratio("brSort / std::sort of strings", "BM_LibrarySort", "BM_StdSortStrings", 1.5);

    auto paired = figures_.find("BM_LibraryOverheadPaired");
    if (paired != figures_.end()) {
      auto& c = paired->second.counters;
      std::printf(
          "library share of brRead: %.0f ns (median brRead %.0f ns - median round trip "
          "%.0f ns), %.0f ns by thread CPU time; target < 1000\n",
          c["library_med"], c["brRead_med"], c["driver_med"], c["library_cpu"]);
    }
  }

 private:
  struct Figures {
    double realNs = 0;
    double cpuNs = 0;
    std::map<std::string, double> counters;
  };

  void ratio(const char* label, const char* ours, const char* base, double target) {
    auto a = figures_.find(ours);
    auto b = figures_.find(base);
    if (a == figures_.end() || b == figures_.end() || b->second.realNs <= 0) return;
    char limit[16] = "-";
    if (target > 0) std::snprintf(limit, sizeof limit, "<= %.1f", target);
    // CPU time as well: on a shared machine the wall clock also counts other processes' turns.
    std::printf("%-52s %8.2fx %8.2fx %8s\n", label, a->second.realNs / b->second.realNs,
                a->second.cpuNs / b->second.cpuNs, limit);
  }

  std::map<std::string, Figures> figures_;
};

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
