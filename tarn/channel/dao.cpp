#include <algorithm>
#include <array>

#include "tarn/channel/code_page_internal.h"
#include "tarn/channel/dao_internal.h"
#include "tarn/frame/error.h"

namespace tarn::dao {

class SharedEnvironment {
 public:
  odbc::EnvHandle env;
};

namespace {

constexpr char16_t kWorkspaceSource[] = u"DAO.Workspace";
constexpr char16_t kDatabaseSource[] = u"DAO.Database";
constexpr char16_t kRecordsetSource[] = u"DAO.Recordset";
constexpr char16_t kFieldsSource[] = u"DAO.Fields";

[[noreturn]] void fail(std::int32_t number, const char16_t* source, String description,
                       OdbcDiagnostic diagnostic = {}) {
  TarnError e(number, source, std::move(description));
  if (!diagnostic.sqlState.empty()) e.setDiagnostic(std::move(diagnostic));
  throw e;
}

// A failed call on stmt (or, without one, on dbc), with what ODBC said about it.
[[noreturn]] void callFailed(SQLHDBC dbc, SQLHSTMT stmt) {
  fail(daoerr::kCallFailed, kDatabaseSource, u"ODBC--call failed.",
       odbc::diagnose(SQL_NULL_HENV, dbc, stmt));
}

char16_t upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool startsWithNoCase(StringView s, StringView prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (upper(s[i]) != upper(prefix[i])) return false;
  }
  return true;
}

// The value of key in a "KEY=value;KEY=value" string ("" when absent), and whether it is there.
bool findKey(StringView s, StringView key, String* value) {
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find(u';', start);
    if (end == StringView::npos) end = s.size();
    StringView pair = s.substr(start, end - start);
    while (!pair.empty() && pair.front() == u' ') pair.remove_prefix(1);
    const std::size_t eq = pair.find(u'=');
    if (eq != StringView::npos) {
      StringView k = pair.substr(0, eq);
      while (!k.empty() && k.back() == u' ') k.remove_suffix(1);
      if (k.size() == key.size() && startsWithNoCase(k, key)) {
        if (value) *value = String(pair.substr(eq + 1));
        return true;
      }
    }
    start = end + 1;
  }
  return false;
}

bool namesSource(StringView s) {
  return findKey(s, u"DSN", nullptr) || findKey(s, u"DRIVER", nullptr) ||
         findKey(s, u"FILEDSN", nullptr);
}

std::shared_ptr<SharedEnvironment> sharedEnvironment() {
  // The engine is process-wide; its environment is not: it goes with the last open database.
  static std::weak_ptr<SharedEnvironment> current;
  if (auto env = current.lock()) return env;
  auto env = std::make_shared<SharedEnvironment>();
  if (env->env.allocate() != SQL_SUCCESS) return nullptr;
  current = env;
  return env;
}

// Reads one column of the current row in pieces, so that any length arrives whole.
Variant readColumn(SQLHSTMT stmt, SQLUSMALLINT column, const codepage::WireCodePage& codePage) {
  std::array<char, 4096> buf;
  std::string bytes;
  for (bool first = true;; first = false) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_CHAR, buf.data(),
                                    static_cast<SQLLEN>(buf.size()), &indicator);
    if (rc == SQL_NO_DATA && !first) break;
    if (!SQL_SUCCEEDED(rc)) callFailed(SQL_NULL_HDBC, stmt);
    if (indicator == SQL_NULL_DATA) return Variant::null();
    const std::size_t room = buf.size() - 1;
    const std::size_t got = indicator == SQL_NO_TOTAL || indicator < 0
                                ? room
                                : std::min(static_cast<std::size_t>(indicator), room);
    bytes.append(buf.data(), got);
    if (rc == SQL_SUCCESS) break;
  }
  String text;
  codePage.decodeInto(bytes, text);
  return Variant(std::move(text));
}

}  // namespace

const Variant& Field::value() const {
  if (!hasRow_) fail(daoerr::kNoCurrentRecord, kFieldsSource, u"No current record.");
  return value_;
}

Recordset::~Recordset() {
  close();
}

void Recordset::close() noexcept {
  stmt_.reset();
}

const Field& Recordset::field(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) {
    fail(daoerr::kItemNotFound, kRecordsetSource, u"Item not found in this collection.");
  }
  return fields_[static_cast<std::size_t>(index)];
}

void Recordset::load(SQLHDBC dbc, const std::string& statement,
                     const codepage::WireCodePage& codePage) {
  if (stmt_.allocate(dbc) != SQL_SUCCESS) callFailed(dbc, SQL_NULL_HSTMT);
  SQLHSTMT stmt = stmt_.get();
  const SQLRETURN rc =
      SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement.data())),
                    static_cast<SQLINTEGER>(statement.size()));
  if (!SQL_SUCCEEDED(rc)) callFailed(SQL_NULL_HDBC, stmt);
  SQLSMALLINT columns = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)) || columns < 0) {
    callFailed(SQL_NULL_HDBC, stmt);
  }
  fields_.resize(static_cast<std::size_t>(columns));
  const SQLRETURN fetched = SQLFetch(stmt);
  if (fetched == SQL_NO_DATA) return;  // an empty result: positioned at its end
  if (!SQL_SUCCEEDED(fetched)) callFailed(SQL_NULL_HDBC, stmt);
  if (fetched == SQL_SUCCESS_WITH_INFO) warning_ = odbc::fetchWarning(stmt, codePage);
  for (SQLSMALLINT c = 0; c < columns; ++c) {
    Field& f = fields_[static_cast<std::size_t>(c)];
    f.value_ = readColumn(stmt, static_cast<SQLUSMALLINT>(c + 1), codePage);
    f.hasRow_ = true;
  }
  eof_ = false;
}

