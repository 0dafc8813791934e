#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "tarn/channel/code_page_internal.h"
#include "tarn/channel/dao_internal.h"
#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/frame/error_internal.h"

namespace tarn {

namespace {

constexpr char16_t kClassName[] = u"clsTarnODBC";
constexpr std::size_t kConnectOutSize = 256;
// The largest request/reply buffer a session keeps between requests (a full batch of list ids
// fits).
constexpr std::size_t kKeptWireBytes = 256 * 1024;

bool equalsNoCase(StringView a, StringView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// One SQLDriverConnect as the session makes it: no window, its own 256-character output buffer,
// no prompting.
// The driver's completed connection string lands in completed: it says which code page the
// driver settled on.
SQLRETURN driverConnect(SQLHDBC dbc, StringView connectString, String& completed) {
  std::string in = codepage::encode(connectString);
  std::array<SQLCHAR, kConnectOutSize> out{};
  SQLSMALLINT outLength = 0;
  const SQLRETURN rc = SQLDriverConnect(
      dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), static_cast<SQLSMALLINT>(in.size()),
      out.data(), static_cast<SQLSMALLINT>(out.size()), &outLength, SQL_DRIVER_NOPROMPT);
  const std::size_t n = outLength < 0 ? 0 : std::min<std::size_t>(outLength, out.size() - 1);
  completed = codepage::decode(std::string_view(reinterpret_cast<const char*>(out.data()), n));
  return rc;
}

std::int32_t connectFailureCode(const std::string& state) {
  if (state == "08004" || state == "28000") return 1284;
  if (state == "08001" || state == "08S01") return 1285;
  if (state == "S1T00") return 1286;
  if (state.size() == 5 && state.compare(0, 3, "IM0") == 0 && state[3] >= '0' && state[3] <= '1' &&
      state[4] >= '0' && state[4] <= '9') {
    const int n = (state[3] - '0') * 10 + (state[4] - '0');
    if (n >= 1 && n <= 12) return 1287;
  }
  return 1285;
}

}  // namespace

clsTarnODBC::clsTarnODBC() = default;

Ref<clsTarnODBC> clsTarnODBC::create() {
  return Ref<clsTarnODBC>(new clsTarnODBC());
}

clsTarnODBC::~clsTarnODBC() {
  if (connected_) {
    if (apiMode_) {
      stmt_.reset();
      dbc_.reset();  // SQLDisconnect, then SQLFreeConnect
      env_.reset();
    } else if (database_) {
      database_->close();
    }
  }
  database_.reset();
  connected_ = false;
}

void clsTarnODBC::raise(std::int32_t number, OdbcDiagnostic diagnostic) {
  throw rsRaiseError(libraryError(number), kClassName, sOperation, std::move(diagnostic));
}

void clsTarnODBC::rsInitialize(clsTarnConnection& aConn) {
  rsInitialize(aConn.brDomain(), aConn.rsDatabaseText());
}

void clsTarnODBC::rsInitialize(const String& domain, const String& database) {
  domain_ = domain;
  databaseName_ = database;
  apiMode_ = !(domain_.size() >= 5 && domain_[4] == u';');
  if (apiMode_) {
    openApi();
  } else {
    openDao();
  }
  connected_ = true;
}

void clsTarnODBC::openApi() {
  // Locals own the handles until the session is open, so every early exit frees them.
  odbc::EnvHandle env;
  if (env.allocate() != SQL_SUCCESS) raise(1281);
  odbc::ConnHandle dbc;
  if (dbc.allocate(env.get()) != SQL_SUCCESS) raise(1281);

  // A connect that only succeeds with information still counts as failed; the connection it
  // opened is closed again after its state has been read.
  String asked;
  String completed;
  auto attempt = [&](StringView connectString, OdbcDiagnostic& diagnostic) {
    asked = String(connectString);
    const SQLRETURN rc = driverConnect(dbc.get(), connectString, completed);
    if (rc == SQL_SUCCESS) {
      dbc.markConnected();
      return true;
    }
    diagnostic = odbc::diagnose(SQL_NULL_HENV, dbc.get(), SQL_NULL_HSTMT);
    if (rc == SQL_SUCCESS_WITH_INFO) {
      dbc.markConnected();
      dbc.disconnect();
    }
    return false;
  };

  OdbcDiagnostic diagnostic;
  bool ok;
  if (databaseName_.size() >= 4 && equalsNoCase(StringView(databaseName_).substr(0, 4), u"DSN=")) {
    ok = attempt(databaseName_, diagnostic);
  } else {
    ok = attempt(u"DSN=" + databaseName_ + u";", diagnostic);
    if (!ok && equalsNoCase(diagnostic.sqlState, u"IM002")) {
      OdbcDiagnostic second;
      ok = attempt(u"FILEDSN=" + databaseName_ + u";", second);
      // A file data source the driver manager cannot read says only S1000; IM002 says more.
      if (!ok && second.sqlState != u"S1000") diagnostic = std::move(second);
    }
  }
  if (!ok) {
    dbc.reset();
    env.reset();
    const std::int32_t code = connectFailureCode(toUtf8(diagnostic.sqlState));
    raise(code, std::move(diagnostic));
  }

  // Both ends must read the bytes alike; a disagreement would garble every text silently.
  String problem;
  if (!codepage::agreeWireCodePage(asked, completed, codePage_, problem)) {
    dbc.reset();
    env.reset();
    TarnError e = rsRaiseError(err::kConnectFailed, kClassName, sOperation);
    e.setDescription(std::move(problem));
    throw e;
  }

  odbc::StmtHandle stmt;
  if (stmt.allocate(dbc.get()) != SQL_SUCCESS) {
    OdbcDiagnostic failed = odbc::diagnose(SQL_NULL_HENV, dbc.get(), SQL_NULL_HSTMT);
    dbc.reset();
    env.reset();
    raise(1281, std::move(failed));
  }
  env_ = std::move(env);
  dbc_ = std::move(dbc);
  stmt_ = std::move(stmt);
}

void clsTarnODBC::openDao() {
  try {
    dao::Workspace& ws = dao::DBEngine::instance().workspace(0);
    database_ = ws.openDatabase(databaseName_, false, false, domain_);
  } catch (...) {
    const std::int32_t number = caughtErrorNumber();
    OdbcDiagnostic diagnostic = caughtDiagnostic();
    sOperation = u"rsOpen " + domain_ + u" " + databaseName_;
    throw rsRaiseError(number, kClassName, sOperation, std::move(diagnostic));
  }
}

void clsTarnODBC::rsCancel() noexcept {
  // The handle is read, not changed: the statement stays the running call's own.
  if (connected_ && apiMode_ && stmt_.get() != nullptr) (void)SQLCancel(stmt_.get());
}

void clsTarnODBC::rsCmd(String& sCmd) {
  command(sCmd, nullptr);
}

void clsTarnODBC::rsCmd(String& sCmd, Variant& vStatus) {
  command(sCmd, vStatus.isMissing() ? nullptr : &vStatus);
}

void clsTarnODBC::command(String& sCmd, Variant* vStatus) {
  if (!connected_) {
    sOperation = u"rsCmd " + sCmd;
    raise(1281);
  }
  String status;
  serverNote_ = OdbcDiagnostic();
  if (apiMode_) {
    sendApi(sCmd, status);
  } else {
    sendDao(sCmd, status);
  }
  if (vStatus) {
    *vStatus = Variant(std::move(status));
    return;
  }
  const std::int32_t s = envelope::statusValue(status);
  if (s != 0) {
    throw rsRaiseError(serverStatusError(s), kClassName, sOperation, std::move(serverNote_));
  }
}

void clsTarnODBC::sendApi(String& sCmd, String& status) {
  const SQLHSTMT stmt = stmt_.get();
  // One byte buffer carries the request out and the reply back, kept from call to call.
  std::string& wire = wire_;
  wire.assign(".-");
  codepage::Unsendable where;
  if (!codePage_.encodeAppend(sCmd, wire, where)) {
    sOperation = u"rsCmd " + sCmd;
    TarnError e = rsRaiseError(err::kInvalidCall, kClassName, sOperation);
    e.setDescription(codePage_.refusal(where, sCmd));
    throw e;
  }

  // Once in bytes, a large request's text is let go: the reply is decoded into a fresh one, and a
  // large item is then not held as text, bytes and the driver's copy all at once.
  if (sCmd.capacity() * sizeof(char16_t) > kKeptWireBytes) String().swap(sCmd);
  (void)SQLFreeStmt(stmt, SQL_CLOSE);  // the previous reply's cursor
  if (SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(wire.data()),
                    static_cast<SQLINTEGER>(wire.size())) != SQL_SUCCESS) {
    raise(1281, odbc::diagnose(SQL_NULL_HENV, SQL_NULL_HDBC, stmt));
  }
  // A fetch that fails leaves no row, so the read below fails too; the fetch's own diagnostic
  // says why, and the next call on the statement would clear it.
  OdbcDiagnostic fetchFailure;
  const SQLRETURN fetched = SQLFetch(stmt);
  if (fetched == SQL_ERROR) {
    fetchFailure = odbc::diagnose(SQL_NULL_HENV, SQL_NULL_HDBC, stmt);
  } else if (fetched == SQL_SUCCESS_WITH_INFO) {
    serverNote_ = odbc::fetchWarning(stmt, codePage_);
  }

