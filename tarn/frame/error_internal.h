// Library-internal raising routines shared by every class.
#pragma once

#include <cstdint>
#include <utility>

#include "tarn/frame/error.h"

namespace tarn {

// The lock holder and the failing module and line that a server's words name (see ServerFacts).
[[nodiscard]] ServerFacts serverFactsOf(const OdbcDiagnostic& diagnostic);

// The message table text for a COM error number; "" when the table has none.
[[nodiscard]] String rsErrorText(std::int32_t number);

// Builds the error every class raises: source "Tarn Class Library (ODBC Only) (ODBC) " +
// className + "." + operationText, description from the table; records the number in gLastError.
[[nodiscard]] TarnError rsRaiseError(std::int32_t number, StringView className,
                                     StringView operationText);

// The same, keeping the diagnostic of the ODBC call the failure came from (when it has a state).
[[nodiscard]] TarnError rsRaiseError(std::int32_t number, StringView className,
                                     StringView operationText, OdbcDiagnostic diagnostic);

// The ODBC diagnostic of the failure being handled (call inside a catch block); empty when the
// failure did not come from ODBC.
[[nodiscard]] OdbcDiagnostic caughtDiagnostic() noexcept;

// The library's words on the failure being handled (TarnError::detail; call inside a catch
// block); "" for any other failure.
[[nodiscard]] String caughtDetail();

// The number of the failure being handled (call inside a catch block): a TarnError keeps its
// number, exhaustion of memory is 7, anything else the internal error 1281.
[[nodiscard]] std::int32_t caughtErrorNumber() noexcept;

// The description of the failure being handled (call inside a catch block) when it says more
// than the message table: a TarnError raised by the library or its DAO layer whose number has no
// table text but that carries its own words (a refused connect, a request that cannot be sent).
// "" otherwise, platform failures included.
[[nodiscard]] String caughtErrorDetail();

// The handler every member with an error handler runs: on any failure of body, gLastError := 0,
// sOperation := operation(), and the failure is raised again under className with its number
// and its ODBC diagnostic (and its own words, when the table has none for it).
template <class Body, class Operation>
decltype(auto) withHandler(String& sOperation, StringView className, Operation&& operation,
                           Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    const std::int32_t number = caughtErrorNumber();
    OdbcDiagnostic diagnostic = caughtDiagnostic();
    String detail = caughtErrorDetail();
    String fact = caughtDetail();
    gLastError = 0;
    sOperation = std::forward<Operation>(operation)();
    TarnError raised = rsRaiseError(number, className, sOperation, std::move(diagnostic));
    if (!detail.empty()) raised.setDescription(std::move(detail));
    if (!fact.empty()) raised.setDetail(std::move(fact));
    throw raised;
  }
}

}  // namespace tarn