Database::~Database() {
  close();
}

void Database::close() noexcept {
  dbc_.reset();
  env_.reset();
}

std::unique_ptr<Recordset> Database::openRecordset(StringView source, std::int32_t type,
                                                   std::int32_t options) {
  if ((type != dbOpenDynaset && type != dbOpenSnapshot && type != dbOpenForwardOnly) ||
      (options & dbSQLPassThrough) == 0) {
    fail(daoerr::kInvalidArgument, kDatabaseSource, u"Invalid argument.");
  }
  if (!dbc_) fail(daoerr::kCallFailed, kDatabaseSource, u"ODBC--call failed.");
  std::unique_ptr<Recordset> rs(new Recordset());
  std::string bytes;
  codepage::Unsendable where;
  if (!codePage_.encodeAppend(source, bytes, where)) {
    // The source is "." and the request.
    codepage::Unsendable inRequest = where;
    inRequest.position = where.position > 0 ? where.position - 1 : 0;
    fail(err::kInvalidCall, kDatabaseSource, codePage_.refusal(inRequest, source.substr(1)));
  }
  rs->load(dbc_.get(), bytes, codePage_);
  return rs;
}

String Workspace::connectString(StringView name, StringView connect) {
  if (!startsWithNoCase(connect, u"ODBC;")) {
    fail(daoerr::kInstallableIsam, kWorkspaceSource, u"Couldn't find installable ISAM.");
  }
  const StringView rest = connect.substr(5);
  if (namesSource(rest)) return String(rest);
  if (namesSource(name)) {
    String s(name);
    if (!rest.empty()) {
      if (s.back() != u';') s += u';';
      s += rest;
    }
    return s;
  }
  String s = u"DSN=";
  s += name;
  s += u';';
  s += rest;
  return s;
}

std::unique_ptr<Database> Workspace::openDatabase(StringView name, bool /*exclusive*/,
                                                  bool readOnly, StringView connect) {
  const String connectText = connectString(name, connect);
  // The message names the data source as the user would know it.
  String shownName(name);
  if (shownName.empty() || namesSource(shownName)) {
    for (const char16_t* key : {u"DSN", u"FILEDSN", u"DRIVER"}) {
      if (findKey(connectText, key, &shownName)) break;
    }
  }
  auto connectionFailed = [&shownName](OdbcDiagnostic diagnostic = {}) {
    fail(daoerr::kConnectionFailed, kWorkspaceSource,
         u"ODBC--connection to '" + shownName + u"' failed.", std::move(diagnostic));
  };

  std::unique_ptr<Database> db(new Database());
  db->env_ = sharedEnvironment();
  if (!db->env_) connectionFailed();
  if (db->dbc_.allocate(db->env_->env.get()) != SQL_SUCCESS) {
    connectionFailed(odbc::diagnose(db->env_->env.get(), SQL_NULL_HDBC, SQL_NULL_HSTMT));
  }
  if (readOnly) {
    // Best effort: a driver that cannot enforce it still serves pass-through queries.
    (void)SQLSetConnectOption(db->dbc_.get(), SQL_ACCESS_MODE, SQL_MODE_READ_ONLY);
  }
  std::string bytes = codepage::encode(connectText);
  std::array<SQLCHAR, 1024> out{};
  SQLSMALLINT outLength = 0;
  const SQLRETURN rc =
      SQLDriverConnect(db->dbc_.get(), nullptr, reinterpret_cast<SQLCHAR*>(bytes.data()),
                       static_cast<SQLSMALLINT>(bytes.size()), out.data(),
                       static_cast<SQLSMALLINT>(out.size()), &outLength, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc))
    connectionFailed(odbc::diagnose(SQL_NULL_HENV, db->dbc_.get(), SQL_NULL_HSTMT));
  db->dbc_.markConnected();
  const std::size_t n = outLength < 0 ? 0 : std::min<std::size_t>(outLength, out.size() - 1);
  const String completed =
      codepage::decode(std::string_view(reinterpret_cast<const char*>(out.data()), n));
  String problem;
  if (!codepage::agreeWireCodePage(connectText, completed, db->codePage_, problem)) {
    fail(daoerr::kConnectionFailed, kWorkspaceSource,
         u"ODBC--connection to '" + shownName + u"' failed. " + problem);
  }
  return db;
}

DBEngine& DBEngine::instance() {
  static DBEngine* engine = new DBEngine();  // never destroyed: sessions may outlive statics
  return *engine;
}

Workspace& DBEngine::workspace(std::int32_t index) {
  if (index != 0)
    fail(daoerr::kItemNotFound, u"DAO.Workspaces", u"Item not found in this collection.");
  return workspace0_;
}

}  // namespace tarn::dao
