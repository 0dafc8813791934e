// Code-unit scans over UTF-16 buffers: the mark searches behind every dynamic array operation.
// Each routine has an AVX2 path chosen at run time where the processor has it (the sibling
// searches also an AVX-512 one), and a portable loop otherwise; all give identical answers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarn::scan {

inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// findUnit past the first 16 units, where the vector paths take over.
[[nodiscard]] std::size_t findUnitLong(const char16_t* p, std::size_t n, char16_t c) noexcept;

// Index of the first c in p[0, n), or n when there is none. Elements are mostly short: the first
// 16 units are looked at here, inline (SSE2 is part of every x86-64), before any call.
[[nodiscard]] inline std::size_t findUnit(const char16_t* p, std::size_t n, char16_t c) noexcept {
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i needle = _mm_set1_epi16(static_cast<short>(c));
    const __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), needle);
    const __m128i b =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), needle);
    const auto m = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
    if (m != 0) return static_cast<std::size_t>(__builtin_ctz(m));
    return 16 + findUnitLong(p + 16, n - 16, c);
  }
#endif
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == c) return i;
  }
  return n;
}

// Number of c in p[0, n).
[[nodiscard]] std::size_t countUnit(const char16_t* p, std::size_t n, char16_t c) noexcept;

// findUnit for a span that lies inside a longer buffer, readable units from p (readable >= n):
// a short span is still looked at with one vector compare, the units beyond it ignored.
[[nodiscard]] inline std::size_t findUnitIn(const char16_t* p, std::size_t n, std::size_t readable,
                                            char16_t c) noexcept {
#if defined(__SSE2__)
  if (n < 16 && readable >= 16) {
    const __m128i needle = _mm_set1_epi16(static_cast<short>(c));
    const __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), needle);
    const __m128i b =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), needle);
    const auto m =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) & ((1u << n) - 1u);
    return m != 0 ? static_cast<std::size_t>(__builtin_ctz(m)) : n;
  }
#endif
  (void)readable;
  return findUnit(p, n, c);
}

// The outcome of looking for the k-th occurrence (k >= 1).
struct NthResult {
  std::size_t count = 0;    // occurrences seen: k when found, fewer when the buffer ran out
  std::size_t pos = kNone;  // index of the k-th occurrence (or of the last one seen), kNone if none
};

// The k-th c counted from the front of p[0, n).
[[nodiscard]] NthResult findNth(const char16_t* p, std::size_t n, char16_t c,
                                std::size_t k) noexcept;
// The k-th c counted backwards from the end of p[0, n).
[[nodiscard]] NthResult findNthBackward(const char16_t* p, std::size_t n, char16_t c,
                                        std::size_t k) noexcept;

// Index of the first occurrence of pat[0, m) in p[0, n) at or after from; n when there is none.
// An empty pattern matches at from (when from <= n).
[[nodiscard]] std::size_t findText(const char16_t* p, std::size_t n, const char16_t* pat,
                                   std::size_t m, std::size_t from = 0) noexcept;

// A set of code units for findInSet: chosen units below 255; 255 and above always belong. Kept
// as the nibble tables the vector path looks up: rows[lo] has bit (hi & 7) set when the unit
// (hi << 4 | lo) belongs, in rowsLow for hi < 8 and rowsHigh otherwise.
struct UnitSet {
  unsigned char rowsLow[16] = {};
  unsigned char rowsHigh[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};
  void add(char16_t u) noexcept {
    if (u >= 255) return;
    unsigned char& row = (u >> 4) < 8 ? rowsLow[u & 15] : rowsHigh[u & 15];
    row = static_cast<unsigned char>(row | (1u << ((u >> 4) & 7)));
  }
  [[nodiscard]] bool has(char16_t u) const noexcept {
    if (u >= 255) return true;
    const unsigned char row = (u >> 4) < 8 ? rowsLow[u & 15] : rowsHigh[u & 15];
    return ((row >> ((u >> 4) & 7)) & 1u) != 0;
  }
};

