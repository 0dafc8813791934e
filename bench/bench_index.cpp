// File indexes, each beside its baseline in the same run:
//  - a brMoveNext step through the whole stack beside a brRead of a 200-byte item;
//  - a full-stack brWrite of a 200-byte item to a file with one index (its key changes with
//    every write, or stays) beside the same write to a file without one, and both again
//    straight into the engine, without ODBC and the library;
//  - CREATE-INDEX over N items of 200 bytes beside SQLite's own CREATE INDEX over a table of
//    the same ids, keys and bodies (and, for reference, over a table of the ids and keys alone).
// N is 1,000,000 unless TARN_BENCH_INDEX_ITEMS says otherwise. Ratios print after the table.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/sqlite_baseline.h"
#include "server/engine/port.h"
#include "server/engine/store/store.h"
#include "tarn/tarncl.h"
#include "tests/support/odbc_env.h"

namespace tarn::bench {
namespace {

constexpr long kItems = 10000;
constexpr std::size_t kBodySize = 200;
constexpr long kReadStride = 7;
constexpr char kMark = '\xFE';

using Clock = std::chrono::steady_clock;

long buildItems() {
  const char* text = std::getenv("TARN_BENCH_INDEX_ITEMS");
  const long n = text ? std::atol(text) : 1000000;
  return n > 0 ? n : 1000000;
}

// A 200-byte item whose first attribute is key.
std::string keyedBody(const std::string& key) {
  std::string body = key;
  body.push_back(kMark);
  body += itemBody(kBodySize - body.size());
  return body;
}

// Keys in an order unrelated to the ids, so that an index build really sorts.
std::string keyFor(long i) {
  return itemId("K", (i * 7919) % 1000003);
}

struct Setting {
  testing::TempDir dir;
  std::string system = dir.path() + "/system";
  testing::OdbcTestEnvironment odbc{{{"Tarn", TARN_ODBC_DRIVER_PATH}},
                                    {{"Tarn", "Tarn", {{"System", system}}}}};
};

Setting& setting() {
  static Setting s;
  return s;
}

// --- the full stack: two files of the same items, one of them indexed on attribute 1

struct StackFixture {
  Setting& config = setting();  // the ODBC configuration comes first
  Ref<clsTarnEnvironment> env = clsTarnEnvironment::create();
  Ref<clsTarnConnection> conn;
  Ref<clsTarnFile> indexed, plain;
  Ref<clsTarnIndex> cursor;
  std::vector<String> ids;

  StackFixture() {
    conn = env->brOpenConnection(u"ODBC", u"DSN=Tarn;Account=BENCH");
    conn->brExecute(u"CREATE-FILE INDEXED 101");
    conn->brExecute(u"CREATE-FILE PLAIN 101");
    indexed = conn->brOpenFile(u"", String(u"INDEXED"));
    plain = conn->brOpenFile(u"", String(u"PLAIN"));
    auto item = env->brOpenDynamicArray();
    for (long i = 0; i < kItems; ++i) {
      ids.push_back(fromUtf8(itemId("C", i)));
      item->brCString(fromUtf8(keyedBody(keyFor(i))));
      indexed->brWrite(item, ids.back());
      plain->brWrite(item, ids.back());
    }
    if (!indexed->brCreateIndex(u"A1", false)) fail("CREATE-INDEX INDEXED A1");
    cursor = indexed->brRoot(u"A1");
  }
};

StackFixture& stack() {
  static StackFixture f;
  return f;
}

void BM_IndexMoveNext(benchmark::State& state) {
  StackFixture& f = stack();
  if (!f.cursor->brMoveFirst()) state.SkipWithError("empty index");
  for (auto _ : state) {
    if (!f.cursor->brMoveNext()) (void)f.cursor->brMoveFirst();
    benchmark::DoNotOptimize(f.cursor->brIndexId().data());
  }
}
BENCHMARK(BM_IndexMoveNext);

void BM_FileRead(benchmark::State& state) {
  StackFixture& f = stack();
  long i = 0;
  for (auto _ : state) {
    Ref<clsTarnDynamicArray> item = f.plain->brRead(f.ids[static_cast<std::size_t>(i)]);
    if (item->brCString().size() != kBodySize) state.SkipWithError("unexpected item");
    i = (i + kReadStride) % kItems;
  }
}
BENCHMARK(BM_FileRead);

// Writes cycle through the items. With newKeys each write gives its item a key it did not have,
// so the indexed side moves an entry every time; without, the key stays and another attribute
// changes.
void writeLoop(benchmark::State& state, clsTarnFile& file, bool newKeys) {
  StackFixture& f = stack();
  auto item = f.env->brOpenDynamicArray();
  long i = 0, round = 0;
  for (auto _ : state) {
    const long n = i % kItems;
    const std::string key = newKeys ? itemId("W", round * kItems + n) : keyFor(n);
    std::string body = key + kMark + std::to_string(round);
    body += kMark;
    body += itemBody(kBodySize - body.size());
    item->brCString(fromUtf8(body));
    file.brWrite(item, f.ids[static_cast<std::size_t>(n)]);
    i += kReadStride;
    if (i >= kItems * kReadStride) {
      i = 0;
      ++round;
    }
  }
}
void BM_WriteIndexedNewKey(benchmark::State& state) {
  writeLoop(state, *stack().indexed, true);
}
BENCHMARK(BM_WriteIndexedNewKey);
void BM_WriteIndexedSameKey(benchmark::State& state) {
  writeLoop(state, *stack().indexed, false);
}
BENCHMARK(BM_WriteIndexedSameKey);
void BM_WritePlain(benchmark::State& state) {
  writeLoop(state, *stack().plain, true);
}
BENCHMARK(BM_WritePlain);

// --- the same writes straight into the engine, without ODBC and the library, to show what the
// index itself costs

struct EngineFixture {
  std::unique_ptr<server::Port> port;
  std::string indexed, plain;

