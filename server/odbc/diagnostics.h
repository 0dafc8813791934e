// Diagnostic records of one handle, as SQLGetDiagRec, SQLGetDiagField and SQLError read them.
#pragma once

#include <sql.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::server::odbc {

struct DiagRecord {
  std::string state;    // five characters
  std::string message;  // with the driver's prefix
  SQLINTEGER native = 0;
};

// Thrown inside the driver to fail the current call with a state; the entry point turns it into
// a record and SQL_ERROR.
class DiagnosticError : public std::runtime_error {
 public:
  DiagnosticError(const char* state, const std::string& message)
      : std::runtime_error(message), state_(state) {}
  [[nodiscard]] const char* state() const noexcept { return state_; }

 private:
  const char* state_;
};

class Diagnostics {
 public:
  // Drops the records of the previous call.
  void clear() noexcept;
  // Adds a record; when memory is too short even for that, the record is lost, not the call.
  void post(std::string_view state, std::string_view message, SQLINTEGER native = 0) noexcept;
  // Records the return code of the call that produced the records (SQL_DIAG_RETURNCODE).
  void setReturnCode(SQLRETURN rc) noexcept { returnCode_ = rc; }
  [[nodiscard]] SQLRETURN returnCode() const noexcept { return returnCode_; }
  [[nodiscard]] std::size_t size() const noexcept { return records_.size(); }
  // Returns record number (1-based), or nullptr when there is none.
  [[nodiscard]] const DiagRecord* record(SQLSMALLINT number) const noexcept;
  // Returns the next record SQLError has not yet reported, and marks it reported.
  [[nodiscard]] const DiagRecord* takeNext() noexcept;

 private:
  std::vector<DiagRecord> records_;
  std::size_t reported_ = 0;
  SQLRETURN returnCode_ = SQL_SUCCESS;
};

}  // namespace tarn::server::odbc
