// The ANSI entry points unixODBC loads, and the pieces shared with the wide ones. Each is a thin
// shim over one member of the handle classes.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <type_traits>

#include "server/odbc/entry.h"

using namespace tarn::server::odbc;

namespace tarn::server::odbc {
namespace {

Handle* diagHandle(SQLSMALLINT type, SQLHANDLE h) noexcept {
  if (type != SQL_HANDLE_ENV && type != SQL_HANDLE_DBC && type != SQL_HANDLE_STMT) return nullptr;
  return Handle::isLive(h, type) ? static_cast<Handle*>(h) : nullptr;
}

void putState(std::string_view state, void* out, Charset charset) noexcept {
  if (out == nullptr) return;
  const std::string_view five = state.substr(0, 5);
  if (charset == Charset::kAnsi) {
    auto* p = static_cast<char*>(out);
    five.copy(p, five.size());
    p[five.size()] = '\0';
  } else {
    auto* p = static_cast<std::uint16_t*>(out);
    bytesToWide(five, p);
    p[five.size()] = 0;
  }
}

SQLRETURN putRecord(const DiagRecord& r, void* state, SQLINTEGER* native, TextOut message,
                    SQLSMALLINT* messageLength, Charset charset) noexcept {
  putState(r.state, state, charset);
  if (native != nullptr) *native = r.native;
  bool truncated = false;
  SQLLEN n = message.write(r.message, truncated);
  if (messageLength != nullptr) *messageLength = static_cast<SQLSMALLINT>(n);
  return truncated ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

// States whose class or subclass the ODBC standard defines rather than SQL-92.
bool odbcDefined(std::string_view state) noexcept {
  static constexpr std::array<std::string_view, 9> kOdbcPrefixes = {
      "IM", "HY", "01S", "07S", "08S", "21S", "25S", "42S", "HYT"};
  return std::any_of(kOdbcPrefixes.begin(), kOdbcPrefixes.end(),
                     [&](std::string_view p) { return state.starts_with(p); });
}

constexpr ColumnDef kTablesColumns[] = {{"TABLE_CAT", SQL_VARCHAR},
                                        {"TABLE_SCHEM", SQL_VARCHAR},
                                        {"TABLE_NAME", SQL_VARCHAR},
                                        {"TABLE_TYPE", SQL_VARCHAR},
                                        {"REMARKS", SQL_VARCHAR}};
constexpr ColumnDef kColumnsColumns[] = {
    {"TABLE_CAT", SQL_VARCHAR},         {"TABLE_SCHEM", SQL_VARCHAR},
    {"TABLE_NAME", SQL_VARCHAR},        {"COLUMN_NAME", SQL_VARCHAR},
    {"DATA_TYPE", SQL_SMALLINT},        {"TYPE_NAME", SQL_VARCHAR},
    {"COLUMN_SIZE", SQL_INTEGER},       {"BUFFER_LENGTH", SQL_INTEGER},
    {"DECIMAL_DIGITS", SQL_SMALLINT},   {"NUM_PREC_RADIX", SQL_SMALLINT},
    {"NULLABLE", SQL_SMALLINT},         {"REMARKS", SQL_VARCHAR},
    {"COLUMN_DEF", SQL_VARCHAR},        {"SQL_DATA_TYPE", SQL_SMALLINT},
    {"SQL_DATETIME_SUB", SQL_SMALLINT}, {"CHAR_OCTET_LENGTH", SQL_INTEGER},
    {"ORDINAL_POSITION", SQL_INTEGER},  {"IS_NULLABLE", SQL_VARCHAR}};

constexpr std::array<SQLUSMALLINT, 46> kSupportedFunctions = {SQL_API_SQLALLOCCONNECT,
                                                              SQL_API_SQLALLOCENV,
                                                              SQL_API_SQLALLOCSTMT,
                                                              SQL_API_SQLBINDCOL,
                                                              SQL_API_SQLCANCEL,
                                                              SQL_API_SQLCOLATTRIBUTE,
                                                              SQL_API_SQLCONNECT,
                                                              SQL_API_SQLDESCRIBECOL,
                                                              SQL_API_SQLDISCONNECT,
                                                              SQL_API_SQLERROR,
                                                              SQL_API_SQLEXECDIRECT,
                                                              SQL_API_SQLEXECUTE,
                                                              SQL_API_SQLFETCH,
                                                              SQL_API_SQLFREECONNECT,
                                                              SQL_API_SQLFREEENV,
                                                              SQL_API_SQLFREESTMT,
                                                              SQL_API_SQLNUMRESULTCOLS,
                                                              SQL_API_SQLPREPARE,
                                                              SQL_API_SQLROWCOUNT,
                                                              SQL_API_SQLTRANSACT,
                                                              SQL_API_SQLCOLUMNS,
                                                              SQL_API_SQLDRIVERCONNECT,
                                                              SQL_API_SQLGETDATA,
                                                              SQL_API_SQLGETFUNCTIONS,
                                                              SQL_API_SQLGETINFO,
                                                              SQL_API_SQLTABLES,
                                                              SQL_API_SQLMORERESULTS,
                                                              SQL_API_SQLNATIVESQL,
                                                              SQL_API_SQLNUMPARAMS,
                                                              SQL_API_SQLALLOCHANDLE,
                                                              SQL_API_SQLCLOSECURSOR,
                                                              SQL_API_SQLENDTRAN,
                                                              SQL_API_SQLFREEHANDLE,
                                                              SQL_API_SQLGETCONNECTATTR,
                                                              SQL_API_SQLGETDIAGFIELD,
                                                              SQL_API_SQLGETDIAGREC,
                                                              SQL_API_SQLGETENVATTR,
                                                              SQL_API_SQLGETSTMTATTR,
                                                              SQL_API_SQLSETCONNECTATTR,
                                                              SQL_API_SQLSETENVATTR,
                                                              SQL_API_SQLSETSTMTATTR,
                                                              SQL_API_SQLGETCONNECTOPTION,
                                                              SQL_API_SQLSETCONNECTOPTION,
                                                              SQL_API_SQLGETSTMTOPTION,
                                                              SQL_API_SQLSETSTMTOPTION,
                                                              SQL_API_SQLCOLATTRIBUTES};

SQLRETURN allocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) noexcept {
  if (output == nullptr) return SQL_ERROR;
  *output = SQL_NULL_HANDLE;
  switch (type) {
    case SQL_HANDLE_ENV: {
      auto* env = new (std::nothrow) Environment();
      if (env == nullptr) return SQL_ERROR;
      *output = toHandle(env);
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DBC:
      return onHandle<Environment>(input, [&](Environment& env) {
        *output = toHandle(new Connection(env));
        return SQL_SUCCESS;
      });
    case SQL_HANDLE_STMT:
      return onHandle<Connection>(input, [&](Connection& c) {
        *output = toHandle(c.allocStatement());
        return SQL_SUCCESS;
      });
    case SQL_HANDLE_DESC:
      return onHandle<Connection>(input, [&](Connection&) -> SQLRETURN {
        throw DiagnosticError("HYC00", "Optional feature not implemented");
      });
    default:
      return SQL_ERROR;
  }
}

// Frees outside the shim: the handle must not be touched once it is gone.
template <class H, class Refuse>
SQLRETURN freeChecked(SQLHANDLE h, Refuse&& refuse) noexcept {
  if (!Handle::isLive(h, kKindOf<H>)) return SQL_INVALID_HANDLE;
  H& handle = fromHandle<H>(h);
  handle.diag().clear();
  if (refuse(handle)) {
    handle.diag().post("HY010", "Function sequence error");
    handle.diag().setReturnCode(SQL_ERROR);
    return SQL_ERROR;
  }
  if constexpr (std::is_same_v<H, Statement>) {
    handle.connection().freeStatement(&handle);
  } else {
    delete &handle;
  }
  return SQL_SUCCESS;
}

SQLRETURN freeHandle(SQLSMALLINT type, SQLHANDLE h) noexcept {
  switch (type) {
    case SQL_HANDLE_ENV:
      return freeChecked<Environment>(h, [](Environment& e) { return e.connections.load() > 0; });
    case SQL_HANDLE_DBC:
      return freeChecked<Connection>(h, [](Connection& c) { return c.connected(); });
    case SQL_HANDLE_STMT:
      return freeChecked<Statement>(h, [](Statement&) { return false; });
    default:
      return SQL_INVALID_HANDLE;
  }
}

SQLRETURN getFunctions(SQLHDBC dbc, SQLUSMALLINT id, SQLUSMALLINT* supported) noexcept {
  return onHandle<Connection>(dbc, [&](Connection&) {
    if (supported == nullptr) return SQL_SUCCESS;
    if (id == SQL_API_ODBC3_ALL_FUNCTIONS) {
      std::fill_n(supported, SQL_API_ODBC3_ALL_FUNCTIONS_SIZE, SQLUSMALLINT{0});
      for (SQLUSMALLINT f : kSupportedFunctions) {
        supported[f >> 4] = static_cast<SQLUSMALLINT>(supported[f >> 4] | (1u << (f & 0xF)));
      }
    } else if (id == SQL_API_ALL_FUNCTIONS) {
      std::fill_n(supported, 100, SQLUSMALLINT{SQL_FALSE});
      for (SQLUSMALLINT f : kSupportedFunctions) {
        if (f < 100) supported[f] = SQL_TRUE;
      }
    } else {
      *supported = std::find(kSupportedFunctions.begin(), kSupportedFunctions.end(), id) !=
                           kSupportedFunctions.end()
                       ? SQL_TRUE
                       : SQL_FALSE;
    }
    return SQL_SUCCESS;
  });
}

}  // namespace

SQLRETURN connectImpl(SQLHDBC dbc, std::string dsn, Charset charset) noexcept {
  return onHandle<Connection>(dbc, [&](Connection& c) {
    return c.open({{"DSN", std::move(dsn)}}, charset);
  });
}

SQLRETURN driverConnectImpl(SQLHDBC dbc, std::string_view in, TextOut out, SQLSMALLINT* outLength,
                            Charset charset) noexcept {
  return onHandle<Connection>(
      dbc, [&](Connection& c) { return c.driverConnect(in, out, outLength, charset); });
}

SQLRETURN getDiagRecImpl(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT number, void* state,
                         SQLINTEGER* native, TextOut message, SQLSMALLINT* messageLength,
                         Charset charset) noexcept {
  Handle* handle = diagHandle(type, h);
  if (handle == nullptr) return SQL_INVALID_HANDLE;
  if (number < 1 || message.capacity < 0) return SQL_ERROR;
  const DiagRecord* r = handle->diag().record(number);
  if (r == nullptr) return SQL_NO_DATA;
  return putRecord(*r, state, native, message, messageLength, charset);
}

SQLRETURN getDiagFieldImpl(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT number, SQLSMALLINT field,
                           SQLPOINTER value, TextOut text, SQLSMALLINT* length) noexcept {
  Handle* handle = diagHandle(type, h);
  if (handle == nullptr) return SQL_INVALID_HANDLE;
  const Diagnostics& d = handle->diag();
  auto putInt = [&](auto v) {
    if (value != nullptr) std::memcpy(value, &v, sizeof v);
    if (length != nullptr) *length = sizeof v;
    return SQL_SUCCESS;
  };
  auto putText = [&](std::string_view s) {
    bool truncated = false;
    SQLLEN n = text.write(s, truncated);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(n);
    return truncated ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  };
  switch (field) {
    case SQL_DIAG_NUMBER:
      return putInt(static_cast<SQLINTEGER>(d.size()));
    case SQL_DIAG_RETURNCODE:
      return putInt(static_cast<SQLRETURN>(d.returnCode()));
    case SQL_DIAG_ROW_COUNT:
    case SQL_DIAG_CURSOR_ROW_COUNT:
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      return putInt(SQLLEN{0});
    case SQL_DIAG_DYNAMIC_FUNCTION:
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      return putText("");
    case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      return putInt(SQLINTEGER{SQL_DIAG_UNKNOWN_STATEMENT});
    default:
      break;
  }
  if (number < 1) return SQL_ERROR;
  const DiagRecord* r = d.record(number);
  if (r == nullptr) return SQL_NO_DATA;
  switch (field) {
    case SQL_DIAG_SQLSTATE:
      return putText(r->state);
    case SQL_DIAG_NATIVE:
      return putInt(r->native);
    case SQL_DIAG_MESSAGE_TEXT:
      return putText(r->message);
    case SQL_DIAG_CLASS_ORIGIN:
      return putText(odbcDefined(r->state.substr(0, 2)) ? "ODBC 3.0" : "ISO 9075");
    case SQL_DIAG_SUBCLASS_ORIGIN:
      return putText(odbcDefined(r->state) ? "ODBC 3.0" : "ISO 9075");
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME:
      return putText("");
    case SQL_DIAG_COLUMN_NUMBER:
      return putInt(SQLINTEGER{SQL_COLUMN_NUMBER_UNKNOWN});
    case SQL_DIAG_ROW_NUMBER:
      return putInt(SQLLEN{SQL_ROW_NUMBER_UNKNOWN});
    default:
      return SQL_ERROR;
  }
}

SQLRETURN errorImpl(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, void* state, SQLINTEGER* native,
                    TextOut message, SQLSMALLINT* messageLength, Charset charset) noexcept {
  Handle* handle = nullptr;
  if (stmt != SQL_NULL_HSTMT) {
    handle = diagHandle(SQL_HANDLE_STMT, stmt);
  } else if (dbc != SQL_NULL_HDBC) {
    handle = diagHandle(SQL_HANDLE_DBC, dbc);
  } else if (env != SQL_NULL_HENV) {
    handle = diagHandle(SQL_HANDLE_ENV, env);
  }
  if (handle == nullptr) return SQL_INVALID_HANDLE;
  // Each call reports one record and removes it from what SQLError will report next.
  const DiagRecord* r = handle->diag().takeNext();
  if (r == nullptr) {
    putState("00000", state, charset);
    return SQL_NO_DATA;
  }
  return putRecord(*r, state, native, message, messageLength, charset);
}

SQLRETURN tablesImpl(SQLHSTMT stmt) noexcept {
  return onHandle<Statement>(stmt, [](Statement& s) { return s.emptyResult(kTablesColumns); });
}

SQLRETURN columnsImpl(SQLHSTMT stmt) noexcept {
  return onHandle<Statement>(stmt, [](Statement& s) { return s.emptyResult(kColumnsColumns); });
}

}  // namespace tarn::server::odbc

namespace {

TextOut ansiOut(void* buffer, SQLLEN capacity) noexcept {
  return TextOut{buffer, capacity, Charset::kAnsi, true};
}

}  // namespace

extern "C" {

// ----- Handles

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT HandleType, SQLHANDLE InputHandle,
                                 SQLHANDLE* OutputHandle) {
  return allocHandle(HandleType, InputHandle, OutputHandle);
}

SQLRETURN SQL_API SQLAllocEnv(SQLHENV* EnvironmentHandle) {
  return allocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, EnvironmentHandle);
}

