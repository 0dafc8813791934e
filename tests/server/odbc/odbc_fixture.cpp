#include "tests/server/odbc/odbc_fixture.h"

#include <sqlucode.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

namespace tarn::testing {

const DriverConfig& driverConfig() {
  static TempDir systemParent;
  static std::optional<ScratchDatabase> database;
  static const std::string system = [] {
    if (!onPostgres()) return systemParent.path() + "/system";
    database.emplace(*testPostgres());
    return database->keywords();
  }();
  static OdbcTestEnvironment env({{"Tarn", TARN_ODBC_DRIVER_PATH}},
                                 {{"TarnTest", "Tarn", {{"System", system}, {"Account", "DM"}}}});
  static const DriverConfig config{env.directory(), system};
  return config;
}

std::string request(std::initializer_list<std::string_view> parts) {
  std::string out;
  bool first = true;
  for (std::string_view p : parts) {
    if (!first) out.push_back('\xFE');
    out.append(p);
    first = false;
  }
  return out;
}

std::string diagState(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[512];
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(
          SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) {
    return "";
  }
  return reinterpret_cast<const char*>(state);
}

SQLRETURN LibrarySession::open(const std::string& connectionString) {
  (void)driverConfig();
  state_.clear();
  if (SQLAllocEnv(&env_) != SQL_SUCCESS) return SQL_ERROR;
  if (SQLAllocConnect(env_, &dbc_) != SQL_SUCCESS) return SQL_ERROR;
  SQLCHAR out[256];
  SQLSMALLINT outLength = 0;
  SQLRETURN rc = SQLDriverConnect(
      dbc_, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.data())),
      static_cast<SQLSMALLINT>(connectionString.size()), out, 256, &outLength, SQL_DRIVER_NOPROMPT);
  if (rc != SQL_SUCCESS) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[256];
    SQLSMALLINT length = 0;
    SQLError(SQL_NULL_HENV, dbc_, SQL_NULL_HSTMT, state, &native, message, 256, &length);
    state_ = reinterpret_cast<const char*>(state);
    SQLFreeConnect(dbc_);
    SQLFreeEnv(env_);
    dbc_ = SQL_NULL_HDBC;
    env_ = SQL_NULL_HENV;
    return rc;
  }
  return SQLAllocStmt(dbc_, &stmt_);
}

std::string LibrarySession::cmd(std::string_view statement) {
  SQLFreeStmt(stmt_, SQL_CLOSE);
  lastExec_ = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement.data())),
                            static_cast<SQLINTEGER>(statement.size()));
  if (lastExec_ != SQL_SUCCESS) return "";
  SQLFetch(stmt_);
  char none[1];
  lastLength_ = -1;
  SQLColAttributes(stmt_, 1, SQL_COLUMN_LENGTH, none, 0, nullptr, &lastLength_);
  if (lastLength_ < 0) return "";
  std::string buffer(static_cast<std::size_t>(lastLength_) + 1, '\0');
  SQLLEN n = 0;
  SQLGetData(stmt_, 1, SQL_C_CHAR, buffer.data(), lastLength_ + 1, &n);
  buffer.resize(static_cast<std::size_t>(std::max<SQLLEN>(n, 0)));
  return buffer;
}

SQLRETURN LibrarySession::close() {
  SQLRETURN first = SQL_SUCCESS;
  auto note = [&](SQLRETURN rc) {
    if (rc != SQL_SUCCESS && first == SQL_SUCCESS) first = rc;
  };
  if (stmt_ != SQL_NULL_HSTMT) note(SQLFreeStmt(stmt_, SQL_DROP));
  if (dbc_ != SQL_NULL_HDBC) {
    note(SQLDisconnect(dbc_));
    note(SQLFreeConnect(dbc_));
  }
  if (env_ != SQL_NULL_HENV) note(SQLFreeEnv(env_));
  stmt_ = SQL_NULL_HSTMT;
  dbc_ = SQL_NULL_HDBC;
  env_ = SQL_NULL_HENV;
  return first;
}

Odbc3Connection::Odbc3Connection(const std::string& connectionString, bool wide) {
  (void)driverConfig();
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
  SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  if (wide) {
    std::vector<SQLWCHAR> in(connectionString.begin(), connectionString.end());
    SQLWCHAR out[512];
    SQLSMALLINT outLength = 0;
    connect_ = SQLDriverConnectW(dbc_, nullptr, in.data(), static_cast<SQLSMALLINT>(in.size()), out,
                                 512, &outLength, SQL_DRIVER_NOPROMPT);
  } else {
    connect_ = SQLDriverConnect(
        dbc_, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  }
  if (SQL_SUCCEEDED(connect_)) SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
}

Odbc3Connection::~Odbc3Connection() {
  if (stmt_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
  if (SQL_SUCCEEDED(connect_)) SQLDisconnect(dbc_);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

}  // namespace tarn::testing