  EngineFixture() {
    (void)setting();
    port = server::Port::open({setting().system, "ENGINE", {}, true});
    for (const char* name : {"INDEXED", "PLAIN"}) {
      (void)port->execute(std::string("E") + kMark + "CREATE-FILE " + name + " 101");
      std::string& number = std::string(name) == "PLAIN" ? plain : indexed;
      number = port->execute(std::string("O") + kMark + name).substr(5);
      for (long i = 0; i < kItems; ++i) write(number, itemId("C", i), keyedBody(keyFor(i)));
    }
    (void)port->execute(std::string("E") + kMark + "CREATE-INDEX INDEXED A1");
  }
  void write(const std::string& file, const std::string& id, const std::string& body) {
    std::string reply = port->execute(std::string("W") + kMark + file + kMark + id + kMark + body);
    if (reply.compare(0, 4, "0000") != 0) fail("engine write: " + reply);
  }
};

EngineFixture& engine() {
  static EngineFixture f;
  return f;
}

void engineWriteLoop(benchmark::State& state, bool toIndexed, bool newKeys) {
  EngineFixture& f = engine();
  long i = 0, round = 0;
  for (auto _ : state) {
    const long n = i % kItems;
    const std::string key = newKeys ? itemId("W", round * kItems + n) : keyFor(n);
    std::string body = key + kMark + std::to_string(round);
    body += kMark;
    body += itemBody(kBodySize - body.size());
    f.write(toIndexed ? f.indexed : f.plain, itemId("C", n), body);
    i += kReadStride;
    if (i >= kItems * kReadStride) {
      i = 0;
      ++round;
    }
  }
}
void BM_EngineWriteIndexedNewKey(benchmark::State& state) {
  engineWriteLoop(state, true, true);
}
BENCHMARK(BM_EngineWriteIndexedNewKey);
void BM_EngineWriteIndexedSameKey(benchmark::State& state) {
  engineWriteLoop(state, true, false);
}
BENCHMARK(BM_EngineWriteIndexedSameKey);
void BM_EngineWritePlain(benchmark::State& state) {
  engineWriteLoop(state, false, true);
}
BENCHMARK(BM_EngineWritePlain);

// --- building an index over N items

struct BuildFixture {
  long n = buildItems();
  std::unique_ptr<server::Port> port;
  SqliteDb wide, narrow;