  SQLLEN length = 0;
  SQLSMALLINT textLength = 0;
  char none = 0;
  (void)SQLColAttributes(stmt, 1, SQL_COLUMN_LENGTH, &none, 0, &textLength, &length);
  // A negative length is no length; a length that lies is survived: the buffer is sized from
  // it, and no more than the buffer holds is ever read back.
  const std::size_t capacity = length > 0 ? static_cast<std::size_t>(length) : 0;
  wire.resize(capacity + 1);
  wire[0] = '\0';
  SQLLEN got = 0;
  const SQLRETURN rc =
      SQLGetData(stmt, 1, SQL_C_CHAR, wire.data(), static_cast<SQLLEN>(capacity + 1), &got);
  // No row, or no text in it: there is no reply to take apart.
  if (!SQL_SUCCEEDED(rc)) {
    raise(1281, fetchFailure.sqlState.empty() ? odbc::diagnose(SQL_NULL_HENV, SQL_NULL_HDBC, stmt)
                                              : std::move(fetchFailure));
  }
  if (got == SQL_NULL_DATA) raise(1281);
  const std::size_t n = got < 0 ? capacity : std::min(static_cast<std::size_t>(got), capacity);
  // The driver's copy of a large reply is let go before the text is decoded, so that a large item
  // is not held three times over at once; a small one waits for the next request's close.
  if (n > kKeptWireBytes) (void)SQLFreeStmt(stmt, SQL_CLOSE);

