// One request round trip through the real unixODBC to libtarnodbc.so, made with the class
// library's own calls (SQLFreeStmt, SQLExecDirect, SQLFetch, SQLColAttributes, SQLGetData), for
// a read and a write of a 200-byte item; beside the same key read and autocommit insert through
// unixODBC to the SQLite ODBC driver, and a read through SQLite's C API with a prepared
// statement. All tables hold the same number of 200-byte rows. The ratios print at the end.
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char AM = '\xFE';
constexpr int kItems = 10000;

std::string idOf(const char* prefix, long i) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%s%07ld", prefix, i);
  return buffer;
}

const std::string& body200() {
  static const std::string body = [] {
    std::string b;
    while (b.size() < 200) b += "Attribute value ";
    b.resize(200);
    return b;
  }();
  return body;
}

// The private ODBC configuration: both drivers, one DSN each, in a temporary directory.
struct Config {
  std::string dir;
  Config() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarn-roundtrip").string() + "-XXXXXX";
    dir = mkdtemp(pattern.data());
    std::ofstream(dir + "/odbcinst.ini")
        << "[Tarn]\nDriver = " TARN_ODBC_DRIVER_PATH "\nThreading = 0\n\n"
        << "[SQLite3]\nDriver = " SQLITE_ODBC_DRIVER_PATH "\nThreading = 0\n";
    // The SQLite side runs with the engine's journal settings (WAL, synchronous NORMAL).
    std::ofstream(dir + "/odbc.ini") << "[TarnBench]\nDriver = Tarn\nSystem = " << dir
                                     << "/system\nAccount = BENCH\nCreateAccount = Yes\n\n"
                                     << "[SqliteBench]\nDriver = SQLite3\nDatabase = " << dir
                                     << "/odbc.db\nJournalMode = WAL\nSyncPragma = NORMAL\n";
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
  }
  ~Config() { std::filesystem::remove_all(dir); }
};

const Config& config() {
  static Config c;
  return c;
}

// An ODBC session opened as the class library opens it.
struct Session {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;

  explicit Session(const char* dsn) {
    (void)config();
    SQLAllocEnv(&env);
    SQLAllocConnect(env, &dbc);
    std::string in = std::string("DSN=") + dsn + ";";
    SQLCHAR out[256];
    SQLSMALLINT outLength;
    if (SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS, out, 256,
                         &outLength, SQL_DRIVER_NOPROMPT) != SQL_SUCCESS) {
      std::fprintf(stderr, "cannot connect to %s\n", dsn);
      std::exit(1);
    }
    SQLAllocStmt(dbc, &stmt);
  }
  ~Session() {
    SQLFreeStmt(stmt, SQL_DROP);
    SQLDisconnect(dbc);
    SQLFreeConnect(dbc);
    SQLFreeEnv(env);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  SQLRETURN exec(const std::string& text) {
    SQLFreeStmt(stmt, SQL_CLOSE);
    return SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                         static_cast<SQLINTEGER>(text.size()));
  }

  // rsCmd's calls: the reply sized by SQLColAttributes and read with one SQLGetData.
  std::string cmd(const std::string& text) {
    SQLFreeStmt(stmt, SQL_CLOSE);
    if (SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                      static_cast<SQLINTEGER>(text.size())) != SQL_SUCCESS) {
      return {};
    }
    SQLFetch(stmt);
    char none[1];
    SQLLEN length = 0;
    SQLColAttributes(stmt, 1, SQL_COLUMN_LENGTH, none, 0, nullptr, &length);
    std::string reply(static_cast<std::size_t>(length) + 1, '\0');
    SQLLEN n = 0;
    SQLGetData(stmt, 1, SQL_C_CHAR, reply.data(), length + 1, &n);
    reply.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
    return reply;
  }
};

std::string join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) {
    if (p.data() != parts.begin()->data()) out.push_back(AM);
    out.append(p);
  }
  return out;
}

// The Tarn side: CUST with kItems items; the session stays open for every benchmark.
struct TarnFixture {
  Session session{"TarnBench"};
  std::string file;
  TarnFixture() {
    session.cmd(".-" + join({"E", "CREATE-FILE CUST 101"}));
    file = session.cmd(".-" + join({"O", "CUST"})).substr(5);
    for (int i = 0; i < kItems; ++i) session.cmd(".-" + join({"W", file, idOf("C", i), body200()}));
  }
};

TarnFixture& tarn() {
  static TarnFixture f;
  return f;
}

struct SqliteOdbcFixture {
  Session session{"SqliteBench"};
  SqliteOdbcFixture() {
    session.exec("CREATE TABLE t(id TEXT PRIMARY KEY, body TEXT)");
    session.exec("BEGIN");
    for (int i = 0; i < kItems; ++i) {
      session.exec("INSERT INTO t VALUES('" + idOf("C", i) + "', '" + body200() + "')");
    }
    session.exec("COMMIT");
  }
};