SQLRETURN SQL_API SQLAllocConnect(SQLHENV EnvironmentHandle, SQLHDBC* ConnectionHandle) {
  return allocHandle(SQL_HANDLE_DBC, EnvironmentHandle, ConnectionHandle);
}

SQLRETURN SQL_API SQLAllocStmt(SQLHDBC ConnectionHandle, SQLHSTMT* StatementHandle) {
  return allocHandle(SQL_HANDLE_STMT, ConnectionHandle, StatementHandle);
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT HandleType, SQLHANDLE Handle) {
  return freeHandle(HandleType, Handle);
}

SQLRETURN SQL_API SQLFreeEnv(SQLHENV EnvironmentHandle) {
  return freeHandle(SQL_HANDLE_ENV, EnvironmentHandle);
}

SQLRETURN SQL_API SQLFreeConnect(SQLHDBC ConnectionHandle) {
  return freeHandle(SQL_HANDLE_DBC, ConnectionHandle);
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT StatementHandle, SQLUSMALLINT Option) {
  if (Option == SQL_DROP) return freeHandle(SQL_HANDLE_STMT, StatementHandle);
  return onHandle<Statement>(StatementHandle, [&](Statement& s) { return s.freeStmt(Option); });
}

// ----- Attributes

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER /*StringLength*/) {
  return onHandle<Environment>(EnvironmentHandle,
                               [&](Environment& e) { return e.setAttr(Attribute, Value); });
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                SQLINTEGER /*BufferLength*/, SQLINTEGER* StringLength) {
  return onHandle<Environment>(EnvironmentHandle, [&](Environment& e) {
    if (StringLength != nullptr) *StringLength = sizeof(SQLUINTEGER);
    return e.getAttr(Attribute, Value);
  });
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER StringLength) {
  return onHandle<Connection>(
      ConnectionHandle, [&](Connection& c) { return c.setAttr(Attribute, Value, StringLength); });
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                    SQLPOINTER Value, SQLINTEGER BufferLength,
                                    SQLINTEGER* StringLength) {
  return onHandle<Connection>(ConnectionHandle, [&](Connection& c) {
    return c.getAttr(Attribute, Value, ansiOut(Value, BufferLength), StringLength);
  });
}

