#include "tarn/channel/code_page_internal.h"
#include "tarn/channel/envelope_internal.h"

#include <optional>
#include <string>

#include "common/windows1252.h"

namespace tarn::codepage {

char encodeChar(char16_t c) noexcept {
  return static_cast<char>(cp1252::toByte(c));
}

char16_t decodeByte(unsigned char b) noexcept {
  return cp1252::toChar(b);
}

namespace {
// Characters below U+0080 and from U+00A0 to U+00FF are their own bytes; most texts hold no
// other, and a plain narrowing loop (which the compiler vectorises, wider where the processor
// allows) does for them.
[[gnu::target_clones("avx2", "default")]] bool narrowPlain(const char16_t* src, std::size_t n,
                                                           char* out) noexcept {
  unsigned other = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t c = src[i];
    other |= static_cast<unsigned>(c >= 0x80 && (c < 0xA0 || c > 0xFF));
    out[i] = static_cast<char>(c);
  }
  return other == 0;
}

std::size_t encodeSlow(StringView text, char* out) noexcept {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;  // one character, one '?'
      out[n++] = '?';
      continue;
    }
    out[n++] = encodeChar(c);
  }
  return n;
}
}  // namespace

void encodeAppend(StringView text, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  if (!narrowPlain(text.data(), text.size(), out.data() + start)) {
    out.resize(start + encodeSlow(text, out.data() + start));
  }
}

std::string encode(StringView text) {
  std::string out;
  encodeAppend(text, out);
  return out;
}

namespace {
// Widens every byte to the character of the same number; true when one of them was in
// 0x80..0x9F, the only bytes that stand for other characters.
[[gnu::target_clones("avx2", "default")]] bool widen(const unsigned char* src, std::size_t n,
                                                     char16_t* dst) noexcept {
  unsigned controls = 0;
  for (std::size_t i = 0; i < n; ++i) {
    controls |= static_cast<unsigned>((src[i] & 0xE0) == 0x80);
    dst[i] = src[i];
  }
  return controls != 0;
}
}  // namespace

void decodeInto(std::string_view bytes, String& out) {
  out.resize(bytes.size());
  const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  char16_t* dst = out.data();
  const std::size_t n = bytes.size();
  if (!widen(src, n, dst)) return;
  for (std::size_t i = 0; i < n; ++i) {
    if ((src[i] & 0xE0) == 0x80) dst[i] = cp1252::toChar(src[i]);
  }
}

String decode(std::string_view bytes) {
  String out;
  decodeInto(bytes, out);
  return out;
}

}  // namespace tarn::codepage

namespace tarn::codepage {

namespace {
// True when every unit is ASCII; narrows them into out as it goes (vectorised, wider where the
// processor allows). Most texts are ASCII, and for them wire UTF-8 costs what Windows-1252 does.
[[gnu::target_clones("avx2", "default")]] bool narrowAscii(const char16_t* src, std::size_t n,
                                                           char* out) noexcept {
  unsigned high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    high |= src[i];
    out[i] = static_cast<char>(src[i]);
  }
  return high < 0x80;
}

[[gnu::target_clones("avx2", "default")]] bool widenAscii(const unsigned char* src, std::size_t n,
                                                          char16_t* dst) noexcept {
  unsigned high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    high |= src[i];
    dst[i] = src[i];
  }
  return high < 0x80;
}

bool isHighSurrogate(char32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}
}  // namespace

bool encodeStrictAppend(StringView text, std::string& out, Unsendable& where) {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  if (narrowPlain(text.data(), text.size(), out.data() + start)) return true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const char b = encodeChar(c);
    if (b == '?' && c != u'?') {
      char32_t whole = c;
      if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
        whole = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      }
      out.resize(start + i);
      where = Unsendable{i + 1, whole};
      return false;
    }
    out[start + i] = b;
  }
  return true;
}

bool encodeUtf8Append(StringView text, std::string& out, Unsendable& where) {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  if (narrowAscii(text.data(), text.size(), out.data() + start)) return true;
  // The ASCII prefix stays; the rest is encoded character by character.
  std::size_t i = 0;
  while (i < text.size() && text[i] < 0x80) ++i;
  out.resize(start + i);
  for (; i < text.size(); ++i) {
    const char32_t u = text[i];
    if (u < 0x80 || (u >= 0xFB && u <= 0xFF)) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if (isHighSurrogate(u) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      const char32_t c = 0x10000 + ((u - 0xD800) << 10) + (text[++i] - 0xDC00);
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
      where = Unsendable{i + 1, u};
      return false;
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return true;
}

void decodeUtf8Into(std::string_view bytes, String& out) {
  const auto* src = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  out.resize(n);
  if (widenAscii(src, n, out.data())) return;
  std::size_t k = 0;  // units written; never more than the bytes read
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b0 = src[i];
    if (b0 < 0x80 || b0 >= 0xFB) {
      out[k++] = b0;
      ++i;
      continue;
    }
    std::size_t need = 0;
    char32_t c = 0, least = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1, c = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2, c = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3, c = b0 & 0x07, least = 0x10000;
    }
    bool ok = need > 0 && n - i > need;
    for (std::size_t j = 1; ok && j <= need; ++j) {
      ok = (src[i + j] & 0xC0) == 0x80;
      c = (c << 6) | (src[i + j] & 0x3F);
    }
    ok = ok && c >= least && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    if (!ok) {
      out[k++] = 0xFFFD;
      ++i;
      continue;
    }
    i += need + 1;
    if (c > 0xFFFF) {
      out[k++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out[k++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out[k++] = static_cast<char16_t>(c);
    }
  }
  out.resize(k);
}

String describeCharacter(char32_t c) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  String s = u"U+";
  String digits;
  for (char32_t v = c; v != 0 || digits.size() < 4; v >>= 4)
    digits.insert(digits.begin(), kHex[v & 0xF]);
  s += digits;
  const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
  if (!surrogate && c >= 0x20) {
    s += u" \"";
    if (c > 0xFFFF) {
      s.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      s.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      s.push_back(static_cast<char16_t>(c));
    }
    s += u"\"";
  }
  return s;
}

}  // namespace tarn::codepage

