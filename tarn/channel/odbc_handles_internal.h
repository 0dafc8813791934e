// One owner per ODBC handle: each frees its handle exactly once, on every path.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <utility>

#include "tarn/frame/error.h"

namespace tarn::codepage {
struct WireCodePage;
}  // namespace tarn::codepage

namespace tarn::odbc {

// The first diagnostic record of the handle that the last call failed on (the statement when
// given, else the connection, else the environment): what the error object keeps. Empty when
// there is none or it cannot be read.
[[nodiscard]] OdbcDiagnostic diagnose(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) noexcept;
// The warning a driver attached to a fetch that answered SQL_SUCCESS_WITH_INFO: the server's words
// on a failed request, decoded in the connection's code page. Call before anything else clears it.
[[nodiscard]] OdbcDiagnostic fetchWarning(SQLHSTMT stmt,
                                          const codepage::WireCodePage& codePage) noexcept;

// An environment handle from SQLAllocEnv, freed with SQLFreeEnv.
class EnvHandle {
 public:
  EnvHandle() noexcept = default;
  EnvHandle(const EnvHandle&) = delete;
  EnvHandle& operator=(const EnvHandle&) = delete;
  EnvHandle(EnvHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  EnvHandle& operator=(EnvHandle&& o) noexcept {
    std::swap(h_, o.h_);
    return *this;
  }
  ~EnvHandle() { reset(); }

  // SQLAllocEnv into this owner; returns its result code (the handle is kept only on 0).
  [[nodiscard]] SQLRETURN allocate() noexcept;
  [[nodiscard]] SQLHENV get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != SQL_NULL_HENV; }
  // Frees the handle now (result ignored); the owner is empty afterwards.
  void reset() noexcept;

 private:
  SQLHENV h_ = SQL_NULL_HENV;
};

// A connection handle from SQLAllocConnect. It remembers whether a connect left it connected, so
// that its release disconnects before SQLFreeConnect, which the driver manager refuses otherwise.
class ConnHandle {
 public:
  ConnHandle() noexcept = default;
  ConnHandle(const ConnHandle&) = delete;
  ConnHandle& operator=(const ConnHandle&) = delete;
  ConnHandle(ConnHandle&& o) noexcept
      : h_(std::exchange(o.h_, nullptr)), connected_(std::exchange(o.connected_, false)) {}
  ConnHandle& operator=(ConnHandle&& o) noexcept {
    std::swap(h_, o.h_);
    std::swap(connected_, o.connected_);
    return *this;
  }
  ~ConnHandle() { reset(); }

  // SQLAllocConnect on env into this owner; returns its result code.
  [[nodiscard]] SQLRETURN allocate(SQLHENV env) noexcept;
  [[nodiscard]] SQLHDBC get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != SQL_NULL_HDBC; }
  // Records that a connect call opened the connection (any succeeding return code).
  void markConnected() noexcept { connected_ = true; }
  [[nodiscard]] bool connected() const noexcept { return connected_; }
  // SQLDisconnect when connected (result ignored).
  void disconnect() noexcept;
  // Disconnects if needed, then SQLFreeConnect (results ignored); the owner is empty afterwards.
  void reset() noexcept;

 private:
  SQLHDBC h_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

// A statement handle from SQLAllocStmt, dropped with SQLFreeStmt(SQL_DROP).
class StmtHandle {
 public:
  StmtHandle() noexcept = default;
  StmtHandle(const StmtHandle&) = delete;
  StmtHandle& operator=(const StmtHandle&) = delete;
  StmtHandle(StmtHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  StmtHandle& operator=(StmtHandle&& o) noexcept {
    std::swap(h_, o.h_);
    return *this;
  }
  ~StmtHandle() { reset(); }

  // SQLAllocStmt on dbc into this owner; returns its result code.
  [[nodiscard]] SQLRETURN allocate(SQLHDBC dbc) noexcept;
  [[nodiscard]] SQLHSTMT get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != SQL_NULL_HSTMT; }
  // SQLFreeStmt(SQL_DROP) now (result ignored); the owner is empty afterwards.
  void reset() noexcept;

 private:
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

}  // namespace tarn::odbc
