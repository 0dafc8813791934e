// The scripted ODBC driver: an ODBC 2.x driver whose answers come from a script the test queues
// and which records every statement, connect string and handle it sees. Each entry point is a
// thin shim that never lets an exception reach the driver manager.
#include "tests/support/scripted_driver.h"
#include "tests/support/scripted_state_internal.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace {

using tarn::scripted::Diagnostic;
using tarn::scripted::oneColumn;
using tarn::scripted::Outcome;
using tarn::scripted::Result;
using tarn::scripted::Script;
using tarn::scripted::script;

struct Handle {
  std::deque<Diagnostic> diagnostics;
  void post(std::string state, std::string message = "scripted", long native = 0) {
    diagnostics.push_back({std::move(state), std::move(message), native});
  }
};

struct Env : Handle {};
struct Dbc : Handle {
  Env* env = nullptr;
  bool connected = false;
};
struct Stmt : Handle {
  Dbc* dbc = nullptr;
  std::optional<Result> result;
  bool onRow = false;
  std::vector<std::size_t> readOffsets;  // per column, for data read in pieces
};

void record(std::string call) {
  script().calls.push_back(std::move(call));
}

template <class Body>
SQLRETURN shim(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return SQL_ERROR;
  }
}

// The shim for an entry point on one handle, handed to the body as its type; null is invalid.
template <class T, class Body>
SQLRETURN on(void* handle, Body&& body) noexcept {
  if (!handle) return SQL_INVALID_HANDLE;
  return shim([&] { return body(static_cast<T*>(handle)); });
}

std::string text(const SQLCHAR* s, long length) {
  if (!s) return std::string();
  if (length == SQL_NTS) return std::string(reinterpret_cast<const char*>(s));
  if (length < 0) return std::string();
  return std::string(reinterpret_cast<const char*>(s), static_cast<std::size_t>(length));
}

// Copies src into an ODBC character buffer of capacity bytes; returns true when it all fit.
bool copyOut(const std::string& src, SQLCHAR* dst, long capacity) {
  if (!dst || capacity <= 0) return src.empty();
  const std::size_t n = std::min(src.size(), static_cast<std::size_t>(capacity - 1));
  std::memcpy(dst, src.data(), n);
  dst[n] = 0;
  return n == src.size();
}

}  // namespace