namespace tarn::codepage {

namespace {

char16_t upperAscii(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

StringView trimmed(StringView s) {
  while (!s.empty() && s.front() == u' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  return s;
}

// The value of the last `key=` attribute of a connection string (braces taken literally), or
// nothing. Keys compare without regard to ASCII case.
std::optional<String> attribute(StringView text, StringView key) {
  std::optional<String> found;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t eq = text.find(u'=', pos);
    if (eq == StringView::npos) break;
    const StringView k = trimmed(text.substr(pos, eq - pos));
    std::size_t v = eq + 1;
    while (v < text.size() && text[v] == u' ') ++v;
    String value;
    std::size_t next;
    if (v < text.size() && text[v] == u'{') {
      const std::size_t close = text.find(u'}', v + 1);
      value =
          String(text.substr(v + 1, close == StringView::npos ? StringView::npos : close - v - 1));
      next = close == StringView::npos ? text.size() : text.find(u';', close);
    } else {
      next = text.find(u';', v);
      value =
          String(trimmed(text.substr(v, next == StringView::npos ? StringView::npos : next - v)));
    }
    bool same = k.size() == key.size();
    for (std::size_t i = 0; same && i < k.size(); ++i)
      same = upperAscii(k[i]) == upperAscii(key[i]);
    if (same) found = std::move(value);
    if (next == StringView::npos) break;
    pos = next + 1;
  }
  return found;
}

// "UTF-8" and "Windows-1252" with their usual spellings; nothing for anything else.
std::optional<bool> isUtf8Name(StringView name) {
  String bare;
  for (char16_t c : name) {
    if (c != u'-' && c != u'_' && c != u' ') bare.push_back(upperAscii(c));
  }
  if (bare == u"UTF8") return true;
  if (bare == u"WINDOWS1252" || bare == u"CP1252" || bare == u"1252") return false;
  return std::nullopt;
}

bool isYes(StringView value) {
  String v;
  for (char16_t c : value) v.push_back(upperAscii(c));
  return v == u"YES" || v == u"1" || v == u"TRUE" || v == u"ON";
}

}  // namespace

bool WireCodePage::encodeAppend(StringView text, std::string& out, Unsendable& where) const {
  if (utf8) return encodeUtf8Append(text, out, where);
  if (strict) return encodeStrictAppend(text, out, where);
  codepage::encodeAppend(text, out);
  return true;
}

void WireCodePage::decodeInto(std::string_view bytes, String& out) const {
  if (utf8) {
    decodeUtf8Into(bytes, out);
  } else {
    codepage::decodeInto(bytes, out);
  }
}

String WireCodePage::refusal(const Unsendable& where, StringView request) const {
  const envelope::RequestPlace place = envelope::placeInRequest(request, where.position);
  String s = u"The character " + describeCharacter(where.character) + u" at position " +
             fromUtf8(std::to_string(place.position)) + u" of " + place.part + u" ";
  s += utf8 ? u"is an unpaired surrogate, which UTF-8 cannot carry"
            : u"has no byte in Windows-1252 (Strict=Yes)";
  s += u"; nothing was sent.";
  return s;
}

bool agreeWireCodePage(StringView asked, StringView completed, WireCodePage& out, String& problem) {
  const std::optional<String> wanted = attribute(asked, u"Encoding");
  const std::optional<String> answered = attribute(completed, u"Encoding");
  std::optional<bool> utf8 = false;
  if (answered) {
    utf8 = isUtf8Name(*answered);
    if (!utf8) {
      problem = u"The driver answered Encoding=" + *answered +
                u", which this library does not know; use UTF-8 or Windows-1252.";
      return false;
    }
  }
  if (wanted) {
    const std::optional<bool> asked8 = isUtf8Name(*wanted);
    if (!asked8) {
      problem = u"Encoding=" + *wanted + u" is not known; use UTF-8 or Windows-1252.";
      return false;
    }
    if (*asked8 != *utf8) {
      problem = String(u"Encoding mismatch: the connection asked for ") +
                (*asked8 ? u"UTF-8" : u"Windows-1252") + u" but the driver uses " +
                (*utf8 ? u"UTF-8" : u"Windows-1252") + u"; both ends must agree.";
      return false;
    }
  }
  out.utf8 = *utf8;
  const std::optional<String> strict = attribute(completed, u"Strict");
  out.strict = !out.utf8 && strict && isYes(*strict);
  return true;
}

}  // namespace tarn::codepage
