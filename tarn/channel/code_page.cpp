#include "tarn/channel/code_page_internal.h"

#include <array>

namespace tarn::codepage {

namespace {

// Characters of bytes 0x80..0x9F; the five undefined bytes stand for their own numbers.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

constexpr std::array<char16_t, 256> makeDecodeTable() {
  std::array<char16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = static_cast<char16_t>(i);
  for (unsigned i = 0; i < 32; ++i) t[0x80 + i] = kHighControls[i];
  return t;
}
constexpr std::array<char16_t, 256> kDecode = makeDecodeTable();

// The characters above U+00FF that have a byte; sorted by character for a binary search.
struct Pair {
  char16_t c;
  unsigned char b;
};
constexpr std::array<Pair, 27> makeEncodeTable() {
  std::array<Pair, 27> t{};
  std::size_t n = 0;
  for (unsigned i = 0; i < 32; ++i) {
    if (kHighControls[i] > 0xFF) t[n++] = {kHighControls[i], static_cast<unsigned char>(0x80 + i)};
  }
  for (std::size_t i = 1; i < n; ++i) {  // insertion sort: constexpr and tiny
    for (std::size_t j = i; j > 0 && t[j - 1].c > t[j].c; --j) {
      const Pair tmp = t[j];
      t[j] = t[j - 1];
      t[j - 1] = tmp;
    }
  }
  return t;
}
constexpr std::array<Pair, 27> kEncode = makeEncodeTable();

constexpr bool isUndefinedByte(char16_t c) {
  return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

}  // namespace

char encodeChar(char16_t c) noexcept {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || isUndefinedByte(c)) return static_cast<char>(c);
  if (c < 0xA0) return '?';  // the C1 controls the code page gave other characters
  std::size_t lo = 0, hi = kEncode.size();
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (kEncode[mid].c < c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo < kEncode.size() && kEncode[lo].c == c) return static_cast<char>(kEncode[lo].b);
  return '?';
}

char16_t decodeByte(unsigned char b) noexcept {
  return kDecode[b];
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
    if ((src[i] & 0xE0) == 0x80) dst[i] = kDecode[src[i]];
  }
}

String decode(std::string_view bytes) {
  String out;
  decodeInto(bytes, out);
  return out;
}

}  // namespace tarn::codepage
