// Baselines for the full-stack benchmarks: a plain ODBC client session (as any ODBC program
// drives a driver) and SQLite's C API with prepared statements, each with an owner per handle.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace tarn::bench {

// Stops the program: a baseline that cannot be set up has nothing to measure.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "bench setup failed: %s\n", what.c_str());
  std::exit(1);
}

// "C0001234": a prefix and seven digits, so that key order is numeric order.
inline std::string itemId(std::string_view prefix, long i) {
  char digits[24];  // room for any long
  std::snprintf(digits, sizeof digits, "%07ld", i);
  return std::string(prefix) + digits;
}

// A body of n printable bytes with no marks in it; seed varies the text so that a rewrite
// really changes the stored bytes.
inline std::string itemBody(std::size_t n, char seed = 'a') {
  std::string b(n, ' ');
  for (std::size_t i = 0; i < n; ++i) {
    b[i] = static_cast<char>('a' + (static_cast<std::size_t>(seed - 'a') + i) % 26);
  }
  return b;
}

// An ODBC 2.x session: environment, connection and one statement, freed in reverse order.
class OdbcSession {
 public:
  // Connects with the connection string (no prompting); stops the program when it cannot.
  explicit OdbcSession(const std::string& connectString) {
    if (SQLAllocEnv(&env_) != SQL_SUCCESS) fail("SQLAllocEnv");
    if (SQLAllocConnect(env_, &dbc_) != SQL_SUCCESS) fail("SQLAllocConnect");
    SQLCHAR out[256];
    SQLSMALLINT outLength = 0;
    std::string in = connectString;
    const SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                          static_cast<SQLSMALLINT>(in.size()), out, sizeof out,
                                          &outLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) fail("connect " + connectString + ": " + diagnostic());
    connected_ = true;
    if (SQLAllocStmt(dbc_, &stmt_) != SQL_SUCCESS) fail("SQLAllocStmt");
  }
  ~OdbcSession() {
    if (stmt_ != SQL_NULL_HSTMT) SQLFreeStmt(stmt_, SQL_DROP);
    if (connected_) SQLDisconnect(dbc_);
    if (dbc_ != SQL_NULL_HDBC) SQLFreeConnect(dbc_);
    if (env_ != SQL_NULL_HENV) SQLFreeEnv(env_);
  }
  OdbcSession(const OdbcSession&) = delete;
  OdbcSession& operator=(const OdbcSession&) = delete;

  [[nodiscard]] SQLHSTMT stmt() const noexcept { return stmt_; }

  // Closes the previous cursor and executes text directly; returns the driver's return code.
  SQLRETURN exec(std::string_view text) {
    SQLFreeStmt(stmt_, SQL_CLOSE);
    return SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                         static_cast<SQLINTEGER>(text.size()));
  }

  // As exec, stopping the program on failure (set-up statements only).
  void mustExec(std::string_view text) {
    if (!SQL_SUCCEEDED(exec(text))) fail(std::string(text) + ": " + diagnostic());
  }

  // One request the way the class library's session sends it: execute, fetch, size the reply
  // with SQLColAttributes, read it with one SQLGetData into out. False when there is no reply.
  bool request(std::string_view text, std::string& out) {
    if (exec(text) != SQL_SUCCESS) return false;
    SQLFetch(stmt_);
    SQLLEN length = 0;
    SQLSMALLINT textLength = 0;
    char none = 0;
    SQLColAttributes(stmt_, 1, SQL_COLUMN_LENGTH, &none, 0, &textLength, &length);
    out.resize(static_cast<std::size_t>(length > 0 ? length : 0) + 1);
    SQLLEN got = 0;
    const SQLRETURN rc =
        SQLGetData(stmt_, 1, SQL_C_CHAR, out.data(), static_cast<SQLLEN>(out.size()), &got);
    if (!SQL_SUCCEEDED(rc) || got < 0) return false;
    out.resize(static_cast<std::size_t>(got));
    return true;
  }

 private:
  std::string diagnostic() {
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLError(SQL_NULL_HENV, dbc_, stmt_, state, &native, message, sizeof message, &length);
    return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  bool connected_ = false;
};

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// Opens (creating) a database with the journal settings the stand-in server uses: WAL and
// synchronous NORMAL, so that both sides pay for the same durability.
inline SqliteDb openSqlite(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open(path.c_str(), &raw);
  SqliteDb db(raw);
  if (rc != SQLITE_OK) fail("sqlite3_open " + path);
  if (sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                   nullptr, nullptr) != SQLITE_OK) {
    fail(sqlite3_errmsg(db.get()));
  }
  return db;
}

inline void sqliteExec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail(std::string(sql) + ": " + sqlite3_errmsg(db));
  }
}

inline SqliteStatement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    fail(std::string(sql) + ": " + sqlite3_errmsg(db));
  }
  return SqliteStatement(raw);
}

// Fills table t(id TEXT PRIMARY KEY, body TEXT) with ids prefix0000000.. and bodies of
// bodySize bytes, in one transaction.
inline void fillTable(sqlite3* db, std::string_view prefix, long count, std::size_t bodySize) {
  sqliteExec(db, "CREATE TABLE IF NOT EXISTS t(id TEXT PRIMARY KEY, body TEXT); BEGIN");
  SqliteStatement insert = prepare(db, "INSERT OR REPLACE INTO t VALUES(?1, ?2)");
  const std::string body = itemBody(bodySize);
  for (long i = 0; i < count; ++i) {
    const std::string id = itemId(prefix, i);
    sqlite3_bind_text(insert.get(), 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert.get(), 2, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) fail(sqlite3_errmsg(db));
    sqlite3_reset(insert.get());
  }
  sqliteExec(db, "COMMIT");
}

}  // namespace tarn::bench
