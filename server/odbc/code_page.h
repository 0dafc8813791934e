// The driver's code pages. The engine keeps text as UTF-8 with marks as the bytes 0xFB..0xFF; a
// connection talks either that same form (Encoding=UTF-8) or Windows-1252 (the default), and the
// driver converts at its boundary so that both kinds of connection see the same items.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn::server::odbc {

// What a connection's ANSI texts are in.
enum class Encoding { kWindows1252, kUtf8 };

// The attribute value naming an encoding ("UTF-8", "Windows-1252"), and its parse: case and the
// hyphen are ignored ("utf8", "CP1252" and "1252" are accepted too); nothing when unknown.
[[nodiscard]] std::string_view encodingName(Encoding e) noexcept;
[[nodiscard]] bool parseEncoding(std::string_view text, Encoding& out) noexcept;

// Converts UTF-16 to Windows-1252 bytes (common/windows1252.h); a surrogate pair (or a lone
// surrogate) becomes one '?'.
[[nodiscard]] std::string wideToBytes(const std::uint16_t* text, std::size_t length);

// Writes one UTF-16 unit per Windows-1252 byte to out (which has room for bytes.size() units).
void bytesToWide(std::string_view bytes, std::uint16_t* out) noexcept;

// UTF-16 to engine text: U+00FB..U+00FF are the marks. Returns false, with the position (from 0)
// of the first lone surrogate in badAt, when there is one.
[[nodiscard]] bool wideToEngine(const std::uint16_t* text, std::size_t length, std::string& out,
                                std::size_t& badAt);
// Engine text to UTF-16: marks become U+00FB..U+00FF, a malformed byte U+FFFD.
[[nodiscard]] std::u16string engineToWide(std::string_view text);

}  // namespace tarn::server::odbc
