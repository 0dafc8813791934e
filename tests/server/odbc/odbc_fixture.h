// Shared set-up for the driver tests: a private ODBC configuration naming the built driver, a
// fresh system directory, and the two ways clients drive it (the class library's ODBC 2.x call
// sequence, and an ODBC 3 connection).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace tarn::testing {

struct DriverConfig {
  std::string configDir;  // odbcinst.ini and odbc.ini
  std::string system;     // the DSN's system directory
};

// Writes the configuration once per process: driver "Tarn", DSN "TarnTest" (System= the fresh
// directory, Account=DM).
const DriverConfig& driverConfig();

// An engine request from its operation code and fields, joined by attribute marks.
std::string request(std::initializer_list<std::string_view> parts);

// The SQL state of the first record on a handle (SQLGetDiagRec), or "" when there is none.
std::string diagState(SQLSMALLINT type, SQLHANDLE handle);

// A session opened and used exactly as the class library does it.
class LibrarySession {
 public:
  LibrarySession() = default;
  ~LibrarySession() { (void)close(); }
  LibrarySession(const LibrarySession&) = delete;
  LibrarySession& operator=(const LibrarySession&) = delete;

  // SQLAllocEnv, SQLAllocConnect, SQLDriverConnect, SQLAllocStmt. Returns the connect's code;
  // on failure the handles are freed and state() holds the SQL state SQLError gave.
  SQLRETURN open(const std::string& connectionString);
  // SQLFreeStmt(SQL_CLOSE), SQLExecDirect, SQLFetch, SQLColAttributes(SQL_COLUMN_LENGTH),
  // SQLGetData into a buffer of that length + 1. Returns what SQLGetData reported.
  std::string cmd(std::string_view statement);
  // SQLFreeStmt(SQL_DROP), SQLDisconnect, SQLFreeConnect, SQLFreeEnv; returns the first code
  // that was not SQL_SUCCESS (SQL_SUCCESS when all were).
  SQLRETURN close();

  [[nodiscard]] const std::string& state() const { return state_; }
  [[nodiscard]] SQLRETURN lastExec() const { return lastExec_; }
  [[nodiscard]] SQLLEN lastColumnLength() const { return lastLength_; }
  [[nodiscard]] SQLHSTMT stmt() const { return stmt_; }
  [[nodiscard]] SQLHDBC dbc() const { return dbc_; }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  std::string state_;
  SQLRETURN lastExec_ = SQL_SUCCESS;
  SQLLEN lastLength_ = -1;
};

// An ODBC 3 connection with one statement; wide = connect through SQLDriverConnectW.
class Odbc3Connection {
 public:
  explicit Odbc3Connection(const std::string& connectionString, bool wide = false);
  ~Odbc3Connection();
  Odbc3Connection(const Odbc3Connection&) = delete;
  Odbc3Connection& operator=(const Odbc3Connection&) = delete;

  [[nodiscard]] SQLRETURN connectResult() const { return connect_; }
  [[nodiscard]] SQLHDBC dbc() const { return dbc_; }
  [[nodiscard]] SQLHSTMT stmt() const { return stmt_; }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  SQLRETURN connect_ = SQL_ERROR;
};

}  // namespace tarn::testing