SQLRETURN SQL_API SQLSetConnectOption(SQLHDBC ConnectionHandle, SQLUSMALLINT Option,
                                      SQLULEN Value) {
  return onHandle<Connection>(ConnectionHandle, [&](Connection& c) {
    return c.setAttr(Option, reinterpret_cast<SQLPOINTER>(Value), 0);
  });
}

SQLRETURN SQL_API SQLGetConnectOption(SQLHDBC ConnectionHandle, SQLUSMALLINT Option,
                                      SQLPOINTER Value) {
  return onHandle<Connection>(ConnectionHandle, [&](Connection& c) {
    return c.getAttr(Option, Value, ansiOut(Value, SQL_MAX_OPTION_STRING_LENGTH), nullptr);
  });
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT StatementHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                 SQLINTEGER /*StringLength*/) {
  return onHandle<Statement>(StatementHandle,
                             [&](Statement& s) { return s.setAttr(Attribute, Value); });
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT StatementHandle, SQLINTEGER Attribute, SQLPOINTER Value,
                                 SQLINTEGER /*BufferLength*/, SQLINTEGER* StringLength) {
  return onHandle<Statement>(
      StatementHandle, [&](Statement& s) { return s.getAttr(Attribute, Value, StringLength); });
}

SQLRETURN SQL_API SQLSetStmtOption(SQLHSTMT StatementHandle, SQLUSMALLINT Option, SQLULEN Value) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.setAttr(Option, reinterpret_cast<SQLPOINTER>(Value));
  });
}

