#include <filesystem>
#include <new>
#include <system_error>

#include "server/odbc/handles.h"

namespace tarn::server::odbc {
namespace {

void putInteger(SQLPOINTER value, SQLULEN v) noexcept {
  if (value != nullptr) *static_cast<SQLUINTEGER*>(value) = static_cast<SQLUINTEGER>(v);
}

}  // namespace

// ----- Environment

SQLRETURN Environment::setAttr(SQLINTEGER attribute, SQLPOINTER value) {
  const auto v = static_cast<SQLUINTEGER>(reinterpret_cast<std::uintptr_t>(value));
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      if (v != SQL_OV_ODBC2 && v != SQL_OV_ODBC3 && v != SQL_OV_ODBC3_80) {
        throw DiagnosticError("HY024", "Invalid attribute value");
      }
      odbcVersion_ = v;
      return SQL_SUCCESS;
    case SQL_ATTR_CONNECTION_POOLING:
      pooling_ = v;
      return SQL_SUCCESS;
    case SQL_ATTR_CP_MATCH:
      poolMatch_ = v;
      return SQL_SUCCESS;
    case SQL_ATTR_OUTPUT_NTS:
      outputNts_ = v;
      return SQL_SUCCESS;
    default:
      throw DiagnosticError("HY092", "Invalid attribute/option identifier");
  }
}

SQLRETURN Environment::getAttr(SQLINTEGER attribute, SQLPOINTER value) const {
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      putInteger(value, odbcVersion_);
      return SQL_SUCCESS;
    case SQL_ATTR_CONNECTION_POOLING:
      putInteger(value, pooling_);
      return SQL_SUCCESS;
    case SQL_ATTR_CP_MATCH:
      putInteger(value, poolMatch_);
      return SQL_SUCCESS;
    case SQL_ATTR_OUTPUT_NTS:
      putInteger(value, outputNts_);
      return SQL_SUCCESS;
    default:
      throw DiagnosticError("HY092", "Invalid attribute/option identifier");
  }
}

// ----- Connection

Connection::Connection(Environment& env) noexcept : Handle(SQL_HANDLE_DBC), env_(env) {
  env_.connections.fetch_add(1);
}

Connection::~Connection() {
  statements_.clear();
  port_.reset();
  env_.connections.fetch_sub(1);
}

SQLRETURN Connection::open(const std::vector<std::pair<std::string, std::string>>& attributes,
                           Charset charset) {
  if (connected()) throw DiagnosticError("08002", "Connection name in use");
  std::optional<ConnectSettings> settings = resolveSettings(attributes, processSources());
  if (!settings) {
    throw DiagnosticError("08001", "No system directory: give System= or set TARN_SYSTEM or HOME");
  }
  if (settings->embeddedDefault) {
    // The default lives under the user's data directory, which may not exist yet; the engine
    // makes the system directory itself.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(settings->system).parent_path(), ec);
  }
  std::unique_ptr<Port> port;
  try {
    port = Port::open(PortConfig{settings->system, settings->account, settings->callTimeLimit});
  } catch (const EngineError& e) {
    throw DiagnosticError(
        "08001", std::string("Unable to log on to account ") + settings->account + ": " + e.what());
  }
  std::lock_guard lock(portMutex_);
  port_ = std::move(port);
  settings_ = std::move(*settings);
  charset_ = charset;
  return SQL_SUCCESS;
}

