// Shorthands for the conversion tests: the default number format and unwrapped results.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "server/engine/conv/conversion.h"

namespace tarn::server::testing {

// One row of a conversion table: value, code, the text expected.
struct Case {
  const char* value;
  const char* code;
  const char* expected;
};

inline const NumberFormat kUsFormat{};
inline const NumberFormat kEuroFormat{"EUR", ".", ","};

// The converted text, or "<bad>" when the code was refused.
inline std::string out(std::string_view value, std::string_view code,
                       const NumberFormat& format = kUsFormat) {
  const auto result = oconv(value, code, format);
  return result ? *result : std::string("<bad>");
}

inline std::string in(std::string_view value, std::string_view code,
                      const NumberFormat& format = kUsFormat) {
  const auto result = iconv(value, code, format);
  return result ? *result : std::string("<bad>");
}

}  // namespace tarn::server::testing