SQLRETURN SQL_API SQLGetStmtOption(SQLHSTMT StatementHandle, SQLUSMALLINT Option,
                                   SQLPOINTER Value) {
  return onHandle<Statement>(StatementHandle,
                             [&](Statement& s) { return s.getAttr(Option, Value, nullptr); });
}

// ----- Connecting

SQLRETURN SQL_API SQLConnect(SQLHDBC ConnectionHandle, SQLCHAR* ServerName, SQLSMALLINT NameLength1,
                             SQLCHAR* /*UserName*/, SQLSMALLINT /*NameLength2*/,
                             SQLCHAR* /*Authentication*/, SQLSMALLINT /*NameLength3*/) {
  if (!Handle::isLive(ConnectionHandle, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  std::string dsn;
  SQLRETURN rc = guarded(fromHandle<Connection>(ConnectionHandle), [&] {
    dsn.assign(ansiText(ServerName, NameLength1));
    return SQL_SUCCESS;
  });
  if (rc != SQL_SUCCESS) return rc;
  return connectImpl(ConnectionHandle, std::move(dsn), Charset::kAnsi);
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC ConnectionHandle, SQLHWND /*WindowHandle*/,
                                   SQLCHAR* InConnectionString, SQLSMALLINT StringLength1,
                                   SQLCHAR* OutConnectionString, SQLSMALLINT BufferLength,
                                   SQLSMALLINT* StringLength2Ptr,
                                   SQLUSMALLINT /*DriverCompletion*/) {
  if (!Handle::isLive(ConnectionHandle, SQL_HANDLE_DBC)) return SQL_INVALID_HANDLE;
  std::string_view in;
  SQLRETURN rc = guarded(fromHandle<Connection>(ConnectionHandle), [&] {
    in = ansiText(InConnectionString, StringLength1);
    return SQL_SUCCESS;
  });
  if (rc != SQL_SUCCESS) return rc;
  return driverConnectImpl(ConnectionHandle, in, ansiOut(OutConnectionString, BufferLength),
                           StringLength2Ptr, Charset::kAnsi);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC ConnectionHandle) {
  return onHandle<Connection>(ConnectionHandle, [](Connection& c) { return c.disconnect(); });
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC ConnectionHandle, SQLUSMALLINT InfoType, SQLPOINTER InfoValue,
                             SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
  return onHandle<Connection>(ConnectionHandle, [&](Connection& c) {
    return c.getInfo(InfoType, InfoValue, ansiOut(InfoValue, BufferLength), StringLength);
  });
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC ConnectionHandle, SQLUSMALLINT FunctionId,
                                  SQLUSMALLINT* Supported) {
  return getFunctions(ConnectionHandle, FunctionId, Supported);
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT HandleType, SQLHANDLE Handle,
                             SQLSMALLINT /*CompletionType*/) {
  // Every request is committed when its reply is given; there is nothing to end.
  if (HandleType == SQL_HANDLE_ENV) {
    return onHandle<Environment>(Handle, [](Environment&) { return SQL_SUCCESS; });
  }
  return onHandle<Connection>(Handle, [](Connection&) { return SQL_SUCCESS; });
}

SQLRETURN SQL_API SQLTransact(SQLHENV EnvironmentHandle, SQLHDBC ConnectionHandle,
                              SQLUSMALLINT CompletionType) {
  if (ConnectionHandle != SQL_NULL_HDBC) {
    return SQLEndTran(SQL_HANDLE_DBC, ConnectionHandle, static_cast<SQLSMALLINT>(CompletionType));
  }
  return SQLEndTran(SQL_HANDLE_ENV, EnvironmentHandle, static_cast<SQLSMALLINT>(CompletionType));
}

// ----- Statements

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                                SQLINTEGER TextLength) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.execDirect(ansiText(StatementText, TextLength));
  });
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                             SQLINTEGER TextLength) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.prepare(ansiText(StatementText, TextLength));
  });
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT StatementHandle) {
  return onHandle<Statement>(StatementHandle, [](Statement& s) { return s.execute(); });
}

