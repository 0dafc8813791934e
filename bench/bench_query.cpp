// Query sentences, each beside its baseline in the same run:
//  - SELECT with an equality criterion on an indexed attribute of 1,000,000 items, 1% matching,
//    beside walking the same index entries straight from the store, and beside the same
//    criterion on an attribute without an index (the sentence must be >= 50x faster);
//  - LIST of 100,000 items with three converted fields, to captured output, beside a plain
//    SQLite query of the same fields formatted into the same lines by hand-written C++;
//  - SORT of 1,000,000 items by a right-justified field beside SQLite's ORDER BY over the same
//    values, stepping every row into a line.
// The fixtures are built once per run, straight through the store in one transaction each.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/ratio_reporter.h"
#include "server/engine/port.h"
#include "server/engine/store/store.h"

namespace {

using tarn::server::Port;
namespace store = tarn::server::store;
constexpr char AM = '\xFE';
constexpr long kBigItems = 1000000;
constexpr long kStates = 100;  // 1% of the items share each state
constexpr long kListItems = 100000;

std::string tempDir(const char* tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / tag).string() + "-XXXXXX";
  return mkdtemp(pattern.data());
}

std::string idOf(long i) {
  char b[16];
  std::snprintf(b, sizeof b, "C%07ld", i);
  return b;
}
std::string stateOf(long i) {
  char b[8];
  std::snprintf(b, sizeof b, "S%03ld", (i * 37) % kStates);
  return b;
}
// Balances in cents, scattered so that the sort has work to do.
long balanceOf(long i) {
  return (i * 7919) % 1000003 - 20000;
}
long sinceOf(long i) {
  return 15000 + (i * 13) % 7000;
}
std::string nameOf(long i) {
  return "name" + std::to_string(i % 9973);
}

// attributes: 1 name, 2 balance, 3 since, 4 state (indexed), 5 the state again (not indexed)
std::string bodyOf(long i) {
  const std::string state = stateOf(i);
  return nameOf(i) + AM + std::to_string(balanceOf(i)) + AM + std::to_string(sinceOf(i)) + AM +
         state + AM + state;
}

void mustOk(const std::string& reply, const char* what) {
  if (reply.compare(0, 4, "0000") != 0) {
    std::fprintf(stderr, "bench setup failed: %s: %s\n", what, reply.c_str());
    std::exit(1);
  }
}

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct Finalizer {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};

// An account with BIG (1,000,000 items, indexed on attribute 4) and LISTED (100,000 items), a
// dictionary over both, and a SQLite database holding the same rows as plain tables.
struct Fixture {
  std::string dir = tempDir("tarn-bench-query");
  std::unique_ptr<Port> port;
  std::unique_ptr<sqlite3, SqliteCloser> db;
  std::int64_t indexNumber = 0;
  std::unique_ptr<store::System> system;
  std::unique_ptr<store::Account> account;

