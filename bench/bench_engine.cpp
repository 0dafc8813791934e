// Engine requests beside the plain SQLite work underneath them: an item read and write against
// a prepared statement on a table of the same shape, and walking a select list of 1,000,000
// ids against reading the same ids straight from SQLite.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/engine/port.h"
#include "server/engine/store/store.h"

namespace {

using tarn::server::Port;
constexpr char AM = '\xFE';
constexpr int kItems = 10000;
constexpr int kListItems = 1000000;

std::string join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) {
    if (!out.empty() || p.data() != parts.begin()->data()) out.push_back(AM);
    out.append(p);
  }
  return out;
}

std::string idOf(int i) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "C%07d", i);
  return buffer;
}

const std::string& body200() {
  static const std::string body = [] {
    std::string b;
    while (b.size() < 200) b += std::string("Attribute") + AM;
    b.resize(200);
    return b;
  }();
  return body;
}

std::string tempDir(const char* tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / tag).string() + "-XXXXXX";
  return mkdtemp(pattern.data());
}

// An engine port on a system holding CUST with kItems items of 200 bytes.
struct EngineFixture {
  std::string dir = tempDir("tarn-bench-engine");
  std::unique_ptr<Port> port = Port::open({dir, "BENCH", {}, true});
  std::string file;
  EngineFixture() {
    port->execute(join({"E", "CREATE-FILE CUST 101"}));
    file = port->execute(join({"O", "CUST"})).substr(5);
    for (int i = 0; i < kItems; ++i) port->execute(join({"W", file, idOf(i), body200()}));
  }
  ~EngineFixture() {
    port.reset();
    std::filesystem::remove_all(dir);
  }
};