SQLRETURN SQL_API SQLNativeSql(SQLHDBC ConnectionHandle, SQLCHAR* InStatementText,
                               SQLINTEGER TextLength1, SQLCHAR* OutStatementText,
                               SQLINTEGER BufferLength, SQLINTEGER* TextLength2Ptr) {
  return onHandle<Connection>(ConnectionHandle, [&](Connection& c) {
    bool truncated = false;
    SQLLEN n = ansiOut(OutStatementText, BufferLength)
                   .write(ansiText(InStatementText, TextLength1), truncated);
    if (TextLength2Ptr != nullptr) *TextLength2Ptr = static_cast<SQLINTEGER>(n);
    if (!truncated) return SQL_SUCCESS;
    c.diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  });
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT StatementHandle, SQLSMALLINT* ParameterCountPtr) {
  return onHandle<Statement>(StatementHandle, [&](Statement&) {
    if (ParameterCountPtr != nullptr) *ParameterCountPtr = 0;
    return SQL_SUCCESS;
  });
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT StatementHandle) {
  // Called from another thread while a request runs on this statement: the statement's
  // diagnostics belong to that thread, so they are left alone. Only a subroutine call stops.
  if (!Handle::isLive(StatementHandle, kKindOf<Statement>)) return SQL_INVALID_HANDLE;
  fromHandle<Statement>(StatementHandle).connection().cancel();
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT StatementHandle) {
  return onHandle<Statement>(StatementHandle, [](Statement& s) { return s.closeCursor(); });
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT StatementHandle) {
  return onHandle<Statement>(StatementHandle, [](Statement&) { return SQL_NO_DATA; });
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT StatementHandle, SQLSMALLINT* ColumnCount) {
  return onHandle<Statement>(StatementHandle,
                             [&](Statement& s) { return s.numResultCols(ColumnCount); });
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                 SQLCHAR* ColumnName, SQLSMALLINT BufferLength,
                                 SQLSMALLINT* NameLength, SQLSMALLINT* DataType,
                                 SQLULEN* ColumnSize, SQLSMALLINT* DecimalDigits,
                                 SQLSMALLINT* Nullable) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.describeCol(ColumnNumber, ansiOut(ColumnName, BufferLength), NameLength, DataType,
                         ColumnSize, DecimalDigits, Nullable);
  });
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                  SQLUSMALLINT FieldIdentifier, SQLPOINTER CharacterAttribute,
                                  SQLSMALLINT BufferLength, SQLSMALLINT* StringLength,
                                  SQLLEN* NumericAttribute) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.colAttribute(ColumnNumber, FieldIdentifier, ansiOut(CharacterAttribute, BufferLength),
                          StringLength, NumericAttribute);
  });
}

