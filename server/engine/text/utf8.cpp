#include "server/engine/text/utf8.h"

#include "common/windows1252.h"

namespace tarn::server::text {

// A plain loop the compiler vectorises, so the usual text costs one pass.
bool sameInBothForms(std::string_view s) noexcept {
  unsigned other = 0;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    other |= static_cast<unsigned>(b >= 0x80 && b < 0xFB);
  }
  return other == 0;
}

char32_t nextChar(std::string_view s, std::size_t& at, bool& mark) noexcept {
  const auto b0 = static_cast<unsigned char>(s[at]);
  mark = false;
  if (b0 < 0x80) {
    ++at;
    return b0;
  }
  if (isMarkByte(b0)) {
    mark = true;
    ++at;
    return b0;
  }
  std::size_t need;
  char32_t c;
  char32_t least;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, c = b0 & 0x1F, least = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, c = b0 & 0x0F, least = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, c = b0 & 0x07, least = 0x10000;
  } else {
    ++at;
    return kInvalid;
  }
  if (s.size() - at <= need) {
    ++at;
    return kInvalid;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[at + k]);
    if ((b & 0xC0) != 0x80) {
      ++at;
      return kInvalid;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++at;
    return kInvalid;
  }
  at += need + 1;
  return c;
}

void appendChar(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isAscii(std::string_view s) noexcept {
  unsigned high = 0;
  for (const char c : s) high |= static_cast<unsigned char>(c);
  return high < 0x80;
}

bool isWellFormed(std::string_view s) noexcept {
  std::size_t at = 0;
  bool mark = false;
  while (at < s.size()) {
    if (static_cast<unsigned char>(s[at]) < 0x80) {
      ++at;
      continue;
    }
    if (nextChar(s, at, mark) == kInvalid) return false;
  }
  return true;
}

std::size_t utf16Length(std::string_view s) noexcept {
  // Every byte that does not continue a character starts one; a four-byte lead adds the second
  // unit of its surrogate pair. Malformed text still gets a definite count.
  std::size_t n = 0;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    n += (b & 0xC0) != 0x80 ? 1 : 0;
    n += (b >= 0xF0 && b <= 0xF4) ? 1 : 0;
  }
  return n;
}

std::size_t bytesOfUtf16Units(std::string_view s, std::size_t units) noexcept {
  std::size_t at = 0;
  while (units > 0) {
    if (at == s.size()) return std::string_view::npos;
    const auto b = static_cast<unsigned char>(s[at]);
    const std::size_t width = b >= 0xF0 && b <= 0xF4 ? 2 : 1;  // units of the character here
    if (width > units) return std::string_view::npos;          // the count splits a surrogate pair
    units -= width;
    ++at;
    while (at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) ++at;
  }
  return at;
}

std::size_t charCount(std::string_view s) noexcept {
  std::size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

std::string fromWindows1252(std::string_view bytes) {
  if (sameInBothForms(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80 || isMarkByte(b)) {
      out.push_back(c);
    } else {
      appendChar(out, cp1252::toChar(b));
    }
  }
  return out;
}

std::string toWindows1252(std::string_view in) {
  if (sameInBothForms(in)) return std::string(in);
  std::string out;
  out.reserve(in.size());
  std::size_t at = 0;
  bool mark = false;
  while (at < in.size()) {
    const char32_t c = nextChar(in, at, mark);
    if (mark) {
      out.push_back(static_cast<char>(c));
    } else if (c == kInvalid) {
      out.push_back('?');
    } else if (c > 0xFFFF) {
      out.append("??");  // two UTF-16 units, two bytes
    } else {
      out.push_back(static_cast<char>(cp1252::toByte(c)));
    }
  }
  return out;
}

}  // namespace tarn::server::text