SQLRETURN Connection::driverConnect(std::string_view connectionString, TextOut out,
                                    SQLSMALLINT* outLength, Charset charset) {
  open(parseConnectionString(connectionString), charset);
  bool truncated = false;
  SQLLEN n = out.write(connectionString, truncated);
  if (outLength != nullptr) *outLength = static_cast<SQLSMALLINT>(n);
  if (truncated) {
    diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

SQLRETURN Connection::disconnect() {
  if (!connected()) throw DiagnosticError("08003", "Connection not open");
  {
    std::lock_guard lock(statementsMutex_);
    statements_.clear();
  }
  std::lock_guard lock(portMutex_);
  port_.reset();
  return SQL_SUCCESS;
}

std::string Connection::execute(std::string_view request) {
  std::lock_guard lock(portMutex_);
  if (!port_) throw DiagnosticError("08003", "Connection not open");
  struct Running {
    Connection& c;
    explicit Running(Connection& owner, Port* p) : c(owner) {
      std::lock_guard l(c.runningMutex_);
      c.running_ = p;
    }
    ~Running() {
      std::lock_guard l(c.runningMutex_);
      c.running_ = nullptr;
    }
  } running(*this, port_.get());
  return port_->execute(request);
}

void Connection::cancel() noexcept {
  std::lock_guard lock(runningMutex_);
  if (running_ != nullptr) running_->cancel();
}

Statement* Connection::allocStatement() {
  if (!connected()) throw DiagnosticError("08003", "Connection not open");
  auto statement = std::make_unique<Statement>(*this);
  Statement* raw = statement.get();
  std::lock_guard lock(statementsMutex_);
  statements_.push_back(std::move(statement));
  return raw;
}

void Connection::freeStatement(Statement* statement) noexcept {
  std::lock_guard lock(statementsMutex_);
  for (auto it = statements_.begin(); it != statements_.end(); ++it) {
    if (it->get() == statement) {
      statements_.erase(it);
      return;
    }
  }
}

SQLRETURN Connection::setAttr(SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER /*length*/) {
  switch (attribute) {
    case SQL_ATTR_CURRENT_CATALOG:
      // Moving between accounts is a request (LOGTO), not an attribute.
      throw DiagnosticError("HYC00", "Optional feature not implemented");
    case SQL_ATTR_TRACEFILE:
    case SQL_ATTR_TRANSLATE_LIB:
      return SQL_SUCCESS;
    default:
      attributes_[attribute] = reinterpret_cast<SQLULEN>(value);
      return SQL_SUCCESS;
  }
}

SQLRETURN Connection::getAttr(SQLINTEGER attribute, SQLPOINTER value, TextOut text,
                              SQLINTEGER* length) {
  auto putText = [&](std::string_view s) {
    bool truncated = false;
    SQLLEN n = text.write(s, truncated);
    if (length != nullptr) *length = static_cast<SQLINTEGER>(n);
    if (!truncated) return SQL_SUCCESS;
    diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  };
  switch (attribute) {
    case SQL_ATTR_CURRENT_CATALOG:
      return putText(settings_.account);
    case SQL_ATTR_TRACEFILE:
    case SQL_ATTR_TRANSLATE_LIB:
      return putText("");
    case SQL_ATTR_CONNECTION_DEAD:
      putInteger(value, connected() ? SQL_CD_FALSE : SQL_CD_TRUE);
      return SQL_SUCCESS;
    default:
      break;
  }
  if (auto it = attributes_.find(attribute); it != attributes_.end()) {
    putInteger(value, it->second);
    return SQL_SUCCESS;
  }
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT:
      putInteger(value, SQL_AUTOCOMMIT_ON);
      return SQL_SUCCESS;
    case SQL_ATTR_ACCESS_MODE:
      putInteger(value, SQL_MODE_READ_WRITE);
      return SQL_SUCCESS;
    case SQL_ATTR_TXN_ISOLATION:
      putInteger(value, SQL_TXN_SERIALIZABLE);
      return SQL_SUCCESS;
    case SQL_ATTR_LOGIN_TIMEOUT:
    case SQL_ATTR_CONNECTION_TIMEOUT:
    case SQL_ATTR_PACKET_SIZE:
    case SQL_ATTR_TRACE:
    case SQL_ATTR_ASYNC_ENABLE:
    case SQL_ATTR_METADATA_ID:
    case SQL_ATTR_AUTO_IPD:
      putInteger(value, 0);
      return SQL_SUCCESS;
    default:
      throw DiagnosticError("HY092", "Invalid attribute/option identifier");
  }
}

}  // namespace tarn::server::odbc
