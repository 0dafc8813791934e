// The wire code page: the ANSI code page (Windows-1252) in which request and reply texts travel.
#pragma once

#include <string>
#include <string_view>

#include "tarn/frame/string.h"

namespace tarn::codepage {

// The byte a character travels as, or '?' when the code page has none. The marks U+00FB..U+00FF
// travel as the single bytes 0xFB..0xFF; U+0081, U+008D, U+008F, U+0090 and U+009D keep their
// own numbers so that the five bytes the code page leaves undefined survive a round trip.
[[nodiscard]] char encodeChar(char16_t c) noexcept;
// The character a byte stands for; never fails.
[[nodiscard]] char16_t decodeByte(unsigned char b) noexcept;

// UTF-16 to wire bytes, one byte per character; a surrogate pair is one character and becomes
// one '?', and so does an unpaired surrogate.
[[nodiscard]] std::string encode(StringView text);
// As encode, appending the bytes to out.
void encodeAppend(StringView text, std::string& out);
// Wire bytes to UTF-16, one character per byte (0x00 included).
[[nodiscard]] String decode(std::string_view bytes);
// As decode, replacing the contents of out (whose storage is reused).
void decodeInto(std::string_view bytes, String& out);

}  // namespace tarn::codepage