SQLRETURN SQL_API SQLColAttributes(SQLHSTMT hstmt, SQLUSMALLINT icol, SQLUSMALLINT fDescType,
                                   SQLPOINTER rgbDesc, SQLSMALLINT cbDescMax, SQLSMALLINT* pcbDesc,
                                   SQLLEN* pfDesc) {
  return onHandle<Statement>(hstmt, [&](Statement& s) {
    return s.colAttribute(icol, fDescType, ansiOut(rgbDesc, cbDescMax), pcbDesc, pfDesc);
  });
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.bindCol(ColumnNumber, TargetType, TargetValue, BufferLength, StrLen_or_Ind);
  });
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT StatementHandle) {
  return onHandle<Statement>(StatementHandle, [](Statement& s) { return s.fetch(); });
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                             SQLSMALLINT TargetType, SQLPOINTER TargetValue, SQLLEN BufferLength,
                             SQLLEN* StrLen_or_Ind) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) {
    return s.getData(ColumnNumber, TargetType, TargetValue, BufferLength, StrLen_or_Ind);
  });
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT StatementHandle, SQLLEN* RowCount) {
  return onHandle<Statement>(StatementHandle, [&](Statement& s) { return s.rowCount(RowCount); });
}

SQLRETURN SQL_API SQLTables(SQLHSTMT StatementHandle, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                            SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT) {
  return tablesImpl(StatementHandle);
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT StatementHandle, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT,
                             SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT) {
  return columnsImpl(StatementHandle);
}

