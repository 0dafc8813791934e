// The shim every exported function goes through: check the handle, clear its diagnostics, run
// one member, and turn anything thrown into a diagnostic record. Nothing crosses the C boundary.
#pragma once

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "server/odbc/handles.h"

namespace tarn::server::odbc {

template <class H>
constexpr SQLSMALLINT kKindOf = 0;
template <>
inline constexpr SQLSMALLINT kKindOf<Environment> = SQL_HANDLE_ENV;
template <>
inline constexpr SQLSMALLINT kKindOf<Connection> = SQL_HANDLE_DBC;
template <>
inline constexpr SQLSMALLINT kKindOf<Statement> = SQL_HANDLE_STMT;

// Handles travel to the driver manager as Handle*, whatever their kind.
template <class H>
[[nodiscard]] SQLHANDLE toHandle(H* h) noexcept {
  return static_cast<Handle*>(h);
}
template <class H>
[[nodiscard]] H& fromHandle(SQLHANDLE h) noexcept {
  return static_cast<H&>(*static_cast<Handle*>(h));
}

// Runs body(handle) and records any exception as a diagnostic on handle.
template <class Body>
SQLRETURN guarded(Handle& handle, Body&& body) noexcept {
  SQLRETURN rc;
  try {
    rc = body();
  } catch (const DiagnosticError& e) {
    handle.diag().post(e.state(), e.what());
    rc = SQL_ERROR;
  } catch (const std::bad_alloc&) {
    handle.diag().post("HY001", "Memory allocation error");
    rc = SQL_ERROR;
  } catch (const std::exception& e) {
    handle.diag().post("HY000", e.what());
    rc = SQL_ERROR;
  } catch (...) {
    handle.diag().post("HY000", "General error");
    rc = SQL_ERROR;
  }
  handle.diag().setReturnCode(rc);
  return rc;
}

template <class H, class Body>
SQLRETURN onHandle(SQLHANDLE h, Body&& body) noexcept {
  if (!Handle::isLive(h, kKindOf<H>)) return SQL_INVALID_HANDLE;
  H& handle = fromHandle<H>(h);
  handle.diag().clear();
  return guarded(handle, [&] { return body(handle); });
}

// An ANSI input string: its bytes, without a copy. HY090 for a negative length other than NTS.
[[nodiscard]] inline std::string_view ansiText(const SQLCHAR* text, SQLINTEGER length) {
  if (text == nullptr) return {};
  const char* p = reinterpret_cast<const char*>(text);
  if (length == SQL_NTS) return std::string_view(p);
  if (length < 0) throw DiagnosticError("HY090", "Invalid string or buffer length");
  return std::string_view(p, static_cast<std::size_t>(length));
}

// The length in characters of a wide input string. HY090 for a negative length other than NTS.
[[nodiscard]] inline std::size_t wideLength(const SQLWCHAR* text, SQLINTEGER length) {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  if (length == SQL_NTS) {
    while (text[n] != 0) ++n;
  } else if (length < 0) {
    throw DiagnosticError("HY090", "Invalid string or buffer length");
  } else {
    n = static_cast<std::size_t>(length);
  }
  return n;
}

// A wide input string (length in characters) in Windows-1252: names and connection strings.
[[nodiscard]] inline std::string wideText(const SQLWCHAR* text, SQLINTEGER length) {
  return wideToBytes(text, wideLength(text, length));
}

// A wide statement in the encoding of the statement's connection.
[[nodiscard]] inline std::string wideStatement(const Statement& s, const SQLWCHAR* text,
                                               SQLINTEGER length) {
  const std::size_t n = wideLength(text, length);
  return s.connection().fromWide(text, n);
}

// The functions implemented once for both character sets; the exported A and W shims call these.
SQLRETURN connectImpl(SQLHDBC dbc, std::string dsn, Charset charset) noexcept;
SQLRETURN driverConnectImpl(SQLHDBC dbc, std::string_view in, TextOut out, SQLSMALLINT* outLength,
                            Charset charset) noexcept;
SQLRETURN getDiagRecImpl(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT number, void* state,
                         SQLINTEGER* native, TextOut message, SQLSMALLINT* messageLength,
                         Charset charset) noexcept;
SQLRETURN getDiagFieldImpl(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT number, SQLSMALLINT field,
                           SQLPOINTER value, TextOut text, SQLSMALLINT* length) noexcept;
SQLRETURN errorImpl(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, void* state, SQLINTEGER* native,
                    TextOut message, SQLSMALLINT* messageLength, Charset charset) noexcept;
SQLRETURN tablesImpl(SQLHSTMT stmt) noexcept;
SQLRETURN columnsImpl(SQLHSTMT stmt) noexcept;

}  // namespace tarn::server::odbc
