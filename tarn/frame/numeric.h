// The numeric-text test and the integer conversions of the platform's Variant rules.
#pragma once

#include <cstdint>
#include <optional>

#include "tarn/frame/string.h"

namespace tarn {

// Reads text as a number the way the platform's numeric test does: blanks around, a sign, the
// locale's currency sign, digits with the locale's grouping separators, the locale's decimal
// separator, an exponent (E or D), or &H / &O integers. Nothing when it is not numeric.
[[nodiscard]] std::optional<double> parseNumericText(StringView text);
[[nodiscard]] inline bool isNumericText(StringView text) {
  return parseNumericText(text).has_value();
}

// Rounds to the nearest integer, halves to even, and range-checks; throws overflow (6).
[[nodiscard]] std::int32_t roundToInt32(double value);
[[nodiscard]] std::int16_t roundToInt16(double value);

// Text of a double as the platform writes it: up to 15 significant digits, no trailing zeros,
// exponent form "1E+20" beyond that range, the locale's decimal separator.
[[nodiscard]] String doubleText(double value);

// The leading digits of text as a number (after blanks and a sign); 0 when there are none.
[[nodiscard]] std::int32_t numericPrefix(StringView text);

}  // namespace tarn
