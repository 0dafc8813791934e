// Shorthands for the conversion tests: the default number format and unwrapped results.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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

// Which way the rows of a table are read: out converts to the external form, in to the
// internal one; a table marked both expects the same text either way.
enum class Way { kOut, kIn, kBoth };

inline void expectConversions(Way way, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " " + c.code);
    if (way != Way::kIn) {
      EXPECT_EQ(out(c.value, c.code), c.expected);
    }
    if (way != Way::kOut) {
      EXPECT_EQ(in(c.value, c.code), c.expected);
    }
  }
}

// Codes that are refused whichever way they are used, whatever the value.
inline void expectRefused(std::string_view value, std::initializer_list<const char*> codes) {
  for (const char* bad : codes) {
    EXPECT_EQ(out(value, bad), "<bad>") << bad;
    EXPECT_EQ(in(value, bad), "<bad>") << bad;
  }
}

}  // namespace tarn::server::testing
