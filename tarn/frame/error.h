// The error model: one exception type, the library-wide last error, the message table.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "tarn/frame/export.h"
#include "tarn/frame/string.h"

namespace tarn {

// The number of the last error the library raised, 0 when none; one value for the process.
TARN_API extern std::int32_t gLastError;

// Library code n travels as 0x80040000 + n (the object-defined error range).
inline constexpr std::int32_t kLibraryErrorBase = static_cast<std::int32_t>(0x80040000u);
[[nodiscard]] constexpr std::int32_t libraryError(std::int32_t code) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(kLibraryErrorBase) +
                                   static_cast<std::uint32_t>(code));
}
// A server status s arrives as library code 1024 + s.
[[nodiscard]] constexpr std::int32_t serverStatusError(std::int32_t status) noexcept {
  return libraryError(1024 + status);
}

// Numbers of the library's own codes, and of the platform failures it raises.
namespace err {
inline constexpr std::int32_t kItemMissing = libraryError(1026);
inline constexpr std::int32_t kLocked = libraryError(1029);
inline constexpr std::int32_t kBadColumn = libraryError(1035);
inline constexpr std::int32_t kBadParameters = libraryError(1058);
inline constexpr std::int32_t kEndOfList = libraryError(1060);
inline constexpr std::int32_t kInternal = libraryError(1281);
inline constexpr std::int32_t kConnectRefused = libraryError(1284);
inline constexpr std::int32_t kConnectFailed = libraryError(1285);
inline constexpr std::int32_t kConnectTimeout = libraryError(1286);
inline constexpr std::int32_t kDriverManager = libraryError(1287);
inline constexpr std::int32_t kUnimplemented = libraryError(4093);

inline constexpr std::int32_t kInvalidCall = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kSubscript = 9;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kObjectNotSet = 91;
inline constexpr std::int32_t kInvalidUseOfNull = 94;
}  // namespace err

// What the driver manager or the driver said about a failed ODBC call: its SQL state, native
// error number and message text. Empty (no state) for failures that did not come from ODBC.
struct OdbcDiagnostic {
  String sqlState;
  std::int32_t nativeError = 0;
  String message;
};

// What the server's words on a failed request say in particular: the port (and its account)
// holding a lock that refused it, and the module and line where a subroutine failed. Zero and
// empty when the failure says nothing of the kind.
struct ServerFacts {
  std::int32_t lockPort = 0;
  String lockAccount;
  String module;
  std::int32_t line = 0;
};

// Every failure reaches the client as a TarnError: a number, a source naming the library, the
// class and the operation, and the description the message table gives for the number. A failure
// that came from an ODBC call also keeps that call's diagnostic, whatever the number became.
class TARN_API TarnError : public std::exception {
 public:
  TarnError(std::int32_t number, String source, String description);
  // A failure of the platform (conversion, absent object): its own number, its own wording.
  [[nodiscard]] static TarnError platform(std::int32_t number);

  [[nodiscard]] std::int32_t number() const noexcept { return number_; }
  [[nodiscard]] const String& source() const noexcept { return source_; }
  [[nodiscard]] const String& description() const noexcept { return description_; }
  // The SQL state of the failing ODBC call ("IM002", "08001", ...); "" when not from ODBC.
  [[nodiscard]] const String& sqlState() const noexcept { return diagnostic_.sqlState; }
  // The driver manager's or driver's message for that call; "" when not from ODBC.
  [[nodiscard]] const String& diagnostic() const noexcept { return diagnostic_.message; }
  [[nodiscard]] std::int32_t nativeError() const noexcept { return diagnostic_.nativeError; }
  [[nodiscard]] const OdbcDiagnostic& odbcDiagnostic() const noexcept { return diagnostic_; }
  // For a server status: the port and account holding the lock (status 5), the module and line
  // of a subroutine's run-time error (status 47), as the server's words name them.
  [[nodiscard]] std::int32_t lockPort() const noexcept { return facts_.lockPort; }
  [[nodiscard]] const String& lockAccount() const noexcept { return facts_.lockAccount; }
  [[nodiscard]] const String& module() const noexcept { return facts_.module; }
  [[nodiscard]] std::int32_t line() const noexcept { return facts_.line; }
  [[nodiscard]] const ServerFacts& serverFacts() const noexcept { return facts_; }
  // The library's own words on what went wrong, beside a description the message table fixes
  // ("attribute name 'EMAIL' is not in the dictionary of CUST"); "" when it has none.
  [[nodiscard]] const String& detail() const noexcept { return detail_; }
  void setDetail(String detail);
  // One line: "source: description (number)", then ": detail" when the library has words of its
  // own, then " [state] message" when the failure came
  // from ODBC or the server sent words of its own, then " (native n)" when the call
  // gave a native code.
  [[nodiscard]] const char* what() const noexcept override { return what_.c_str(); }
  // Rewords the description, as a member that absorbs a failure records it.
  void setDescription(String description);
  // Attaches the diagnostic of the ODBC call that failed, and the facts its text names.
  void setDiagnostic(OdbcDiagnostic diagnostic);

 private:
  void compose();

  std::int32_t number_;
  String source_;
  String description_;
  OdbcDiagnostic diagnostic_;
  ServerFacts facts_;
  String detail_;
  std::string what_;
};

}  // namespace tarn
