// Windows-1252, the default code page of a connection and of accounts the engine made before it
// kept UTF-8: bytes 0x80..0x9F stand for the characters below, the rest of the page is Latin-1.
// The five bytes the page leaves undefined stand for the C1 controls of their own numbers, so that
// every byte string survives a round trip. Header-only, so that the library and the engine read
// the page from one table.
#pragma once

#include <array>
#include <cstddef>

namespace tarn::cp1252 {

inline constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

// The character byte stands for; every byte has one.
[[nodiscard]] constexpr char16_t toChar(unsigned char byte) noexcept {
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
}

namespace detail {
struct Pair {
  char16_t c;
  unsigned char byte;
};
// The characters above U+00FF that have a byte, sorted for a binary search.
constexpr std::array<Pair, 27> sortedHigh() {
  std::array<Pair, 27> t{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] > 0xFF) t[n++] = {kHigh[i], static_cast<unsigned char>(0x80 + i)};
  for (std::size_t i = 1; i < n; ++i)  // insertion sort: constexpr and tiny
    for (std::size_t j = i; j > 0 && t[j - 1].c > t[j].c; --j) {
      const Pair swap = t[j];
      t[j] = t[j - 1];
      t[j - 1] = swap;
    }
  return t;
}
inline constexpr std::array<Pair, 27> kSortedHigh = sortedHigh();
}  // namespace detail

// The byte of character c, or '?' when the page has none (U+0080..U+009F other than the five
// undefined bytes' own numbers have none: the page gave those bytes other characters).
[[nodiscard]] constexpr unsigned char toByte(char32_t c) noexcept {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  // Of the C1 controls, only the undefined bytes' own numbers are in the table.
  if (c < 0xA0) return kHigh[c - 0x80] == c ? static_cast<unsigned char>(c) : '?';
  std::size_t lo = 0, hi = detail::kSortedHigh.size();
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (detail::kSortedHigh[mid].c < c)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < detail::kSortedHigh.size() && detail::kSortedHigh[lo].c == c
             ? detail::kSortedHigh[lo].byte
             : '?';
}

static_assert(toByte(0x20AC) == 0x80 && toByte(0x0178) == 0x9F && toByte(0x81) == 0x81 &&
              toByte(0x80) == '?' && toChar(0x80) == 0x20AC && toChar(0xFE) == 0xFE);

}  // namespace tarn::cp1252
