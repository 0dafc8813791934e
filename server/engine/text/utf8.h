// The engine's text: UTF-8, with the marks 251..255 kept as the single bytes 0xFB..0xFF. Those
// bytes never occur in well-formed UTF-8, so a mark can never be mistaken for part of a
// character, and byte searches for marks stay exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::server::text {

// True for the mark bytes 0xFB..0xFF.
[[nodiscard]] constexpr bool isMarkByte(unsigned char b) noexcept {
  return b >= 0xFB;
}

// Returned by nextChar for bytes that do not begin a well-formed character.
inline constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the character at s[at] and moves at past it. A mark comes back as its own number
// (0xFB..0xFF) with `mark` set; a malformed byte comes back as kInvalid and is stepped over
// alone. Surrogates and overlong forms are malformed.
[[nodiscard]] char32_t nextChar(std::string_view s, std::size_t& at, bool& mark) noexcept;

// Appends the UTF-8 form of a code point (which must not be a surrogate or above 0x10FFFF).
void appendChar(std::string& out, char32_t c);

// True when every byte is ASCII (mark bytes excluded): the common case every conversion skips.
[[nodiscard]] bool isAscii(std::string_view s) noexcept;

// True when s is well formed: UTF-8 characters and mark bytes only.
[[nodiscard]] bool isWellFormed(std::string_view s) noexcept;

// The number of UTF-16 units well-formed text stands for: what a client counts as characters.
// A character beyond the Basic Multilingual Plane counts two, a mark one.
[[nodiscard]] std::size_t utf16Length(std::string_view s) noexcept;

// How many bytes of s the first `units` UTF-16 units take: a client's counted field read back in
// engine text. npos when s is shorter, or when the count ends inside a surrogate pair.
[[nodiscard]] std::size_t bytesOfUtf16Units(std::string_view s, std::size_t units) noexcept;

// The number of characters in well-formed text (a mark is one).
[[nodiscard]] std::size_t charCount(std::string_view s) noexcept;

// True when no byte lies in 0x80..0xFA: ASCII and marks read the same as Windows-1252 bytes and
// as engine text, so either conversion would copy them unchanged.
[[nodiscard]] bool sameInBothForms(std::string_view s) noexcept;
// Windows-1252 (common/windows1252.h) bytes to engine text; the mark bytes stay single bytes.
[[nodiscard]] std::string fromWindows1252(std::string_view bytes);
// Engine text to Windows-1252: a character without a byte becomes one '?' per UTF-16 unit, so
// lengths counted in UTF-16 units still count the bytes.
[[nodiscard]] std::string toWindows1252(std::string_view text);

}  // namespace tarn::server::text
