#include "tarn/channel/odbc_handles_internal.h"

namespace tarn::odbc {

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