  Fixture() {
    port = Port::open({dir, "BENCH", {}, true});
    for (const char* f : {"BIG", "LISTED"})
      mustOk(port->execute(std::string("E") + AM + "CREATE-FILE " + f + " 101"), "create");
    system = store::openSystem(dir);
    account = system->openAccount("BENCH", false);
    fill("BIG", kBigItems);
    fill("LISTED", kListItems);
    for (const char* dict : {"DICT BIG", "DICT LISTED"}) {
      const std::string h = port->execute(std::string("O") + AM + dict).substr(5);
      auto put = [&](const char* id, const std::string& body) {
        mustOk(port->execute(std::string("W") + AM + h + AM + id + AM + body), "dict");
      };
      put("NAME", std::string("D") + AM + "1" + AM + "MCU" + AM + "Name" + AM + "10L");
      put("BAL", std::string("D") + AM + "2" + AM + "MD2" + AM + "Balance" + AM + "10R");
      put("SINCE", std::string("D") + AM + "3" + AM + "D2/" + AM + "Since" + AM + "8L");
      put("BALR", std::string("D") + AM + "2" + AM + AM + "Balance" + AM + "10R");
      put("STATE", std::string("D") + AM + "4" + AM + AM + "St" + AM + "4L");
      put("STATE2", std::string("D") + AM + "5" + AM + AM + "St" + AM + "4L");
    }
    mustOk(port->execute(std::string("E") + AM + "CREATE-INDEX BIG A4"), "index");
    std::optional<store::Section> big = account->findSection("BIG", false, {}, false);
    indexNumber = *account->indexes().find(*big, store::Correlative{4, {}});

    sqlite3* raw = nullptr;
    sqlite3_open((dir + "/baseline.db").c_str(), &raw);
    db.reset(raw);
    sqlite3_exec(db.get(),
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE big(id TEXT PRIMARY KEY, bal INTEGER) WITHOUT ROWID;"
                 "CREATE TABLE listed(id TEXT PRIMARY KEY, name TEXT, bal INTEGER, since INTEGER)"
                 " WITHOUT ROWID;",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db.get(), "INSERT INTO big VALUES(?,?)", -1, &s, nullptr);
    for (long i = 0; i < kBigItems; ++i) {
      const std::string id = idOf(i);
      sqlite3_bind_text(s, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(s, 2, balanceOf(i));
      sqlite3_step(s);
      sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    sqlite3_prepare_v2(db.get(), "INSERT INTO listed VALUES(?,?,?,?)", -1, &s, nullptr);
    for (long i = 0; i < kListItems; ++i) {
      const std::string id = idOf(i), name = nameOf(i);
      sqlite3_bind_text(s, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(s, 3, balanceOf(i));
      sqlite3_bind_int64(s, 4, sinceOf(i));
      sqlite3_step(s);
      sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
  }
  ~Fixture() {
    account.reset();
    system.reset();
    port.reset();
    db.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void fill(const char* file, long n) {
    std::optional<store::Section> s = account->findSection(file, false, {}, false);
    store::Transaction tx(*account);
    for (long i = 0; i < n; ++i) account->writeItem(*s, idOf(i), bodyOf(i));
    tx.commit();
  }
  // The next SELECT would read the list a SELECT leaves: a select list takes it off again.
  void dropActiveList() {
    const std::string list = port->execute(std::string("S") + AM + "-1").substr(5);
    (void)port->execute(std::string("c") + AM + list);
  }
  std::string tcl(const std::string& command) {
    std::string reply = port->execute(std::string("E") + AM + command);
    mustOk(reply, command.c_str());
    return reply;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_SelectIndexed(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::string r = f.tcl("SELECT BIG WITH STATE = \"S042\"");
    benchmark::DoNotOptimize(r);
    f.dropActiveList();
  }
}
BENCHMARK(BM_SelectIndexed)->Unit(benchmark::kMillisecond);

// What the sentence cannot avoid: the entries under both spellings the case-insensitive port
// accepts, read straight from the store.
void BM_IndexEntriesAlone(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::size_t n = 0;
    for (const char* key : {"S042", "s042"}) {
      store::IndexHit hit;
      if (f.account->indexes().seek(f.indexNumber, true, 'X', key, {}, 0, hit) ==
              store::IndexSeek::kFound &&
          hit.key == key)
        n += static_cast<std::size_t>(hit.vc);
    }
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_IndexEntriesAlone)->Unit(benchmark::kMillisecond);

void BM_SelectScan(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::string r = f.tcl("SELECT BIG WITH STATE2 = \"S042\"");
    benchmark::DoNotOptimize(r);
    f.dropActiveList();
  }
}
BENCHMARK(BM_SelectScan)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ListConverted(benchmark::State& state) {
  Fixture& f = fixture();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string r = f.tcl("LIST LISTED NAME BAL SINCE");
    bytes = r.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ListConverted)->Unit(benchmark::kMillisecond);

// Days since 31 Dec 1967 as mm/dd/yy.
void formatDate(long days, std::string& out) {
  // Day 732 is 1 Jan 1970; then the civil calendar from days since 1 Mar 0000.
  long z = days - 732 + 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long y = yoe + era * 400;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  const long d = doy - (153 * mp + 2) / 5 + 1;
  const long m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char b[64];
  std::snprintf(b, sizeof b, "%02ld/%02ld/%02ld", m, d, y % 100);
  out += b;
}

void pad(std::string& out, std::size_t from, std::size_t width, bool right) {
  const std::size_t n = out.size() - from;
  if (n >= width) return;
  if (right)
    out.insert(from, width - n, ' ');
  else
    out.append(width - n, ' ');
}

void BM_SqliteListFormatted(benchmark::State& state) {
  Fixture& f = fixture();
  std::size_t bytes = 0;
  for (auto _ : state) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(f.db.get(), "SELECT id, name, bal, since FROM listed", -1, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, Finalizer> s(raw);
    std::string out = "Listed     Name          Balance Since";
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
      out += AM;
      std::size_t at = out.size();
      out += reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
      pad(out, at, 10, false);
      out += ' ';
      at = out.size();
      for (const char* p = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1)); *p; ++p)
        out += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
      pad(out, at, 10, false);
      out += ' ';
      at = out.size();
      const long long cents = sqlite3_column_int64(s.get(), 2);
      char b[32];
      std::snprintf(b, sizeof b, "%s%lld.%02lld", cents < 0 ? "-" : "",
                    (cents < 0 ? -cents : cents) / 100, (cents < 0 ? -cents : cents) % 100);
      out += b;
      pad(out, at, 10, true);
      out += ' ';
      formatDate(static_cast<long>(sqlite3_column_int64(s.get(), 3)), out);
    }
    out += AM;
    out += "[405] 100000 items listed.";
    bytes = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SqliteListFormatted)->Unit(benchmark::kMillisecond);

void BM_SortRightJustified(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::string r = f.tcl("SORT BIG BY BALR BALR COL-HDR-SUPP");
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_SortRightJustified)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SqliteOrderBy(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(f.db.get(), "SELECT id, bal FROM big ORDER BY bal, id", -1, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, Finalizer> s(raw);
    std::string out;
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
      out += reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
      out += ' ';
      out += reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1));
      out += AM;
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_SqliteOrderBy)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tarn::bench::RatioReporter reporter;
  reporter.add({"SELECT indexed equality, 1% of 1,000,000 / index entries alone",
                "BM_SelectIndexed", "BM_IndexEntriesAlone", 1.5});
  reporter.add({"SELECT indexed / the same criterion without the index (<= 0.02 is 50x)",
                "BM_SelectIndexed", "BM_SelectScan", 0.02});
  reporter.add({"LIST 100,000 items, three converted fields / SQLite + C++ formatting",
                "BM_ListConverted", "BM_SqliteListFormatted", 3.0});
  reporter.add({"SORT 1,000,000 by a right-justified field / SQLite ORDER BY",
                "BM_SortRightJustified", "BM_SqliteOrderBy", 2.0});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
