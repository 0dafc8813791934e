// Text types of the library: UTF-16 strings at the interface, UTF-8 helpers for callers.
#pragma once

#include <string>
#include <string_view>

#include "tarn/frame/export.h"

namespace tarn {

// A string of the library's interface: UTF-16 code units, as the dynamic array model counts them.
using String = std::u16string;
using StringView = std::u16string_view;

// UTF-8 to UTF-16. Malformed sequences become U+FFFD; nothing is dropped silently.
[[nodiscard]] TARN_API String fromUtf8(std::string_view utf8);
// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
[[nodiscard]] TARN_API std::string toUtf8(StringView utf16);

// Decimal text of a 32-bit integer as the platform writes it: no leading zeros, "-" for negatives.
[[nodiscard]] TARN_API String decimalText(long long value);

}  // namespace tarn