// ----- Diagnostics

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                SQLCHAR* Sqlstate, SQLINTEGER* NativeError, SQLCHAR* MessageText,
                                SQLSMALLINT BufferLength, SQLSMALLINT* TextLength) {
  return getDiagRecImpl(HandleType, Handle, RecNumber, Sqlstate, NativeError,
                        ansiOut(MessageText, BufferLength), TextLength, Charset::kAnsi);
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT HandleType, SQLHANDLE Handle, SQLSMALLINT RecNumber,
                                  SQLSMALLINT DiagIdentifier, SQLPOINTER DiagInfo,
                                  SQLSMALLINT BufferLength, SQLSMALLINT* StringLength) {
  return getDiagFieldImpl(HandleType, Handle, RecNumber, DiagIdentifier, DiagInfo,
                          ansiOut(DiagInfo, BufferLength), StringLength);
}

SQLRETURN SQL_API SQLError(SQLHENV EnvironmentHandle, SQLHDBC ConnectionHandle,
                           SQLHSTMT StatementHandle, SQLCHAR* Sqlstate, SQLINTEGER* NativeError,
                           SQLCHAR* MessageText, SQLSMALLINT BufferLength,
                           SQLSMALLINT* TextLength) {
  return errorImpl(EnvironmentHandle, ConnectionHandle, StatementHandle, Sqlstate, NativeError,
                   ansiOut(MessageText, BufferLength), TextLength, Charset::kAnsi);
}

}  // extern "C"
