// The wide (UTF-16) entry points. Text goes through the driver's code page both ways, so a
// Unicode client sees marks as U+00FB..U+00FF. Buffer lengths follow each function's own unit.
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include "server/odbc/entry.h"

using namespace tarn::server::odbc;

namespace {

// Buffers counted in bytes (attributes, info, column attributes, diagnostic fields).
TextOut wideBytes(void* buffer, SQLLEN capacity) noexcept {
  return TextOut{buffer, capacity, Charset::kWide, true};
}
// Buffers counted in characters (names, messages, connection strings).
TextOut wideChars(void* buffer, SQLLEN capacity) noexcept {
  return TextOut{buffer, capacity, Charset::kWide, false};
}

// Decodes a wide argument inside the shim, so a failure becomes a diagnostic on h.
template <class H>
SQLRETURN decode(SQLHANDLE h, const SQLWCHAR* text, SQLINTEGER length, std::string& out) noexcept {
  if (!Handle::isLive(h, kKindOf<H>)) return SQL_INVALID_HANDLE;
  H& handle = fromHandle<H>(h);
  handle.diag().clear();
  return guarded(handle, [&] {
    out = wideText(text, length);
    return SQL_SUCCESS;
  });
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLConnectW(SQLHDBC hdbc, SQLWCHAR* szDSN, SQLSMALLINT cbDSN, SQLWCHAR*,
                              SQLSMALLINT, SQLWCHAR*, SQLSMALLINT) {
  std::string dsn;
  if (SQLRETURN rc = decode<Connection>(hdbc, szDSN, cbDSN, dsn); rc != SQL_SUCCESS) return rc;
  return connectImpl(hdbc, std::move(dsn), Charset::kWide);
}

SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC hdbc, SQLHWND, SQLWCHAR* szConnStrIn,
                                    SQLSMALLINT cbConnStrIn, SQLWCHAR* szConnStrOut,
                                    SQLSMALLINT cbConnStrOutMax, SQLSMALLINT* pcbConnStrOut,
                                    SQLUSMALLINT) {
  std::string in;
  if (SQLRETURN rc = decode<Connection>(hdbc, szConnStrIn, cbConnStrIn, in); rc != SQL_SUCCESS) {
    return rc;
  }
  return driverConnectImpl(hdbc, in, wideChars(szConnStrOut, cbConnStrOutMax), pcbConnStrOut,
                           Charset::kWide);
}

SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT hstmt, SQLWCHAR* szSqlStr, SQLINTEGER cbSqlStr) {
  return onHandle<Statement>(
      hstmt, [&](Statement& s) { return s.execDirect(wideStatement(s, szSqlStr, cbSqlStr)); });
}

SQLRETURN SQL_API SQLPrepareW(SQLHSTMT hstmt, SQLWCHAR* szSqlStr, SQLINTEGER cbSqlStr) {
  return onHandle<Statement>(
      hstmt, [&](Statement& s) { return s.prepare(wideStatement(s, szSqlStr, cbSqlStr)); });
}

SQLRETURN SQL_API SQLNativeSqlW(SQLHDBC hdbc, SQLWCHAR* szSqlStrIn, SQLINTEGER cbSqlStrIn,
                                SQLWCHAR* szSqlStr, SQLINTEGER cbSqlStrMax, SQLINTEGER* pcbSqlStr) {
  return onHandle<Connection>(hdbc, [&](Connection& c) {
    bool truncated = false;
    SQLLEN n = wideChars(szSqlStr, cbSqlStrMax).write(wideText(szSqlStrIn, cbSqlStrIn), truncated);
    if (pcbSqlStr != nullptr) *pcbSqlStr = static_cast<SQLINTEGER>(n);
    if (!truncated) return SQL_SUCCESS;
    c.diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  });
}

SQLRETURN SQL_API SQLDescribeColW(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLWCHAR* szColName,
                                  SQLSMALLINT cbColNameMax, SQLSMALLINT* pcbColName,
                                  SQLSMALLINT* pfSqlType, SQLULEN* pcbColDef, SQLSMALLINT* pibScale,
                                  SQLSMALLINT* pfNullable) {
  return onHandle<Statement>(hstmt, [&](Statement& s) {
    return s.describeCol(icol, wideChars(szColName, cbColNameMax), pcbColName, pfSqlType, pcbColDef,
                         pibScale, pfNullable);
  });
}

SQLRETURN SQL_API SQLColAttributeW(SQLHSTMT hstmt, SQLUSMALLINT iCol, SQLUSMALLINT iField,
                                   SQLPOINTER pCharAttr, SQLSMALLINT cbCharAttrMax,
                                   SQLSMALLINT* pcbCharAttr, SQLLEN* pNumAttr) {
  return onHandle<Statement>(hstmt, [&](Statement& s) {
    return s.colAttribute(iCol, iField, wideBytes(pCharAttr, cbCharAttrMax), pcbCharAttr, pNumAttr);
  });
}

