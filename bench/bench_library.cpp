// The class library through the whole stack (library, unixODBC, libtarnodbc.so, engine, SQLite)
// beside what a program would get from SQLite directly: a key read and an autocommit write of a
// 200-byte item against prepared statements through the SQLite ODBC driver and SQLite's C API,
// an item of 1 KB to 50 MB written and read back (time and peak memory), a walk over a
// 1,000,000-id file list, and a local sort of 100,000 elements. A paired measurement puts brRead
// beside the bare driver round trip it is made of, so that the library's own share shows. How
// brRead and the select walk grow with the file follows. The ratios, that share, the large items
// and the growth print after the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/paired_timing.h"
#include "bench/ratio_reporter.h"
#include "bench/sqlite_baseline.h"
#include "server/engine/store/store.h"
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
  std::unique_ptr<OdbcSession> preparedWrite;

  SqliteOdbcFixture() {
    {
      SqliteDb db = openSqlite(setting().sqliteOdbcFile);
      fillTable(db.get(), "C", kItems, kBodySize);
    }
    direct = std::make_unique<OdbcSession>("DSN=SqliteBench");
    prepared = std::make_unique<OdbcSession>("DSN=SqliteBench");
    preparedWrite = std::make_unique<OdbcSession>("DSN=SqliteBench");
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

// The same write as an ODBC program that prepares the insert once and binds key and body.
void BM_SqliteOdbcPreparedWrite(benchmark::State& state) {
  OdbcSession& s = *sqliteOdbc().preparedWrite;
  const SQLHSTMT stmt = s.stmt();
  SQLCHAR sql[] = "INSERT OR REPLACE INTO t VALUES(?, ?)";
  if (SQLPrepare(stmt, sql, SQL_NTS) != SQL_SUCCESS) {
    state.SkipWithError("SQLPrepare failed");
    return;
  }
  const std::string bodies[2] = {itemBody(kBodySize, 'c'), itemBody(kBodySize, 'b')};
  char key[32] = {};
  char body[kBodySize + 1] = {};
  SQLLEN keyLength = SQL_NTS;
  SQLLEN bodyLength = static_cast<SQLLEN>(kBodySize);
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, sizeof key - 1, 0, key,
                   sizeof key, &keyLength);
  SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, kBodySize, 0, body,
                   sizeof body, &bodyLength);
  long i = 0;
  for (auto _ : state) {
    const std::string id = itemId("C", i);
    std::copy(id.begin(), id.end(), key);
    key[id.size()] = '\0';
    const std::string& b = bodies[i & 1];
    std::copy(b.begin(), b.end(), body);
    if (!SQL_SUCCEEDED(SQLExecute(stmt))) state.SkipWithError("insert refused");
    i = (i + kReadStride) % kItems;
  }
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
}
BENCHMARK(BM_SqliteOdbcPreparedWrite);

// --- an item of 1 KB to 50 MB written and read back: time, and the process's peak memory above
// what it held before (the client's own array excluded, the array read back included)

long statusKb(const char* key) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  long kb = 0;
  const std::size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, n) == 0) kb = std::strtol(line + n, nullptr, 10);
  }
  std::fclose(f);
  return kb;
}

// Starts the peak resident size over from the current one (Linux 4.0 and later).
bool resetPeak() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

void BM_LibraryLargeItem(benchmark::State& state) {
  LibraryFixture& f = library();
  const auto bytes = static_cast<std::size_t>(state.range(0)) << 10;
  auto item = f.env->brOpenDynamicArray();
  item->brCString(fromUtf8(itemBody(bytes)));
  const String id = u"LARGE" + fromUtf8(std::to_string(state.range(0)));
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!resetPeak()) state.SkipWithError("cannot reset the peak resident size");
    const long before = statusKb("VmRSS:");
    state.ResumeTiming();
    f.file->brWrite(item, id);
    Ref<clsTarnDynamicArray> back = f.file->brRead(id);
    if (back->brCString().size() != bytes) state.SkipWithError("item read back differs");
    back.reset();
    state.PauseTiming();
    peak = std::max(peak, static_cast<double>(statusKb("VmHWM:") - before) * 1024.0);
    state.ResumeTiming();
  }
  state.counters["peak_MB"] = peak / (1 << 20);
  state.counters["peak_per_utf16"] = peak / (2.0 * static_cast<double>(bytes));
  state.counters["peak_per_byte"] = peak / static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
