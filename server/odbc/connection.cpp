#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "server/engine/text/utf8.h"
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

namespace {

// In UTF-8 the marks are the single bytes 0xFB..0xFF and own the code points U+00FB..U+00FF:
// those characters written as text (two bytes, 0xC3 then 0xBB..0xBF) would be read back as
// marks by every other client, so a request holding one is refused.
void refuseMarkCharacters(std::string_view request) {
  const char* at = request.data();
  const char* end = at + request.size();
  while ((at = static_cast<const char*>(
              std::memchr(at, 0xC3, static_cast<std::size_t>(end - at)))) != nullptr) {
    if (end - at >= 2) {
      const auto next = static_cast<unsigned char>(at[1]);
      if (next >= 0xBB && next <= 0xBF) {
        char code[8];
        std::snprintf(code, sizeof code, "%04X", 0xC0 + (next & 0x3F));
        throw DiagnosticError("22018", std::string("The character U+") + code + " at byte " +
                                           std::to_string(at - request.data() + 1) +
                                           " cannot be sent as text in UTF-8: U+00FB..U+00FF "
                                           "are the marks");
      }
    }
    ++at;
  }
}

}  // namespace

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
  std::optional<ConnectSettings> settings;
  try {
    settings = resolveSettings(attributes, processSources());
  } catch (const std::invalid_argument& e) {
    throw DiagnosticError("08001", e.what());
  }
  if (!settings) {
    throw DiagnosticError("08001", "No system directory: give System= or set TARN_SYSTEM or HOME");
  }
  if (!settings->badLimit.empty()) {
    throw DiagnosticError("08001", settings->badLimit + " must be a positive whole number");
  }
  if (settings->embeddedDefault && settings->createAccount) {
    // The default lives under the user's data directory, which may not exist yet; the engine
    // makes the system directory itself.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(settings->system).parent_path(), ec);
  }
  std::unique_ptr<Port> port;
  try {
    // Connection strings arrive in Windows-1252 (the wide ones are converted to it), whatever
    // the connection's encoding; the engine compares credentials as its own text.
    port = Port::open(PortConfig{settings->system, settings->account, settings->callTimeLimit,
                                 settings->createAccount},
                      Credentials{text::fromWindows1252(settings->user),
                                  text::fromWindows1252(settings->password)},
                      settings->limits);
  } catch (const AccessDenied& e) {
    throw DiagnosticError("28000", std::string("Logon refused: ") + e.what());
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
  // The client learns the encoding from the completed string: when it came from odbc.ini, say it.
  std::string completed(connectionString);
  if (settings_.encoding == Encoding::kUtf8 && !settings_.encodingStated) {
    if (!completed.empty() && completed.back() != ';') completed.push_back(';');
    completed += "Encoding=UTF-8";
  }
  bool truncated = false;
  SQLLEN n = out.write(completed, truncated);
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

std::string Connection::execute(std::string_view request, std::string* message) {
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
  if (settings_.encoding == Encoding::kWindows1252) {
    // Text that reads the same in both forms (ASCII and marks, the usual case) goes through as
    // it is: a large item is then not copied on its way in or out.
    std::string converted;
    std::string_view engineRequest = request;
    if (!text::sameInBothForms(request)) engineRequest = converted = text::fromWindows1252(request);
    std::string reply = port_->execute(engineRequest);
    std::string().swap(converted);
    if (!text::sameInBothForms(reply)) reply = text::toWindows1252(reply);
    if (message != nullptr) *message = text::toWindows1252(port_->message());
    return checkAlive(std::move(reply));
  }
  // The engine keeps what it is given: text that is not UTF-8 would be garbled for every
  // other client, so it is refused before it gets there.
  if (!text::isWellFormed(request)) {
    std::size_t at = 0;
    bool mark = false;
    while (at < request.size()) {
      const std::size_t start = at;
      if (text::nextChar(request, at, mark) == text::kInvalid) {
        throw DiagnosticError("22018", "The request is not UTF-8: byte " +
                                           std::to_string(start + 1) +
                                           " does not begin a character (Encoding=UTF-8)");
      }
    }
  }
  refuseMarkCharacters(request);
  std::string reply = port_->execute(request);
  if (message != nullptr) *message = port_->message();
  return checkAlive(std::move(reply));
}

std::string Connection::checkAlive(std::string reply) const {
  // A port whose database server went away is dead for good: ODBC's link failure says so to
  // every client, and the reply's text says what happened.
  if (port_->lost())
    throw DiagnosticError("08S01", "Communication link failure: " +
                                       reply.substr(std::min(reply.size(), std::size_t{5})));
  return reply;
}

std::string Connection::fromWide(const std::uint16_t* text, std::size_t length) const {
  if (settings_.encoding == Encoding::kWindows1252) return wideToBytes(text, length);
  std::string out;
  std::size_t bad = 0;
  if (!wideToEngine(text, length, out, bad)) {
    throw DiagnosticError("22018", "A lone surrogate at character " + std::to_string(bad + 1) +
                                       " cannot be sent in UTF-8");
  }
  return out;
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
      putInteger(value, connected() && !port_->lost() ? SQL_CD_FALSE : SQL_CD_TRUE);
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