SQLRETURN SQL_API SQLColAttributesW(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLUSMALLINT fDescType,
                                    SQLPOINTER rgbDesc, SQLSMALLINT cbDescMax, SQLSMALLINT* pcbDesc,
                                    SQLLEN* pfDesc) {
  return onHandle<Statement>(hstmt, [&](Statement& s) {
    return s.colAttribute(icol, fDescType, wideBytes(rgbDesc, cbDescMax), pcbDesc, pfDesc);
  });
}

SQLRETURN SQL_API SQLGetInfoW(SQLHDBC hdbc, SQLUSMALLINT fInfoType, SQLPOINTER rgbInfoValue,
                              SQLSMALLINT cbInfoValueMax, SQLSMALLINT* pcbInfoValue) {
  return onHandle<Connection>(hdbc, [&](Connection& c) {
    return c.getInfo(fInfoType, rgbInfoValue, wideBytes(rgbInfoValue, cbInfoValueMax),
                     pcbInfoValue);
  });
}

SQLRETURN SQL_API SQLGetConnectAttrW(SQLHDBC hdbc, SQLINTEGER fAttribute, SQLPOINTER rgbValue,
                                     SQLINTEGER cbValueMax, SQLINTEGER* pcbValue) {
  return onHandle<Connection>(hdbc, [&](Connection& c) {
    return c.getAttr(fAttribute, rgbValue, wideBytes(rgbValue, cbValueMax), pcbValue);
  });
}

SQLRETURN SQL_API SQLSetConnectAttrW(SQLHDBC hdbc, SQLINTEGER fAttribute, SQLPOINTER rgbValue,
                                     SQLINTEGER cbValue) {
  return onHandle<Connection>(
      hdbc, [&](Connection& c) { return c.setAttr(fAttribute, rgbValue, cbValue); });
}

SQLRETURN SQL_API SQLGetStmtAttrW(SQLHSTMT hstmt, SQLINTEGER fAttribute, SQLPOINTER rgbValue,
                                  SQLINTEGER, SQLINTEGER* pcbValue) {
  return onHandle<Statement>(
      hstmt, [&](Statement& s) { return s.getAttr(fAttribute, rgbValue, pcbValue); });
}

SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT hstmt, SQLINTEGER fAttribute, SQLPOINTER rgbValue,
                                  SQLINTEGER) {
  return onHandle<Statement>(hstmt, [&](Statement& s) { return s.setAttr(fAttribute, rgbValue); });
}

SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT fHandleType, SQLHANDLE handle, SQLSMALLINT iRecord,
                                 SQLWCHAR* szSqlState, SQLINTEGER* pfNativeError,
                                 SQLWCHAR* szErrorMsg, SQLSMALLINT cbErrorMsgMax,
                                 SQLSMALLINT* pcbErrorMsg) {
  return getDiagRecImpl(fHandleType, handle, iRecord, szSqlState, pfNativeError,
                        wideChars(szErrorMsg, cbErrorMsgMax), pcbErrorMsg, Charset::kWide);
}

SQLRETURN SQL_API SQLGetDiagFieldW(SQLSMALLINT fHandleType, SQLHANDLE handle, SQLSMALLINT iRecord,
                                   SQLSMALLINT fDiagField, SQLPOINTER rgbDiagInfo,
                                   SQLSMALLINT cbDiagInfoMax, SQLSMALLINT* pcbDiagInfo) {
  return getDiagFieldImpl(fHandleType, handle, iRecord, fDiagField, rgbDiagInfo,
                          wideBytes(rgbDiagInfo, cbDiagInfoMax), pcbDiagInfo);
}

SQLRETURN SQL_API SQLErrorW(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLWCHAR* szSqlState,
                            SQLINTEGER* pfNativeError, SQLWCHAR* szErrorMsg,
                            SQLSMALLINT cbErrorMsgMax, SQLSMALLINT* pcbErrorMsg) {
  return errorImpl(henv, hdbc, hstmt, szSqlState, pfNativeError,
                   wideChars(szErrorMsg, cbErrorMsgMax), pcbErrorMsg, Charset::kWide);
}

SQLRETURN SQL_API SQLTablesW(SQLHSTMT hstmt, SQLWCHAR*, SQLSMALLINT, SQLWCHAR*, SQLSMALLINT,
                             SQLWCHAR*, SQLSMALLINT, SQLWCHAR*, SQLSMALLINT) {
  return tablesImpl(hstmt);
}

SQLRETURN SQL_API SQLColumnsW(SQLHSTMT hstmt, SQLWCHAR*, SQLSMALLINT, SQLWCHAR*, SQLSMALLINT,
                              SQLWCHAR*, SQLSMALLINT, SQLWCHAR*, SQLSMALLINT) {
  return columnsImpl(hstmt);
}

}  // extern "C"