// Item sizes in KB: 1 KB, 1, 10 and 50 MB.
void itemSizes(benchmark::internal::Benchmark* b) {
  for (std::int64_t kb : {1, 1024, 10240, 51200}) b->Arg(kb);
}
BENCHMARK(BM_LibraryLargeItem)->Apply(itemSizes)->Unit(benchmark::kMillisecond);

// The same write and read through SQLite's C API with prepared statements: whether the time per
// byte grows with the size in the storage itself.
void BM_SqliteCapiLargeItem(benchmark::State& state) {
  SqliteCapiFixture& f = sqliteCapi();
  const auto bytes = static_cast<std::size_t>(state.range(0)) << 10;
  const std::string body = itemBody(bytes);
  const std::string id = "LARGE" + std::to_string(state.range(0));
  SqliteStatement write = prepare(f.db.get(), "INSERT OR REPLACE INTO t VALUES(?1, ?2)");
  sqlite3_stmt* read = f.read.get();
  for (auto _ : state) {
    sqlite3_bind_text(write.get(), 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_bind_text(write.get(), 2, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
    if (sqlite3_step(write.get()) != SQLITE_DONE) state.SkipWithError("insert refused");
    sqlite3_reset(write.get());
    sqlite3_bind_text(read, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    if (sqlite3_step(read) != SQLITE_ROW) state.SkipWithError("no row");
    std::string back(static_cast<const char*>(sqlite3_column_blob(read, 0)),
                     static_cast<std::size_t>(sqlite3_column_bytes(read, 0)));
    if (back.size() != bytes) state.SkipWithError("row read back differs");
    sqlite3_reset(read);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_SqliteCapiLargeItem)->Apply(itemSizes)->Unit(benchmark::kMillisecond);

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
      std::unique_ptr<Account> account =
          openSystem(setting().system, true)->openAccount(kListAccount, true);
      (void)account->createDataSection(kListFile, kListFile, 1, true);
      std::optional<Section> section = account->findSection(kListFile, false, "", false);
      if (!section) fail("no data section for the list file");
      const std::string body = itemBody(kListBodySize);
      Transaction tx(*account);
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

// --- how the costs grow with the work: brRead in files of 1,000, 100,000 and 1,000,000 items,
// brSelect and the walk over lists of 10,000, 100,000 and 1,000,000 ids. The smaller files live
// in an account of their own, filled by the engine's store before a port opens it; the largest
// is the list walked above.

constexpr long kGrowthSizes[] = {1000, 10000, 100000};
const char* const kGrowthAccount = "GROWTH";

std::string growthFile(long items) {
  return "G" + std::to_string(items);
}

struct GrowthFixture {
  Ref<clsTarnConnection> conn;
  std::map<long, Ref<clsTarnFile>> files;

  GrowthFixture() {
    using namespace server::store;
    (void)setting();
    {
      std::unique_ptr<Account> account =
          openSystem(setting().system, true)->openAccount(kGrowthAccount, true);
      const std::string body = itemBody(kListBodySize);
      Transaction tx(*account);
      for (long items : kGrowthSizes) {
        (void)account->createDataSection(growthFile(items), growthFile(items), 1, true);
        std::optional<Section> section = account->findSection(growthFile(items), false, "", false);
        if (!section) fail("no data section for a growth file");
        for (long i = 0; i < items; ++i) account->writeItem(*section, itemId("L", i), body);
      }
      tx.commit();
    }
    conn = library().env->brOpenConnection(u"ODBC", fromUtf8(tarnConnectString(kGrowthAccount)));
    for (long items : kGrowthSizes)
      files[items] = conn->brOpenFile(u"", fromUtf8(growthFile(items)));
    files[kListItems] = lists().file;
  }
};

GrowthFixture& growth() {
  static GrowthFixture f;
  return f;
}

// brRead hopping through a file of range(0) items.
void BM_GrowthRead(benchmark::State& state) {
  const long items = state.range(0);
  const Ref<clsTarnFile>& file = growth().files.at(items);
  std::vector<String> ids;
  for (long i = 0, k = 0; i < 4096; ++i, k = (k + 7919) % items)
    ids.push_back(fromUtf8(itemId("L", k)));
  std::size_t i = 0;
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> item = file->brRead(ids[i]);
    if (item->brCString().size() != kListBodySize) state.SkipWithError("unexpected item");
    i = (i + 1) % ids.size();
  }
}
BENCHMARK(BM_GrowthRead)->Arg(1000)->Arg(100000)->Arg(kListItems);

// brSelect and the walk over a list of range(0) ids.
void BM_GrowthSelect(benchmark::State& state) {
  const long items = state.range(0);
  const Ref<clsTarnFile>& file = growth().files.at(items);
  for (auto _ : state) {
    Ref<clsTarnSelectList> list = file->brSelect();
    long n = 0;
    while (list->brReadnext()) {
      benchmark::DoNotOptimize(list->brItemId().data());
      ++n;
    }
    if (n != items) state.SkipWithError("short list");
  }
  state.SetItemsProcessed(state.iterations() * items);
}
BENCHMARK(BM_GrowthSelect)->Arg(10000)->Arg(100000)->Arg(kListItems)->Unit(benchmark::kMillisecond);

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

// After the usual table: each target's ratio (real and CPU time; with --benchmark_repetitions the
// medians), then the library's share of a read and the large item's time and memory.
class LibraryReporter : public RatioReporter {
 public:
  LibraryReporter() {
    add({"brRead / SQLite ODBC read (prepared)", "BM_LibraryRead", "BM_SqliteOdbcPreparedRead",
         1.0});
    add({"brRead / SQLite C API prepared read", "BM_LibraryRead", "BM_SqliteCapiRead", 1.1});
    add({"brRead / SQLite ODBC read (direct)", "BM_LibraryRead", "BM_SqliteOdbcRead", 0});
    add({"brWrite / SQLite ODBC insert (prepared)", "BM_LibraryWrite", "BM_SqliteOdbcPreparedWrite",
         0.8});
    add({"brWrite / SQLite ODBC INSERT OR REPLACE (direct)", "BM_LibraryWrite",
         "BM_SqliteOdbcWrite", 0});
    add({"brSelect + brReadnext walk / SQLite id scan", "BM_LibrarySelectAndWalk",
         "BM_SqliteIdScan", 1.3});
    add({"brReadnext walk alone / SQLite id scan", "BM_LibraryWalk", "BM_SqliteIdScan", 0});
    // The large item beside SQLite's own write and read of the same body: what the growth with
    // the size leaves once the storage's own growth is taken out.
    add({"1 MB item write + read / SQLite C API, same body", "BM_LibraryLargeItem/1024",
         "BM_SqliteCapiLargeItem/1024", 0});
    add({"50 MB item write + read / SQLite C API, same body", "BM_LibraryLargeItem/51200",
         "BM_SqliteCapiLargeItem/51200", 0});
    add({"brSort / std::sort of views", "BM_LibrarySort", "BM_StdSortViews", 1.5});
    add({"brSort / std::sort of strings", "BM_LibrarySort", "BM_StdSortStrings", 1.5});
  }

  void extra() override {
    if (const Figures* paired = find("BM_LibraryOverheadPaired")) {
      auto c = paired->counters;
      std::printf(
          "library share of brRead: %.0f ns (median brRead %.0f ns - median round trip "
          "%.0f ns), %.0f ns by thread CPU time; target < 1000\n",
          c["library_med"], c["brRead_med"], c["driver_med"], c["library_cpu"]);
    }
    largeItems();
    growthTable();
  }

 private:
  // Time per MB of the write and read back, against the 1 MB item's, and the peak memory added
  // per item byte: a cost that grows faster than the item is a miss.
  void largeItems() const {
    const Figures* mb = find("BM_LibraryLargeItem/1024");
    const Figures* capiMb = find("BM_SqliteCapiLargeItem/1024");
    if (mb == nullptr || mb->realNs <= 0) return;
    std::printf("\n%-10s %12s %12s %12s %12s %12s %10s %12s\n", "item", "ms", "ms per MB",
                "per MB / 1MB", "cpu, same", "C API ms/MB", "peak MB", "peak / bytes");
    for (long kb : {1L, 1024L, 10240L, 51200L}) {
      const Figures* f = find("BM_LibraryLargeItem/" + std::to_string(kb));
      const Figures* c = find("BM_SqliteCapiLargeItem/" + std::to_string(kb));
      if (f == nullptr) continue;
      const double perMb = f->realNs / 1e6 / (static_cast<double>(kb) / 1024);
      const double capiPerMb =
          c == nullptr ? 0 : c->realNs / 1e6 / (static_cast<double>(kb) / 1024);
      const double cpuPerMb = f->cpuNs / (static_cast<double>(kb) / 1024);
      auto counters = f->counters;
      std::printf(
          "%-10s %12.3f %12.3f %11.2fx %11.2fx %12.3f %10.1f %11.2fx\n",
          (kb < 1024 ? std::to_string(kb) + " KB" : std::to_string(kb / 1024) + " MB").c_str(),
          f->realNs / 1e6, perMb, perMb / (mb->realNs / 1e6), cpuPerMb / mb->cpuNs, capiPerMb,
          counters["peak_MB"], counters["peak_per_byte"]);
    }
    const Figures* big = find("BM_LibraryLargeItem/51200");
    if (big == nullptr) return;
    const double growth = big->realNs / (50 * mb->realNs);
    auto counters = big->counters;
    std::printf("50 MB item, time per MB / 1 MB item's: %.2fx (cpu %.2fx); target <= 1.3: %s\n",
                growth, big->cpuNs / (50 * mb->cpuNs), growth <= 1.3 ? "met" : "MISSED");
    if (const Figures* capiBig = find("BM_SqliteCapiLargeItem/51200");
        capiBig != nullptr && capiMb != nullptr && capiMb->realNs > 0) {
      std::printf("the same through SQLite's C API: %.2fx (cpu %.2fx)\n",
                  capiBig->realNs / (50 * capiMb->realNs), capiBig->cpuNs / (50 * capiMb->cpuNs));
    }
    std::printf("50 MB item, peak memory added / item bytes: %.2fx; target <= 3: %s\n",
                counters["peak_per_byte"], counters["peak_per_byte"] <= 3 ? "met" : "MISSED");
  }

  // Each size's cost per read or per id beside the smallest size's.
  void growthTable() const {
    std::printf("\n%-38s %12s %12s %12s %12s\n", "growth", "ns per op", "/ smallest", "cpu ns",
                "/ smallest");
    auto rows = [&](const char* label, const char* name, std::initializer_list<long> sizes,
                    bool perItem) {
      double first = 0, firstCpu = 0;
      for (long size : sizes) {
        const Figures* f = find(std::string(name) + "/" + std::to_string(size));
        if (f == nullptr) continue;
        const double per = perItem ? static_cast<double>(size) : 1.0;
        const double ns = f->realNs / per, cpu = f->cpuNs / per;
        if (first == 0) {
          first = ns;
          firstCpu = cpu;
        }
        std::printf("%-38s %12.1f %11.2fx %12.1f %11.2fx\n",
                    (std::string(label) + std::to_string(size)).c_str(), ns, ns / first, cpu,
                    cpu / firstCpu);
      }
    };
    rows("brRead, items in the file: ", "BM_GrowthRead", {1000, 100000, kListItems}, false);
    rows("brSelect + walk, per id, ids: ", "BM_GrowthSelect", {10000, 100000, kListItems}, true);
  }
};

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::LibraryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
