// The driver's one code page: Windows-1252. ANSI callers pass bytes through untouched; the wide
// entry points convert UTF-16 through this page, so marks U+00FB..U+00FF become bytes 0xFB..0xFF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::server::odbc {

// Returns the UTF-16 unit for a byte. Every byte has one: the five bytes the page leaves undefined
// map to the C1 controls of the same value, so a byte string survives a round trip.
[[nodiscard]] char16_t byteToUnit(unsigned char byte) noexcept;

// Returns the byte for a code point, or '?' when the page has none.
[[nodiscard]] unsigned char codePointToByte(char32_t codePoint) noexcept;

// Converts UTF-16 to bytes; a surrogate pair (or a lone surrogate) becomes one '?'.
[[nodiscard]] std::string wideToBytes(const std::uint16_t* text, std::size_t length);

// Writes one UTF-16 unit per byte to out (which has room for bytes.size() units).
void bytesToWide(std::string_view bytes, std::uint16_t* out) noexcept;

}  // namespace tarn::server::odbc