extern "C" {

// ---- Handles --------------------------------------------------------------------------------

SQLRETURN SQL_API SQLAllocEnv(SQLHENV* out) {
  return shim([&] {
    if (!out) return SQLRETURN(SQL_ERROR);
    *out = new Env();
    ++script().allocated[SCRIPTED_ENV];
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLAllocConnect(SQLHENV henv, SQLHDBC* out) {
  return shim([&] {
    if (!henv || !out) return SQLRETURN(SQL_INVALID_HANDLE);
    auto* dbc = new Dbc();
    dbc->env = static_cast<Env*>(henv);
    *out = dbc;
    ++script().allocated[SCRIPTED_DBC];
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLAllocStmt(SQLHDBC hdbc, SQLHSTMT* out) {
  return shim([&] {
    if (!hdbc || !out) return SQLRETURN(SQL_INVALID_HANDLE);
    auto* dbc = static_cast<Dbc*>(hdbc);
    dbc->diagnostics.clear();
    Script& s = script();
    if (!s.allocStmtFailures.empty()) {
      dbc->post(s.allocStmtFailures.front());
      s.allocStmtFailures.pop_front();
      return SQLRETURN(SQL_ERROR);
    }
    auto* stmt = new Stmt();
    stmt->dbc = dbc;
    *out = stmt;
    ++s.allocated[SCRIPTED_STMT];
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLFreeEnv(SQLHENV henv) {
  return on<Env>(henv, [&](Env* env) {
    delete env;
    ++script().freed[SCRIPTED_ENV];
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLFreeConnect(SQLHDBC hdbc) {
  return on<Dbc>(hdbc, [&](Dbc* dbc) {
    delete dbc;
    ++script().freed[SCRIPTED_DBC];
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT hstmt, SQLUSMALLINT option) {
  return on<Stmt>(hstmt, [&](Stmt* stmt) {
    record("SQLFreeStmt " + std::to_string(option));
    if (option == SQL_DROP) {
      delete stmt;
      ++script().freed[SCRIPTED_STMT];
    } else if (option == SQL_CLOSE) {
      stmt->result.reset();
      stmt->onRow = false;
    }
    return SQLRETURN(SQL_SUCCESS);
  });
}

// ---- Connections ----------------------------------------------------------------------------

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC hdbc, SQLHWND, SQLCHAR* in, SQLSMALLINT inLength,
                                   SQLCHAR* out, SQLSMALLINT outMax, SQLSMALLINT* outLength,
                                   SQLUSMALLINT completion) {
  return on<Dbc>(hdbc, [&](Dbc* dbc) {
    dbc->diagnostics.clear();
    Script& s = script();
    const std::string connectString = text(in, inLength);
    s.connectStrings.push_back(connectString);
    record("SQLDriverConnect " + std::to_string(outMax) + " " + std::to_string(completion));
    Outcome outcome{SQL_SUCCESS, "", "", 0};
    if (!s.connects.empty()) {
      outcome = s.connects.front();
      if (s.lastQueued == &s.connects.front()) s.lastQueued = nullptr;
      s.connects.pop_front();
    }
    if (!outcome.state.empty()) {
      dbc->post(outcome.state,
                outcome.message.empty() ? "scripted connect outcome" : outcome.message,
                outcome.native);
    }
    if (SQL_SUCCEEDED(outcome.rc)) {
      dbc->connected = true;
      std::string completed = connectString;
      if (!s.completions.empty()) {
        completed = s.completions.front();
        s.completions.pop_front();
      }
      const bool fit = copyOut(completed, out, outMax);
      if (outLength) *outLength = static_cast<SQLSMALLINT>(completed.size());
      if (!fit && outcome.rc == SQL_SUCCESS) {
        dbc->post("01004", "connection string truncated");
        return SQLRETURN(SQL_SUCCESS_WITH_INFO);
      }
    }
    return outcome.rc;
  });
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC hdbc) {
  return on<Dbc>(hdbc, [&](Dbc* dbc) {
    dbc->connected = false;
    record("SQLDisconnect");
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC hdbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT max,
                             SQLSMALLINT* length) {
  return on<Dbc>(hdbc, [&](Dbc* dbc) {
    std::string answer;
    switch (type) {
      case SQL_DRIVER_ODBC_VER:
        answer = "02.50";
        break;
      case SQL_DRIVER_NAME:
        answer = "libtarn_scripted_odbc.so";
        break;
      case SQL_DRIVER_VER:
        answer = "01.00.0000";
        break;
      default:
        dbc->post("S1096", "information type out of range");
        return SQLRETURN(SQL_ERROR);
    }
    copyOut(answer, static_cast<SQLCHAR*>(value), max);
    if (length) *length = static_cast<SQLSMALLINT>(answer.size());
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLError(SQLHENV henv, SQLHDBC hdbc, SQLHSTMT hstmt, SQLCHAR* state,
                           SQLINTEGER* native, SQLCHAR* message, SQLSMALLINT messageMax,
                           SQLSMALLINT* messageLength) {
  return shim([&] {
    Handle* h = hstmt  ? static_cast<Handle*>(static_cast<Stmt*>(hstmt))
                : hdbc ? static_cast<Handle*>(static_cast<Dbc*>(hdbc))
                : henv ? static_cast<Handle*>(static_cast<Env*>(henv))
                       : nullptr;
    if (!h) return SQLRETURN(SQL_INVALID_HANDLE);
    if (h->diagnostics.empty()) return SQLRETURN(SQL_NO_DATA);
    const Diagnostic d = h->diagnostics.front();
    h->diagnostics.pop_front();
    copyOut(d.state, state, SQL_SQLSTATE_SIZE + 1);
    if (native) *native = static_cast<SQLINTEGER>(d.native);
    copyOut(d.message, message, messageMax);
    if (messageLength) *messageLength = static_cast<SQLSMALLINT>(d.message.size());
    return SQLRETURN(SQL_SUCCESS);
  });
}

// ---- Statements -----------------------------------------------------------------------------

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT hstmt, SQLCHAR* sql, SQLINTEGER length) {
  return on<Stmt>(hstmt, [&](Stmt* stmt) {
    stmt->diagnostics.clear();
    Script& s = script();
    s.statements.push_back(text(sql, length));
    record("SQLExecDirect");
    if (stmt->result) {
      stmt->post("24000", "invalid cursor state");
      return SQLRETURN(SQL_ERROR);
    }
    if (!s.executes.empty()) {
      const Outcome o = s.executes.front();
      if (s.lastQueued == &s.executes.front()) s.lastQueued = nullptr;
      s.executes.pop_front();
      if (!o.state.empty()) {
        stmt->post(o.state, o.message.empty() ? "scripted execute outcome" : o.message, o.native);
      }
      if (o.rc != SQL_SUCCESS) return o.rc;
    }
    if (s.results.empty()) {
      stmt->result = oneColumn(std::string());
      stmt->result->hasRow = false;  // nothing scripted: an empty result
    } else {
      stmt->result = std::move(s.results.front());
      s.results.pop_front();
    }
    stmt->onRow = false;
    stmt->readOffsets.assign(stmt->result->columns.size(), 0);
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT hstmt, SQLSMALLINT* count) {
  return on<Stmt>(hstmt, [&](Stmt* stmt) {
    if (count) *count = stmt->result ? static_cast<SQLSMALLINT>(stmt->result->columns.size()) : 0;
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT hstmt) {
  return on<Stmt>(hstmt, [&](Stmt* stmt) {
    record("SQLFetch");
    if (!stmt->result) {
      stmt->post("24000", "no result");
      return SQLRETURN(SQL_ERROR);
    }
    if (!stmt->result->hasRow || stmt->onRow) {
      stmt->onRow = false;
      return SQLRETURN(SQL_NO_DATA);
    }
    stmt->onRow = true;
    if (const auto& w = stmt->result->fetchWarning) {
      stmt->post(w->state, w->message, w->native);
      return SQLRETURN(SQL_SUCCESS_WITH_INFO);
    }
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLColAttributes(SQLHSTMT hstmt, SQLUSMALLINT column, SQLUSMALLINT type,
                                   SQLPOINTER, SQLSMALLINT max, SQLSMALLINT* textLength,
                                   SQLLEN* number) {
  return on<Stmt>(hstmt, [&](Stmt* stmt) {
    record("SQLColAttributes " + std::to_string(column) + " " + std::to_string(type) + " " +
           std::to_string(max));
    if (!stmt->result || column < 1 || column > stmt->result->columns.size()) {
      stmt->post("S1002", "invalid column number");
      return SQLRETURN(SQL_ERROR);
    }
    const auto& value = stmt->result->columns[column - 1];
    SQLLEN answer = 0;
    switch (type) {
      case SQL_COLUMN_COUNT:
        answer = static_cast<SQLLEN>(stmt->result->columns.size());
        break;
      case SQL_COLUMN_LENGTH:
      case SQL_COLUMN_DISPLAY_SIZE:
      case SQL_COLUMN_PRECISION:
        answer = stmt->result->reportedLength ? static_cast<SQLLEN>(*stmt->result->reportedLength)
                                              : static_cast<SQLLEN>(value ? value->size() : 0);
        break;
      case SQL_COLUMN_TYPE:
        answer = SQL_VARCHAR;
        break;
      default:
        stmt->post("S1091", "descriptor type out of range");
        return SQLRETURN(SQL_ERROR);
    }
    if (number) *number = answer;
    if (textLength) *textLength = 0;
    return SQLRETURN(SQL_SUCCESS);
  });
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT hstmt, SQLUSMALLINT column, SQLSMALLINT type,
                             SQLPOINTER buffer, SQLLEN capacity, SQLLEN* indicator) {
  return on<Stmt>(hstmt, [&](Stmt* stmt) {
    stmt->diagnostics.clear();
    record("SQLGetData " + std::to_string(column) + " " + std::to_string(type) + " " +
           std::to_string(capacity));
    if (!stmt->result || !stmt->onRow) {
      stmt->post("24000", "no current row");
      return SQLRETURN(SQL_ERROR);
    }
    if (column < 1 || column > stmt->result->columns.size()) {
      stmt->post("S1002", "invalid column number");
      return SQLRETURN(SQL_ERROR);
    }
    if (type != SQL_C_CHAR && type != SQL_C_DEFAULT) {
      stmt->post("07006", "restricted data type attribute violation");
      return SQLRETURN(SQL_ERROR);
    }
    const auto& value = stmt->result->columns[column - 1];
    if (!value) {
      if (indicator) *indicator = SQL_NULL_DATA;
      return SQLRETURN(SQL_SUCCESS);
    }
    std::size_t& offset = stmt->readOffsets[column - 1];
    if (offset > 0 && offset >= value->size()) return SQLRETURN(SQL_NO_DATA);
    const std::size_t remaining = value->size() - offset;
    if (indicator) *indicator = static_cast<SQLLEN>(remaining);
    if (!buffer || capacity <= 0) {
      stmt->post("01004", "data truncated");
      return SQLRETURN(SQL_SUCCESS_WITH_INFO);
    }
    const std::size_t room = static_cast<std::size_t>(capacity) - 1;
    const std::size_t n = std::min(room, remaining);
    std::memcpy(buffer, value->data() + offset, n);
    static_cast<char*>(buffer)[n] = '\0';
    offset += n;
    if (n < remaining) {
      stmt->post("01004", "data truncated");
      return SQLRETURN(SQL_SUCCESS_WITH_INFO);
    }
    if (offset == 0) offset = 1;  // an empty value has been read once
    return SQLRETURN(SQL_SUCCESS);
  });
}

}  // extern "C"
