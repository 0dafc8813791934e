#include "tarn/channel/odbc_handles_internal.h"

#include <array>
#include <string_view>

#include "tarn/channel/code_page_internal.h"

namespace tarn::odbc {

// The warning a driver attached to the fetch of a failed reply: the server's own words, in the
// connection's code page. Read before any other call on the statement clears it.
OdbcDiagnostic fetchWarning(SQLHSTMT stmt, const codepage::WireCodePage& codePage) noexcept {
  try {
    std::array<SQLCHAR, SQL_SQLSTATE_SIZE + 1> state{};
    SQLINTEGER native = 0;
    std::array<SQLCHAR, 1024> message{};
    SQLSMALLINT length = 0;
    OdbcDiagnostic d;
    if (!SQL_SUCCEEDED(SQLError(SQL_NULL_HENV, SQL_NULL_HDBC, stmt, state.data(), &native,
                                message.data(), static_cast<SQLSMALLINT>(message.size()), &length)))
      return d;
    const auto text = [](const SQLCHAR* bytes, std::size_t max) {
      const std::string_view all(reinterpret_cast<const char*>(bytes), max);
      return all.substr(0, all.find('\0'));
    };
    codePage.decodeInto(text(state.data(), SQL_SQLSTATE_SIZE), d.sqlState);
    d.nativeError = static_cast<std::int32_t>(native);
    codePage.decodeInto(text(message.data(), message.size() - 1), d.message);
    return d;
  } catch (...) {
    return OdbcDiagnostic();  // out of memory: the failure keeps its number without the words
  }
}

OdbcDiagnostic diagnose(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) noexcept {
  try {
    std::array<SQLCHAR, SQL_SQLSTATE_SIZE + 1> state{};
    SQLINTEGER native = 0;
    // The 256-character message buffer the session has always passed; longer texts are cut.
    std::array<SQLCHAR, 256> message{};
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLError(env, dbc, stmt, state.data(), &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (!SQL_SUCCEEDED(rc)) return OdbcDiagnostic();
    const auto text = [](const SQLCHAR* bytes, std::size_t max) {
      const std::string_view all(reinterpret_cast<const char*>(bytes), max);
      return codepage::decode(all.substr(0, all.find('\0')));
    };
    OdbcDiagnostic d;
    d.sqlState = text(state.data(), SQL_SQLSTATE_SIZE);
    d.nativeError = static_cast<std::int32_t>(native);
    d.message = text(message.data(), message.size() - 1);
    return d;
  } catch (...) {
    return OdbcDiagnostic();  // out of memory: the failure keeps its number without the text
  }
}

SQLRETURN EnvHandle::allocate() noexcept {
  reset();
  SQLHENV h = SQL_NULL_HENV;
  const SQLRETURN rc = SQLAllocEnv(&h);
  if (rc == SQL_SUCCESS) {
    h_ = h;
  } else if (h != SQL_NULL_HENV) {
    SQLFreeEnv(h);  // a half-made handle would otherwise be lost
  }
  return rc;
}

void EnvHandle::reset() noexcept {
  if (h_ != SQL_NULL_HENV) SQLFreeEnv(std::exchange(h_, nullptr));
}

SQLRETURN ConnHandle::allocate(SQLHENV env) noexcept {
  reset();
  SQLHDBC h = SQL_NULL_HDBC;
  const SQLRETURN rc = SQLAllocConnect(env, &h);
  if (rc == SQL_SUCCESS) {
    h_ = h;
  } else if (h != SQL_NULL_HDBC) {
    SQLFreeConnect(h);
  }
  return rc;
}

void ConnHandle::disconnect() noexcept {
  if (h_ != SQL_NULL_HDBC && connected_) SQLDisconnect(h_);
  connected_ = false;
}

void ConnHandle::reset() noexcept {
  if (h_ == SQL_NULL_HDBC) return;
  disconnect();
  SQLFreeConnect(std::exchange(h_, nullptr));
}

SQLRETURN StmtHandle::allocate(SQLHDBC dbc) noexcept {
  reset();
  SQLHSTMT h = SQL_NULL_HSTMT;
  const SQLRETURN rc = SQLAllocStmt(dbc, &h);
  if (rc == SQL_SUCCESS) {
    h_ = h;
  } else if (h != SQL_NULL_HSTMT) {
    SQLFreeStmt(h, SQL_DROP);
  }
  return rc;
}

void StmtHandle::reset() noexcept {
  if (h_ != SQL_NULL_HSTMT) SQLFreeStmt(std::exchange(h_, nullptr), SQL_DROP);
}

}  // namespace tarn::odbc