  BuildFixture() {
    (void)setting();
    const auto start = Clock::now();
    {
      std::unique_ptr<server::store::Account> account =
          server::store::openSystem(setting().system, true)->openAccount("BUILD", true);
      (void)account->createDictionary("BIG", 1, true);
      (void)account->createDataSection("BIG", "BIG", 1, true);
      auto section = account->findSection("BIG", false, {}, false);
      server::store::Transaction tx(*account);
      for (long i = 0; i < n; ++i)
        account->writeItem(*section, itemId("C", i), keyedBody(keyFor(i)));
      tx.commit();
    }
    port = server::Port::open({setting().system, "BUILD", {}, true});
    wide = openSqlite(setting().dir.path() + "/wide.db");
    narrow = openSqlite(setting().dir.path() + "/narrow.db");
    sqliteExec(wide.get(), "CREATE TABLE t(id BLOB PRIMARY KEY, k BLOB, body BLOB) WITHOUT ROWID");
    sqliteExec(narrow.get(), "CREATE TABLE t(id BLOB PRIMARY KEY, k BLOB) WITHOUT ROWID");
    for (sqlite3* db : {wide.get(), narrow.get()}) {
      const bool withBody = db == wide.get();
      sqliteExec(db, "BEGIN");
      SqliteStatement insert = prepare(
          db, withBody ? "INSERT INTO t VALUES(?1, ?2, ?3)" : "INSERT INTO t VALUES(?1, ?2)");
      for (long i = 0; i < n; ++i) {
        const std::string id = itemId("C", i), key = keyFor(i), body = keyedBody(key);
        sqlite3_bind_blob(insert.get(), 1, id.data(), static_cast<int>(id.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert.get(), 2, key.data(), static_cast<int>(key.size()),
                          SQLITE_TRANSIENT);
        if (withBody)
          sqlite3_bind_blob(insert.get(), 3, body.data(), static_cast<int>(body.size()),
                            SQLITE_TRANSIENT);
        if (sqlite3_step(insert.get()) != SQLITE_DONE) fail("fill baseline table");
        sqlite3_reset(insert.get());
      }
      sqliteExec(db, "COMMIT");
    }
    std::fprintf(stderr, "build: %ld items of %zu bytes stored three ways in %.1f s\n", n,
                 kBodySize, std::chrono::duration<double>(Clock::now() - start).count());
  }

  void tcl(const std::string& command) {
    std::string reply = port->execute(std::string("E") + kMark + command);
    if (reply.compare(0, 4, "0000") != 0) fail(command + ": " + reply);
  }
};

BuildFixture& build() {
  static BuildFixture f;
  return f;
}

void BM_IndexBuild(benchmark::State& state) {
  BuildFixture& f = build();
  for (auto _ : state) {
    state.PauseTiming();
    f.tcl("DELETE-INDEX BIG A1");
    state.ResumeTiming();
    f.tcl("CREATE-INDEX BIG A1 (s");
  }
  state.SetItemsProcessed(state.iterations() * f.n);
}
BENCHMARK(BM_IndexBuild)->Unit(benchmark::kMillisecond)->Iterations(2);

void sqliteCreateIndex(benchmark::State& state, sqlite3* db) {
  for (auto _ : state) {
    state.PauseTiming();
    sqliteExec(db, "DROP INDEX IF EXISTS tk");
    state.ResumeTiming();
    sqliteExec(db, "CREATE INDEX tk ON t(k)");
  }
  state.SetItemsProcessed(state.iterations() * build().n);
}
void BM_SqliteCreateIndexSameRows(benchmark::State& state) {
  sqliteCreateIndex(state, build().wide.get());
}
BENCHMARK(BM_SqliteCreateIndexSameRows)->Unit(benchmark::kMillisecond)->Iterations(2);
void BM_SqliteCreateIndexKeysOnly(benchmark::State& state) {
  sqliteCreateIndex(state, build().narrow.get());
}
BENCHMARK(BM_SqliteCreateIndexKeysOnly)->Unit(benchmark::kMillisecond)->Iterations(2);

void addRows(RatioReporter& r) {
  r.add({"brMoveNext / brRead of 200 bytes", "BM_IndexMoveNext", "BM_FileRead", 1.1});
  r.add(
      {"brWrite, one index, key kept / no index", "BM_WriteIndexedSameKey", "BM_WritePlain", 1.2});
  r.add({"brWrite, one index, new key / no index", "BM_WriteIndexedNewKey", "BM_WritePlain", 1.2});
  r.add({"engine W, one index, key kept / no index", "BM_EngineWriteIndexedSameKey",
         "BM_EngineWritePlain", 0});
  r.add({"engine W, one index, new key / no index", "BM_EngineWriteIndexedNewKey",
         "BM_EngineWritePlain", 0});
  r.add({"CREATE-INDEX / SQLite CREATE INDEX, same rows", "BM_IndexBuild",
         "BM_SqliteCreateIndexSameRows", 1.3});
  r.add({"CREATE-INDEX / SQLite CREATE INDEX, keys only", "BM_IndexBuild",
         "BM_SqliteCreateIndexKeysOnly", 0});
}

}  // namespace
}  // namespace tarn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tarn::bench::RatioReporter reporter;
  tarn::bench::addRows(reporter);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