SqliteOdbcFixture& sqliteOdbc() {
  static SqliteOdbcFixture f;
  return f;
}

void BM_TarnOdbcRead(benchmark::State& state) {
  TarnFixture& f = tarn();
  std::vector<std::string> requests;
  for (int i = 0; i < kItems; i += 7)
    requests.push_back(".-" + join({"R", f.file, idOf("C", i), "0"}));
  std::size_t i = 0;
  for (auto _ : state) {
    std::string reply = f.session.cmd(requests[i++ % requests.size()]);
    if (reply.size() != 205) state.SkipWithError("unexpected reply");
    benchmark::DoNotOptimize(reply.data());
  }
}
BENCHMARK(BM_TarnOdbcRead);

void BM_SqliteOdbcRead(benchmark::State& state) {
  SqliteOdbcFixture& f = sqliteOdbc();
  std::vector<std::string> queries;
  for (int i = 0; i < kItems; i += 7) {
    queries.push_back("SELECT body FROM t WHERE id='" + idOf("C", i) + "'");
  }
  std::size_t i = 0;
  char buffer[512];
  for (auto _ : state) {
    f.session.exec(queries[i++ % queries.size()]);
    SQLFetch(f.session.stmt);
    SQLLEN n = 0;
    SQLGetData(f.session.stmt, 1, SQL_C_CHAR, buffer, sizeof buffer, &n);
    if (n != 200) state.SkipWithError("unexpected row");
    std::string body(buffer, static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(body.data());
  }
}
BENCHMARK(BM_SqliteOdbcRead);

void BM_SqliteCapiPreparedRead(benchmark::State& state) {
  const std::string path = config().dir + "/capi.db";
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE IF NOT EXISTS t(id TEXT PRIMARY KEY, body BLOB);"
               "BEGIN",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES(?1, ?2)", -1, &insert, nullptr);
  for (int i = 0; i < kItems; ++i) {
    std::string id = idOf("C", i);
    sqlite3_bind_text(insert, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert, 2, body200().data(), 200, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_stmt* read = nullptr;
  sqlite3_prepare_v2(db, "SELECT body FROM t WHERE id=?1", -1, &read, nullptr);
  std::vector<std::string> ids;
  for (int i = 0; i < kItems; i += 7) ids.push_back(idOf("C", i));
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& id = ids[i++ % ids.size()];
    sqlite3_bind_text(read, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    if (sqlite3_step(read) == SQLITE_ROW) {
      std::string body(static_cast<const char*>(sqlite3_column_blob(read, 0)),
                       sqlite3_column_bytes(read, 0));
      benchmark::DoNotOptimize(body.data());
    }
    sqlite3_reset(read);
  }
  sqlite3_finalize(read);
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteCapiPreparedRead);

void BM_TarnOdbcWrite(benchmark::State& state) {
  TarnFixture& f = tarn();
  static long next = 0;  // new item-ids across every run of this benchmark
  const std::string head = ".-" + join({"W", f.file, ""});
  for (auto _ : state) {
    std::string text = head + idOf("N", next++) + AM + body200();
    std::string reply = f.session.cmd(text);
    if (reply.compare(0, 4, "0000") != 0) state.SkipWithError("write refused");
  }
}
BENCHMARK(BM_TarnOdbcWrite);

void BM_SqliteOdbcInsert(benchmark::State& state) {
  SqliteOdbcFixture& f = sqliteOdbc();
  static long next = 0;
  const std::string tail = "', '" + body200() + "')";
  for (auto _ : state) {
    std::string text = "INSERT INTO t VALUES('" + idOf("N", next++) + tail;
    if (f.session.exec(text) != SQL_SUCCESS) state.SkipWithError("insert refused");
  }
}
BENCHMARK(BM_SqliteOdbcInsert);

// Prints the targets' ratios after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (!r.error_occurred) {
        times_[r.benchmark_name()] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    ratio("read  / SQLite ODBC read  (target <= 0.7)", "BM_TarnOdbcRead", "BM_SqliteOdbcRead");
    ratio("read  / prepared C API    (target <= 1.6)", "BM_TarnOdbcRead",
          "BM_SqliteCapiPreparedRead");
    ratio("write / SQLite ODBC insert (target <= 1.0)", "BM_TarnOdbcWrite", "BM_SqliteOdbcInsert");
  }

 private:
  void ratio(const char* label, const char* ours, const char* base) {
    auto a = times_.find(ours);
    auto b = times_.find(base);
    if (a == times_.end() || b == times_.end() || b->second.first <= 0) return;
    // CPU time too: on a shared machine the wall clock also counts other processes' turns.
    std::printf("%s: %.2fx real, %.2fx cpu\n", label, a->second.first / b->second.first,
                a->second.second / b->second.second);
  }
  std::map<std::string, std::pair<double, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