// The same table shape in SQLite alone, with the engine's journal settings.
struct SqliteFixture {
  std::string dir = tempDir("tarn-bench-sqlite");
  sqlite3* db = nullptr;
  sqlite3_stmt* read = nullptr;
  sqlite3_stmt* insert = nullptr;
  SqliteFixture() {
    sqlite3_open((dir + "/base.db").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE t(id TEXT PRIMARY KEY, body BLOB) WITHOUT ROWID;",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "SELECT body FROM t WHERE id=?1", -1, &read, nullptr);
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES(?1, ?2)", -1, &insert, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < kItems; ++i) put(idOf(i));
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  void put(const std::string& id) {
    sqlite3_bind_text(insert, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, body200().data(), 200, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  ~SqliteFixture() {
    sqlite3_finalize(read);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
  }
};

std::vector<std::string> readRequests(const std::string& file) {
  std::vector<std::string> out;
  for (int i = 0; i < kItems; i += 7) out.push_back(join({"R", file, idOf(i), "0"}));
  return out;
}

void BM_EngineRead(benchmark::State& state) {
  EngineFixture f;
  std::vector<std::string> requests = readRequests(f.file);
  std::size_t i = 0;
  for (auto _ : state) {
    std::string reply = f.port->execute(requests[i++ % requests.size()]);
    benchmark::DoNotOptimize(reply.data());
  }
}
BENCHMARK(BM_EngineRead);

void BM_SqlitePreparedRead(benchmark::State& state) {
  SqliteFixture f;
  std::vector<std::string> ids;
  for (int i = 0; i < kItems; i += 7) ids.push_back(idOf(i));
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& id = ids[i++ % ids.size()];
    sqlite3_bind_text(f.read, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    if (sqlite3_step(f.read) == SQLITE_ROW) {
      // Copied out, as any caller keeping the item must.
      std::string body(static_cast<const char*>(sqlite3_column_blob(f.read, 0)),
                       sqlite3_column_bytes(f.read, 0));
      benchmark::DoNotOptimize(body.data());
    }
    sqlite3_reset(f.read);
  }
}
BENCHMARK(BM_SqlitePreparedRead);

void BM_EngineWrite(benchmark::State& state) {
  EngineFixture f;
  std::vector<std::string> requests;
  for (int i = 0; i < kItems; i += 7) requests.push_back(join({"W", f.file, idOf(i), body200()}));
  std::size_t i = 0;
  for (auto _ : state) {
    std::string reply = f.port->execute(requests[i++ % requests.size()]);
    benchmark::DoNotOptimize(reply.data());
  }
}
BENCHMARK(BM_EngineWrite);

void BM_SqlitePreparedInsert(benchmark::State& state) {
  SqliteFixture f;
  std::vector<std::string> ids;
  for (int i = 0; i < kItems; i += 7) ids.push_back(idOf(i));
  std::size_t i = 0;
  for (auto _ : state) f.put(ids[i++ % ids.size()]);
}
BENCHMARK(BM_SqlitePreparedInsert);

// A write of an item that is not there yet: the path that also counts the item in its section.
void BM_EngineWriteNewItem(benchmark::State& state) {
  EngineFixture f;
  long next = kItems;
  for (auto _ : state) {
    std::string reply =
        f.port->execute(join({"W", f.file, idOf(static_cast<int>(next++)), body200()}));
    benchmark::DoNotOptimize(reply.data());
  }
}
BENCHMARK(BM_EngineWriteNewItem);

// ---- a small read beside a large neighbour in key order, and the same read without it

void readBeside(benchmark::State& state, std::size_t neighbourBytes) {
  EngineFixture f;
  if (neighbourBytes > 0) {
    // Between C0000700 and C0000701 in key order.
    const std::string large(neighbourBytes, 'L');
    f.port->execute(join({"W", f.file, "C0000700L", large}));
  }
  const std::string requests[] = {join({"R", f.file, idOf(700), "0"}),
                                  join({"R", f.file, idOf(701), "0"})};
  std::size_t i = 0;
  for (auto _ : state) {
    std::string reply = f.port->execute(requests[i++ & 1]);
    benchmark::DoNotOptimize(reply.data());
  }
}

void BM_EngineReadNoLargeNeighbour(benchmark::State& state) {
  readBeside(state, 0);
}
BENCHMARK(BM_EngineReadNoLargeNeighbour);

void BM_EngineReadBesideTenMegabytes(benchmark::State& state) {
  readBeside(state, std::size_t{10} << 20);
}
BENCHMARK(BM_EngineReadBesideTenMegabytes);

// ---- 1,000,000 ids

struct BigFixture {
  std::string dir = tempDir("tarn-bench-list");
  std::unique_ptr<Port> port;
  std::string file;
  BigFixture() {
    {
      // Loaded through the store in one transaction: a million separate commits would take
      // longer than the measurement.
      auto account = tarn::server::store::openSystem(dir, true)->openAccount("BIG", true);
      account->createDataSection("CUST", "CUST", 1, true);
      auto section = account->findSection("CUST", false, {}, false);
      tarn::server::store::Transaction tx(*account);
      for (int i = 0; i < kListItems; ++i) account->writeItem(*section, idOf(i), "x");
      tx.commit();
    }
    port = Port::open({dir, "BIG", {}, true});
    file = port->execute(join({"O", "CUST"})).substr(5);
  }
  ~BigFixture() {
    port.reset();
    std::filesystem::remove_all(dir);
  }
};

BigFixture& big() {
  static BigFixture fixture;
  return fixture;
}

void BM_EngineSelectListWalk(benchmark::State& state) {
  BigFixture& f = big();
  const std::string open = join({"S", f.file});
  for (auto _ : state) {
    std::string list = f.port->execute(open).substr(5);
    const std::string next = join({"n", list});
    std::size_t ids = 0;
    for (;;) {
      std::string reply = f.port->execute(next);
      for (std::size_t i = 5; i < reply.size(); ++i) ids += reply[i] == AM;
      ++ids;
      if (reply.compare(0, 4, "0036") == 0) break;
    }
    f.port->execute(join({"c", list}));
    if (ids != static_cast<std::size_t>(kListItems)) state.SkipWithError("wrong id count");
  }
  state.SetItemsProcessed(state.iterations() * kListItems);
}
BENCHMARK(BM_EngineSelectListWalk)->Unit(benchmark::kMillisecond);

void BM_SqliteReadAllIds(benchmark::State& state) {
  BigFixture& f = big();
  sqlite3* db = nullptr;
  sqlite3_open((f.dir + "/BIG.account").c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT key FROM items WHERE section=(SELECT max(id) FROM sections) "
                     "ORDER BY key",
                     -1, &stmt, nullptr);
  for (auto _ : state) {
    std::string ids;
    std::size_t n = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ids.append(static_cast<const char*>(sqlite3_column_blob(stmt, 0)),
                 sqlite3_column_bytes(stmt, 0));
      ids.push_back(AM);
      ++n;
    }
    sqlite3_reset(stmt);
    benchmark::DoNotOptimize(ids.data());
    if (n != static_cast<std::size_t>(kListItems)) state.SkipWithError("wrong id count");
  }
  state.SetItemsProcessed(state.iterations() * kListItems);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteReadAllIds)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