  // Status and data straight from the bytes, as splitReply would cut the decoded reply.
  const std::string_view reply(wire.data(), n);
  codePage_.decodeInto(reply.substr(0, envelope::kStatusWidth), status);
  if (n > envelope::kDataStart) {
    codePage_.decodeInto(reply.substr(envelope::kDataStart), sCmd);
  } else {
    sCmd.clear();
  }
  // A large reply's buffer is not worth keeping for the small ones that usually follow.
  if (wire.capacity() > kKeptWireBytes) std::string().swap(wire);
}

void clsTarnODBC::sendDao(String& sCmd, String& status) {
  try {
    std::unique_ptr<dao::Recordset> rs =
        database_->openRecordset(u"." + sCmd, dao::dbOpenDynaset, dao::dbSQLPassThrough);
    status = rs->field(0).value().toString();
    String data;
    for (std::int32_t i = 1; i < rs->fieldCount(); ++i) {
      const Variant& v = rs->field(i).value();
      if (!v.isNull()) data += v.toString();  // a NULL field contributes nothing
    }
    serverNote_ = rs->warning();
    rs->close();
    sCmd = std::move(data);
  } catch (...) {
    const std::int32_t number = caughtErrorNumber();
    OdbcDiagnostic diagnostic = caughtDiagnostic();
    String detail = caughtErrorDetail();
    sOperation = u"rsCmd " + sCmd;
    TarnError e = rsRaiseError(number, kClassName, sOperation, std::move(diagnostic));
    if (!detail.empty()) e.setDescription(std::move(detail));
    throw e;
  }
}

}  // namespace tarn
