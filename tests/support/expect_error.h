// Capturing the TarnError a call throws, for tests that check number, source and description.
#pragma once

#include <gtest/gtest.h>

#include "tarn/frame/error.h"

namespace tarn::testing {

// What every error's source starts with, before the class and its operation.
inline const String kSource = u"Tarn Class Library (ODBC Only) (ODBC) ";

// The error f throws; a failed expectation (and an empty error) when it throws none.
template <class F>
TarnError errorOf(F&& f) {
  try {
    f();
  } catch (const TarnError& e) {
    return e;
  }
  ADD_FAILURE() << "expected a TarnError";
  return TarnError(0, u"", u"");
}

}  // namespace tarn::testing
