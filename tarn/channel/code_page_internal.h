// The wire code page: how request and reply texts travel. Windows-1252 by default; UTF-8 when the
// connection asks for it, with the marks U+00FB..U+00FF as the single bytes 0xFB..0xFF (bytes that
// UTF-8 never uses, so a mark cannot be confused with part of a character).
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

// Where encoding stopped: the first character the wire cannot carry.
struct Unsendable {
  std::size_t position = 0;  // from 1, in UTF-16 units of the text
  char32_t character = 0;    // the character (a lone surrogate as itself)
};

// As encodeAppend, but a character with no byte stops the encoding: returns false and fills
// where (out then holds a partial text and must not be sent).
[[nodiscard]] bool encodeStrictAppend(StringView text, std::string& out, Unsendable& where);

// UTF-16 to wire UTF-8, appended to out: U+00FB..U+00FF become the single mark bytes, every other
// character its UTF-8 form. A lone surrogate stops it: returns false and fills where.
[[nodiscard]] bool encodeUtf8Append(StringView text, std::string& out, Unsendable& where);
// Wire UTF-8 to UTF-16, replacing the contents of out: mark bytes become U+00FB..U+00FF; a byte
// that begins no well-formed character becomes U+FFFD.
void decodeUtf8Into(std::string_view bytes, String& out);

// The text a failure names a character by: U+XXXX, with the character itself when it can be shown.
[[nodiscard]] String describeCharacter(char32_t c);

// How one connection's texts travel, as agreed at connect.
struct WireCodePage {
  bool utf8 = false;    // Encoding=UTF-8; otherwise Windows-1252
  bool strict = false;  // Windows-1252 only: refuse a character with no byte instead of "?"

  // Appends text's wire bytes to out. Returns false, with where filled, when a character cannot
  // travel (a lone surrogate in UTF-8, any character without a byte under strictness); out then
  // holds a partial text that must not be sent.
  [[nodiscard]] bool encodeAppend(StringView text, std::string& out, Unsendable& where) const;
  // Wire bytes to UTF-16, replacing the contents of out.
  void decodeInto(std::string_view bytes, String& out) const;
  // The words of the failure when a request cannot travel: the character, its position, and that
  // nothing was sent.
  // Why request cannot be sent, naming the character by the part of the request the caller
  // passed it in (the item-id, an argument) and its position there.
  [[nodiscard]] String refusal(const Unsendable& where, StringView request) const;
};

// Settles the connection's code page from the connection string the session asked with and the
// one the driver completed: Encoding= (UTF-8 or Windows-1252, the default) and Strict= (Yes/No)
// as the completed string says them. Returns false, with the reason in problem, when the driver
// answered another encoding than the one asked for, or one the library does not know.
[[nodiscard]] bool agreeWireCodePage(StringView asked, StringView completed, WireCodePage& out,
                                     String& problem);

}  // namespace tarn::codepage