// Index of the first unit of p[0, n) in set; n when there is none. The case-insensitive search
// uses it to stop only where a match might start.
[[nodiscard]] std::size_t findInSet(const char16_t* p, std::size_t n, const UnitSet& set) noexcept;

// Number of units of p[0, n) in counted, or kNone as soon as one is in stop. Units of 255 and
// above belong to both sets, so a text holding one always stops.
[[nodiscard]] std::size_t countInSetUnless(const char16_t* p, std::size_t n, const UnitSet& counted,
                                           const UnitSet& stop) noexcept;

// Index of the first q in [from, n) where a sibling starts (q == 0 or p[q - 1] == sep) with a
// unit in set; n when there is none. Finds the siblings of a list that may equal a pattern.
[[nodiscard]] std::size_t findSiblingStart(const char16_t* p, std::size_t n, std::size_t from,
                                           char16_t sep, const UnitSet& set) noexcept;

// The first sibling of a list that equals pat exactly: the first q >= from with q == 0 or
// p[q - 1] == sep, p[q, q + m) == pat and q + m == n or p[q + m] == sep. pat (m >= 1) must not
// hold sep, and from must start a sibling. Also counts the separators in p[from, q).
struct SiblingHit {
  std::size_t pos = 0;         // q, or n when no sibling matches
  std::size_t separators = 0;  // separators in p[from, pos)
};
[[nodiscard]] SiblingHit findSibling(const char16_t* p, std::size_t n, std::size_t from,
                                     char16_t sep, const char16_t* pat, std::size_t m) noexcept;

// The first sibling start q >= from (q == from or p[q - 1] == sep) with p[q] in first and, unless
// p[q] is in free or q + 1 == n, p[q + 1] in second. Counts the separators in p[from, q) like
// findSibling.
[[nodiscard]] SiblingHit findSiblingStartPair(const char16_t* p, std::size_t n, std::size_t from,
                                              char16_t sep, const UnitSet& first,
                                              const UnitSet& second, const UnitSet& free) noexcept;

// The outcome of findOrderedStop.
struct OrderedHit {
  std::size_t pos = 0;         // where the stopping sibling starts, or n when none stops
  std::size_t separators = 0;  // separators in p[from, pos), or in p[from, n) when none stops
  bool stopped = false;        // a sibling sorts at or after (descending: at or before) pat
  bool equal = false;          // that sibling equals pat
};

// For an exact ordered search: the first sibling, starting with the one at from, that sorts at or
// after pat[0, m) (descending: at or before it) by code unit, a sibling ending first sorting
// before. Siblings start at from and after each separator in p[from, n), so a final separator
// leaves an empty sibling at n. Requires from <= n and m >= 1; pat may hold sep.
[[nodiscard]] OrderedHit findOrderedStop(const char16_t* p, std::size_t n, std::size_t from,
                                         char16_t sep, const char16_t* pat, std::size_t m,
                                         bool descending) noexcept;

// One rule of a character conversion: units equal to one of units[0, count) become to, or are
// removed; each counts weight towards the number converted.
struct ConvertRule {
  char16_t units[4] = {};
  std::size_t count = 0;
  char16_t to = 0;
  bool remove = false;
  std::uint32_t weight = 0;
};
inline constexpr std::size_t kMaxConvertRules = 4;

// Applies up to kMaxConvertRules rules (no unit in two rules) to p[0, n) in place, closing the
// gaps of removed units; returns the new length and adds the weights of every match to converted.
[[nodiscard]] std::size_t convertUnits(char16_t* p, std::size_t n, const ConvertRule* rules,
                                       std::size_t k, std::uint64_t& converted) noexcept;

// The widest vector path the scans may take; tests step it down to compare every path with the
// portable loops on any processor. Returns the previous setting.
enum class Path { kBest, kAvx2, kPortable };
Path limitPath(Path path) noexcept;

}  // namespace tarn::scan
