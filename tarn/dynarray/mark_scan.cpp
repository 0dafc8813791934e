#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "tarn/dynarray/mark_scan_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define TARN_SCAN_X86 1
#endif

namespace tarn::scan {

namespace {

bool gPortable = false;

// ---- Portable loops -------------------------------------------------------------------------

std::size_t findUnitPortable(const char16_t* p, std::size_t n, char16_t c) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == c) return i;
  }
  return n;
}

std::size_t countUnitPortable(const char16_t* p, std::size_t n, char16_t c) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += p[i] == c;
  return count;
}

NthResult findNthPortable(const char16_t* p, std::size_t n, char16_t c, std::size_t k) noexcept {
  NthResult r;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == c) {
      r.pos = i;
      if (++r.count == k) return r;
    }
  }
  return r;
}

NthResult findNthBackwardPortable(const char16_t* p, std::size_t n, char16_t c,
                                  std::size_t k) noexcept {
  NthResult r;
  for (std::size_t i = n; i-- > 0;) {
    if (p[i] == c) {
      r.pos = i;
      if (++r.count == k) return r;
    }
  }
  return r;
}

std::size_t findTextPortable(const char16_t* p, std::size_t n, const char16_t* pat, std::size_t m,
                             std::size_t from) noexcept {
  if (m > n) return n;
  for (std::size_t i = from; i + m <= n; ++i) {
    if (p[i] == pat[0] && std::memcmp(p + i, pat, m * sizeof(char16_t)) == 0) return i;
  }
  return n;
}

std::size_t findInSetPortable(const char16_t* p, std::size_t n, const UnitSet& set) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (set.has(p[i])) return i;
  }
  return n;
}

std::size_t findSiblingStartPortable(const char16_t* p, std::size_t n, std::size_t from,
                                     char16_t sep, const UnitSet& set) noexcept {
  for (std::size_t q = from; q < n; ++q) {
    if ((q == 0 || p[q - 1] == sep) && set.has(p[q])) return q;
  }
  return n;
}

bool siblingAt(const char16_t* p, std::size_t n, std::size_t q, char16_t sep, const char16_t* pat,
               std::size_t m) noexcept {
  return q + m <= n && (q + m == n || p[q + m] == sep) &&
         std::memcmp(p + q, pat, m * sizeof(char16_t)) == 0;
}

SiblingHit findSiblingPortable(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                               const char16_t* pat, std::size_t m) noexcept {
  SiblingHit hit;
  for (std::size_t q = from; q < n; ++q) {
    if ((q == from || p[q - 1] == sep) && siblingAt(p, n, q, sep, pat, m)) {
      hit.pos = q;
      return hit;
    }
    hit.separators += p[q] == sep;
  }
  hit.pos = n;
  return hit;
}

std::size_t convertUnitsPortable(char16_t* p, std::size_t n, const ConvertRule* rules,
                                 std::size_t k, std::uint64_t& converted) noexcept {
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = p[i];
    const ConvertRule* match = nullptr;
    for (std::size_t r = 0; r < k && match == nullptr; ++r) {
      for (std::size_t j = 0; j < rules[r].count; ++j) {
        if (rules[r].units[j] == u) match = &rules[r];
      }
    }
    if (match == nullptr) {
      p[out++] = u;
      continue;
    }
    converted += match->weight;
    if (!match->remove) p[out++] = match->to;
  }
  return out;
}

// Descending, a sibling that ends early (an empty one, or one of a single unit equal to first)
// sorts before the pattern, whatever the separator's code.
bool orderedCandidate(const char16_t* p, std::size_t n, std::size_t q, char16_t sep, char16_t first,
                      char16_t second, bool useSecond, bool descending) noexcept {
  const char16_t c0 = p[q];
  if (descending && c0 == sep) return true;
  if (c0 != first) return descending ? c0 < first : c0 > first;
  if (!useSecond || q + 1 >= n) return true;
  const char16_t c1 = p[q + 1];
  return descending ? (c1 <= second || c1 == sep) : c1 >= second;
}

SiblingHit findOrderedCandidatePortable(const char16_t* p, std::size_t n, std::size_t from,
                                        char16_t sep, char16_t first, char16_t second,
                                        bool useSecond, bool descending) noexcept {
  SiblingHit hit;
  for (std::size_t q = from; q < n; ++q) {
    if ((q == from || p[q - 1] == sep) &&
        orderedCandidate(p, n, q, sep, first, second, useSecond, descending)) {
      hit.pos = q;
      return hit;
    }
    hit.separators += p[q] == sep;
  }
  hit.pos = n;
  return hit;
}

bool pairAt(const char16_t* p, std::size_t n, std::size_t q, const UnitSet& first,
            const UnitSet& second, const UnitSet& free) noexcept {
  return first.has(p[q]) && (free.has(p[q]) || q + 1 == n || second.has(p[q + 1]));
}

SiblingHit findSiblingStartPairPortable(const char16_t* p, std::size_t n, std::size_t from,
                                        char16_t sep, const UnitSet& first, const UnitSet& second,
                                        const UnitSet& free) noexcept {
  SiblingHit hit;
  for (std::size_t q = from; q < n; ++q) {
    if ((q == from || p[q - 1] == sep) && pairAt(p, n, q, first, second, free)) {
      hit.pos = q;
      return hit;
    }
    hit.separators += p[q] == sep;
  }
  hit.pos = n;
  return hit;
}

#if TARN_SCAN_X86

// ---- AVX2 -----------------------------------------------------------------------------------
// 16-bit compares give two mask bits per unit; where one bit per unit is wanted, two compare
// results are packed to bytes first (packs interleaves 128-bit lanes, which popcount ignores and
// a 64-bit permute undoes when positions matter).

__attribute__((target("avx2"))) inline __m256i load(const char16_t* p) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// One bit per unit of two 16-unit compare results, in order.
__attribute__((target("avx2"))) inline std::uint32_t inOrder(__m256i a, __m256i b) noexcept {
  return static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8)));
}

// One bit per unit for p[0, 32), in order.
__attribute__((target("avx2"))) inline std::uint32_t mask32(const char16_t* p,
                                                            __m256i needle) noexcept {
  const __m256i a = _mm256_cmpeq_epi16(load(p), needle);
  const __m256i b = _mm256_cmpeq_epi16(load(p + 16), needle);
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8);
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(packed));
}

__attribute__((target("avx2"))) std::size_t findUnitAvx2(const char16_t* p, std::size_t n,
                                                         char16_t c) noexcept {
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(c));
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m256i a = _mm256_cmpeq_epi16(load(p + i), needle);
    const __m256i b = _mm256_cmpeq_epi16(load(p + i + 16), needle);
    const __m256i x = _mm256_cmpeq_epi16(load(p + i + 32), needle);
    const __m256i d = _mm256_cmpeq_epi16(load(p + i + 48), needle);
    const __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(x, d));
    if (!_mm256_testz_si256(any, any)) {
      std::uint32_t m = mask32(p + i, needle);
      if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
      m = mask32(p + i + 32, needle);
      return i + 32 + static_cast<std::size_t>(std::countr_zero(m));
    }
  }
  for (; i + 16 <= n; i += 16) {
    const auto m =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(load(p + i), needle)));
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m)) / 2;
  }
  for (; i < n; ++i) {
    if (p[i] == c) return i;
  }
  return n;
}

__attribute__((target("avx2,popcnt"))) std::size_t countUnitAvx2(const char16_t* p, std::size_t n,
                                                                 char16_t c) noexcept {
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(c));
  std::size_t count = 0;
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m256i a = _mm256_packs_epi16(_mm256_cmpeq_epi16(load(p + i), needle),
                                         _mm256_cmpeq_epi16(load(p + i + 16), needle));
    const __m256i b = _mm256_packs_epi16(_mm256_cmpeq_epi16(load(p + i + 32), needle),
                                         _mm256_cmpeq_epi16(load(p + i + 48), needle));
    count += static_cast<std::size_t>(
        std::popcount(static_cast<std::uint32_t>(_mm256_movemask_epi8(a))) +
        std::popcount(static_cast<std::uint32_t>(_mm256_movemask_epi8(b))));
  }
  for (; i + 32 <= n; i += 32) {
    count += static_cast<std::size_t>(std::popcount(mask32(p + i, needle)));
  }
  for (; i < n; ++i) count += p[i] == c;
  return count;
}

// Position of the r-th (1-based) set bit of m, from the bottom.
inline unsigned nthBit(std::uint32_t m, std::size_t r) noexcept {
  while (--r > 0) m &= m - 1;
  return static_cast<unsigned>(std::countr_zero(m));
}

// Position of the r-th (1-based) set bit of m, from the top.
inline unsigned nthBitFromTop(std::uint32_t m, std::size_t r) noexcept {
  unsigned top = 31u - static_cast<unsigned>(std::countl_zero(m));
  while (--r > 0) {
    m &= ~(1u << top);
    top = 31u - static_cast<unsigned>(std::countl_zero(m));
  }
  return top;
}

__attribute__((target("avx2,popcnt"))) NthResult findNthAvx2(const char16_t* p, std::size_t n,
                                                             char16_t c, std::size_t k) noexcept {
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(c));
  NthResult r;
  std::size_t i = 0;
  std::uint32_t lastMask = 0;  // the last block with a hit, for the position of the last one
  std::size_t lastBlock = 0;
  for (; i + 32 <= n; i += 32) {
    const std::uint32_t m = mask32(p + i, needle);
    if (m == 0) continue;
    const auto pc = static_cast<std::size_t>(std::popcount(m));
    if (r.count + pc >= k) {
      r.pos = i + nthBit(m, k - r.count);
      r.count = k;
      return r;
    }
    r.count += pc;
    lastMask = m;
    lastBlock = i;
  }
  if (lastMask != 0) r.pos = lastBlock + 31u - static_cast<unsigned>(std::countl_zero(lastMask));
  for (; i < n; ++i) {
    if (p[i] == c) {
      r.pos = i;
      if (++r.count == k) return r;
    }
  }
  return r;
}

__attribute__((target("avx2,popcnt"))) NthResult findNthBackwardAvx2(const char16_t* p,
                                                                     std::size_t n, char16_t c,
                                                                     std::size_t k) noexcept {
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(c));
  NthResult r;
  std::size_t i = n;
  for (; i >= 32; i -= 32) {
    const std::uint32_t m = mask32(p + i - 32, needle);
    if (m == 0) continue;
    const auto pc = static_cast<std::size_t>(std::popcount(m));
    if (r.count + pc >= k) {
      r.pos = i - 32 + nthBitFromTop(m, k - r.count);
      r.count = k;
      return r;
    }
    r.count += pc;
    r.pos = i - 32 + static_cast<unsigned>(std::countr_zero(m));
  }
  while (i-- > 0) {
    if (p[i] == c) {
      r.pos = i;
      if (++r.count == k) return r;
    }
  }
  return r;
}

__attribute__((target("avx2"))) std::size_t findTextAvx2(const char16_t* p, std::size_t n,
                                                         const char16_t* pat, std::size_t m,
                                                         std::size_t from) noexcept {
  if (m > n) return n;
  const __m256i first = _mm256_set1_epi16(static_cast<short>(pat[0]));
  const __m256i last = _mm256_set1_epi16(static_cast<short>(pat[m - 1]));
  std::size_t i = from;
  // Candidates are where both the first and the last unit of the pattern match.
  for (; i + m - 1 + 16 <= n; i += 16) {
    const __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi16(load(p + i), first),
                                         _mm256_cmpeq_epi16(load(p + i + m - 1), last));
    auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
    while (bits != 0) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(bits)) / 2;
      if (std::memcmp(p + at + 1, pat + 1, (m - 1) * sizeof(char16_t)) == 0) return at;
      bits &= bits - 1;
      bits &= bits - 1;
    }
  }
  for (; i + m <= n; ++i) {
    if (p[i] == pat[0] && std::memcmp(p + i, pat, m * sizeof(char16_t)) == 0) return i;
  }
  return n;
}

// Nibble tables of a UnitSet, ready for membershipMask.
struct SetTables {
  __m256i low, high, bitLow, bitHigh, nibble, cap;
};

__attribute__((target("avx2"))) inline SetTables setTables(const UnitSet& set) noexcept {
  SetTables t;
  t.low =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.rowsLow)));
  t.high =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(set.rowsHigh)));
  t.bitLow = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16,
                              32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  t.bitHigh = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0,
                               0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  t.nibble = _mm256_set1_epi8(0x0F);
  t.cap = _mm256_set1_epi16(255);
  return t;
}

// One bit per unit of p[0, 32), set where the unit belongs to the set. Units above 255
// saturate to 255, which always belongs.
__attribute__((target("avx2"))) inline std::uint32_t membershipMask(const char16_t* p,
                                                                    const SetTables& t) noexcept {
  const __m256i a = _mm256_min_epu16(load(p), t.cap);
  const __m256i b = _mm256_min_epu16(load(p + 16), t.cap);
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
  const __m256i lo = _mm256_and_si256(bytes, t.nibble);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), t.nibble);
  const __m256i member = _mm256_or_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(t.low, lo), _mm256_shuffle_epi8(t.bitLow, hi)),
      _mm256_and_si256(_mm256_shuffle_epi8(t.high, lo), _mm256_shuffle_epi8(t.bitHigh, hi)));
  return ~static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(member, _mm256_setzero_si256())));
}

__attribute__((target("avx2"))) std::size_t findInSetAvx2(const char16_t* p, std::size_t n,
                                                          const UnitSet& set) noexcept {
  const SetTables t = setTables(set);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const std::uint32_t m = membershipMask(p + i, t);
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
  }
  for (; i < n; ++i) {
    if (set.has(p[i])) return i;
  }
  return n;
}

__attribute__((target("avx2"))) std::size_t findSiblingStartAvx2(const char16_t* p, std::size_t n,
                                                                 std::size_t from, char16_t sep,
                                                                 const UnitSet& set) noexcept {
  if (from == 0) {
    if (n > 0 && set.has(p[0])) return 0;
    from = 1;
  }
  const SetTables t = setTables(set);
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(sep));
  std::size_t i = from;
  for (; i + 32 <= n; i += 32) {
    const std::uint32_t m = mask32(p + i - 1, needle) & membershipMask(p + i, t);
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
  }
  for (; i < n; ++i) {
    if (p[i - 1] == sep && set.has(p[i])) return i;
  }
  return n;
}

__attribute__((target("avx2,popcnt"))) SiblingHit findSiblingAvx2(const char16_t* p, std::size_t n,
                                                                  std::size_t from, char16_t sep,
                                                                  const char16_t* pat,
                                                                  std::size_t m) noexcept {
  SiblingHit hit;
  if (siblingAt(p, n, from, sep, pat, m)) {
    hit.pos = from;
    return hit;
  }
  // Candidates begin with the pattern's first two units; one pass of loads gives those and the
  // separators, the unit after each block coming from the next. The rest is checked per
  // candidate.
  const __m256i separator = _mm256_set1_epi16(static_cast<short>(sep));
  const __m256i first = _mm256_set1_epi16(static_cast<short>(pat[0]));
  const char16_t secondUnit = m > 1 ? pat[1] : pat[0];
  const __m256i second = _mm256_set1_epi16(static_cast<short>(secondUnit));
  hit.separators = p[from] == sep ? 1 : 0;
  std::size_t i = from + 1;
  for (; i + 32 < n; i += 32) {
    const __m256i a = load(p + i);
    const __m256i b = load(p + i + 16);
    const std::uint32_t starts =
        inOrder(_mm256_cmpeq_epi16(a, first), _mm256_cmpeq_epi16(b, first));
    const std::uint32_t seps =
        inOrder(_mm256_cmpeq_epi16(a, separator), _mm256_cmpeq_epi16(b, separator));
    std::uint32_t candidates = starts;
    if (m > 1 && candidates != 0) {
      const std::uint32_t seconds =
          inOrder(_mm256_cmpeq_epi16(a, second), _mm256_cmpeq_epi16(b, second));
      candidates &= (seconds >> 1) | (p[i + 32] == secondUnit ? 0x80000000u : 0u);
    }
    while (candidates != 0) {
      const unsigned k = static_cast<unsigned>(std::countr_zero(candidates));
      const std::size_t q = i + k;
      if (p[q - 1] == sep && siblingAt(p, n, q, sep, pat, m)) {
        hit.pos = q;
        hit.separators += static_cast<std::size_t>(std::popcount(seps & ((1u << k) - 1u)));
        return hit;
      }
      candidates &= candidates - 1;
    }
    hit.separators += static_cast<std::size_t>(std::popcount(seps));
  }
  for (; i < n; ++i) {
    if (p[i - 1] == sep && siblingAt(p, n, i, sep, pat, m)) {
      hit.pos = i;
      return hit;
    }
    hit.separators += p[i] == sep;
  }
  hit.pos = n;
  return hit;
}

__attribute__((target("avx2,popcnt"))) std::size_t convertUnitsAvx2(
    char16_t* p, std::size_t n, const ConvertRule* rules, std::size_t k,
    std::uint64_t& converted) noexcept {
  __m256i units[kMaxConvertRules][4];
  __m256i to[kMaxConvertRules];
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t j = 0; j < 4; ++j) {
      // Unused slots repeat the first unit, which changes nothing.
      const char16_t u = rules[r].units[j < rules[r].count ? j : 0];
      units[r][j] = _mm256_set1_epi16(static_cast<short>(u));
    }
    to[r] = _mm256_set1_epi16(static_cast<short>(rules[r].to));
  }
  std::size_t out = 0;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i x = load(p + i);
    __m256i result = x;
    std::uint32_t removed = 0;
    for (std::size_t r = 0; r < k; ++r) {
      __m256i hit = _mm256_cmpeq_epi16(x, units[r][0]);
      for (std::size_t j = 1; j < rules[r].count; ++j) {
        hit = _mm256_or_si256(hit, _mm256_cmpeq_epi16(x, units[r][j]));
      }
      const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
      if (mask == 0) continue;
      converted += static_cast<std::uint64_t>(std::popcount(mask) / 2) * rules[r].weight;
      if (rules[r].remove)
        removed |= mask;
      else
        result = _mm256_blendv_epi8(result, to[r], hit);
    }
    // The block was read before anything is written at out <= i.
    if (removed == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + out), result);
      out += 16;
      continue;
    }
    alignas(32) char16_t block[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(block), result);
    for (unsigned j = 0; j < 16; ++j) {
      if (((removed >> (2 * j)) & 1u) == 0) p[out++] = block[j];
    }
  }
  const std::size_t tail = convertUnitsPortable(p + i, n - i, rules, k, converted);
  std::memmove(p + out, p + i, tail * sizeof(char16_t));
  return out + tail;
}

// Units at or beyond bound: x >= bound (x <= bound when descending), unsigned, by min/max.
__attribute__((target("avx2"))) inline __m256i beyondBound(__m256i x, __m256i bound,
                                                           bool descending) noexcept {
  return descending ? _mm256_cmpeq_epi16(_mm256_min_epu16(x, bound), x)
                    : _mm256_cmpeq_epi16(_mm256_max_epu16(x, bound), x);
}

__attribute__((target("avx2,popcnt"))) SiblingHit findOrderedCandidateAvx2(
    const char16_t* p, std::size_t n, std::size_t from, char16_t sep, char16_t first,
    char16_t second, bool useSecond, bool descending) noexcept {
  SiblingHit hit;
  if (orderedCandidate(p, n, from, sep, first, second, useSecond, descending)) {
    hit.pos = from;
    return hit;
  }
  const __m256i separator = _mm256_set1_epi16(static_cast<short>(sep));
  const __m256i f = _mm256_set1_epi16(static_cast<short>(first));
  const __m256i g = _mm256_set1_epi16(static_cast<short>(second));
  hit.separators = p[from] == sep ? 1 : 0;
  std::size_t i = from + 1;
  for (; i + 33 <= n; i += 32) {
    const __m256i a = load(p + i);
    const __m256i b = load(p + i + 16);
    const std::uint32_t seps =
        inOrder(_mm256_cmpeq_epi16(a, separator), _mm256_cmpeq_epi16(b, separator));
    const std::uint32_t starts = (seps << 1) | (p[i - 1] == sep ? 1u : 0u);
    std::uint32_t atLeast =
        inOrder(beyondBound(a, f, descending), beyondBound(b, f, descending));  // includes equal
    if (descending) atLeast |= seps;
    std::uint32_t candidates = starts & atLeast;
    if (candidates != 0 && useSecond) {
      const std::uint32_t equal = inOrder(_mm256_cmpeq_epi16(a, f), _mm256_cmpeq_epi16(b, f));
      const __m256i a1 = load(p + i + 1);
      const __m256i b1 = load(p + i + 17);
      std::uint32_t secondOk =
          inOrder(beyondBound(a1, g, descending), beyondBound(b1, g, descending));
      if (descending) {
        secondOk |= inOrder(_mm256_cmpeq_epi16(a1, separator), _mm256_cmpeq_epi16(b1, separator));
      }
      // An empty sibling (its first unit is the separator, which may equal first) stays.
      candidates &= ~equal | secondOk | (descending ? seps : 0u);
    }
    if (candidates != 0) {
      const unsigned k = static_cast<unsigned>(std::countr_zero(candidates));
      hit.pos = i + k;
      hit.separators += static_cast<std::size_t>(std::popcount(seps & ((1u << k) - 1u)));
      return hit;
    }
    hit.separators += static_cast<std::size_t>(std::popcount(seps));
  }
  for (; i < n; ++i) {
    if (p[i - 1] == sep && orderedCandidate(p, n, i, sep, first, second, useSecond, descending)) {
      hit.pos = i;
      return hit;
    }
    hit.separators += p[i] == sep;
  }
  hit.pos = n;
  return hit;
}

__attribute__((target("avx2,popcnt"))) SiblingHit findSiblingStartPairAvx2(
    const char16_t* p, std::size_t n, std::size_t from, char16_t sep, const UnitSet& first,
    const UnitSet& second, const UnitSet& free) noexcept {
  SiblingHit hit;
  if (pairAt(p, n, from, first, second, free)) {
    hit.pos = from;
    return hit;
  }
  const SetTables t0 = setTables(first), t1 = setTables(second), tf = setTables(free);
  const __m256i separator = _mm256_set1_epi16(static_cast<short>(sep));
  hit.separators = p[from] == sep ? 1 : 0;
  std::size_t i = from + 1;
  for (; i + 33 <= n; i += 32) {
    const std::uint32_t seps = inOrder(_mm256_cmpeq_epi16(load(p + i), separator),
                                       _mm256_cmpeq_epi16(load(p + i + 16), separator));
    const std::uint32_t starts = (seps << 1) | (p[i - 1] == sep ? 1u : 0u);
    std::uint32_t candidates = starts & membershipMask(p + i, t0);
    if (candidates != 0) {
      const std::uint32_t next =
          (membershipMask(p + i, t1) >> 1) | (second.has(p[i + 32]) ? 0x80000000u : 0u);
      candidates &= next | membershipMask(p + i, tf);
    }
    if (candidates != 0) {
      const unsigned k = static_cast<unsigned>(std::countr_zero(candidates));
      hit.pos = i + k;
      hit.separators += static_cast<std::size_t>(std::popcount(seps & ((1u << k) - 1u)));
      return hit;
    }
    hit.separators += static_cast<std::size_t>(std::popcount(seps));
  }
  for (; i < n; ++i) {
    if (p[i - 1] == sep && pairAt(p, n, i, first, second, free)) {
      hit.pos = i;
      return hit;
    }
    hit.separators += p[i] == sep;
  }
  hit.pos = n;
  return hit;
}

__attribute__((target("avx2,popcnt"))) std::size_t countInSetUnlessAvx2(
    const char16_t* p, std::size_t n, const UnitSet& counted, const UnitSet& stop) noexcept {
  const SetTables c = setTables(counted);
  const SetTables s = setTables(stop);
  std::size_t count = 0, i = 0;
  for (; i + 32 <= n; i += 32) {
    if (membershipMask(p + i, s) != 0) return kNone;
    count += static_cast<std::size_t>(std::popcount(membershipMask(p + i, c)));
  }
  for (; i < n; ++i) {
    if (stop.has(p[i])) return kNone;
    count += counted.has(p[i]) ? 1 : 0;
  }
  return count;
}

bool useAvx2() noexcept {
  static const bool kHasAvx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return kHasAvx2 && !gPortable;
}

#else

constexpr bool useAvx2() noexcept {
  return false;
}

#endif

}  // namespace

bool forcePortable(bool on) noexcept {
  return std::exchange(gPortable, on);
}

std::size_t findUnit(const char16_t* p, std::size_t n, char16_t c) noexcept {
#if TARN_SCAN_X86
  if (useAvx2()) return findUnitAvx2(p, n, c);
#endif
  return findUnitPortable(p, n, c);
}

std::size_t countUnit(const char16_t* p, std::size_t n, char16_t c) noexcept {
#if TARN_SCAN_X86
  if (useAvx2()) return countUnitAvx2(p, n, c);
#endif
  return countUnitPortable(p, n, c);
}

NthResult findNth(const char16_t* p, std::size_t n, char16_t c, std::size_t k) noexcept {
  if (k == 0) return {};
#if TARN_SCAN_X86
  if (useAvx2()) return findNthAvx2(p, n, c, k);
#endif
  return findNthPortable(p, n, c, k);
}

NthResult findNthBackward(const char16_t* p, std::size_t n, char16_t c, std::size_t k) noexcept {
  if (k == 0) return {};
#if TARN_SCAN_X86
  if (useAvx2()) return findNthBackwardAvx2(p, n, c, k);
#endif
  return findNthBackwardPortable(p, n, c, k);
}

std::size_t findText(const char16_t* p, std::size_t n, const char16_t* pat, std::size_t m,
                     std::size_t from) noexcept {
  if (from > n) return n;
  if (m == 0) return from;
#if TARN_SCAN_X86
  if (useAvx2()) return findTextAvx2(p, n, pat, m, from);
#endif
  return findTextPortable(p, n, pat, m, from);
}

std::size_t findSiblingStart(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                             const UnitSet& set) noexcept {
  if (from >= n) return n;
#if TARN_SCAN_X86
  if (useAvx2()) return findSiblingStartAvx2(p, n, from, sep, set);
#endif
  return findSiblingStartPortable(p, n, from, sep, set);
}

SiblingHit findSibling(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                       const char16_t* pat, std::size_t m) noexcept {
  if (from >= n) return {n, 0};
#if TARN_SCAN_X86
  if (useAvx2()) return findSiblingAvx2(p, n, from, sep, pat, m);
#endif
  return findSiblingPortable(p, n, from, sep, pat, m);
}

std::size_t convertUnits(char16_t* p, std::size_t n, const ConvertRule* rules, std::size_t k,
                         std::uint64_t& converted) noexcept {
#if TARN_SCAN_X86
  if (useAvx2()) return convertUnitsAvx2(p, n, rules, k, converted);
#endif
  return convertUnitsPortable(p, n, rules, k, converted);
}

SiblingHit findOrderedCandidate(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                                char16_t first, char16_t second, bool useSecond,
                                bool descending) noexcept {
  if (from >= n) return {n, 0};
#if TARN_SCAN_X86
  if (useAvx2()) {
    return findOrderedCandidateAvx2(p, n, from, sep, first, second, useSecond, descending);
  }
#endif
  return findOrderedCandidatePortable(p, n, from, sep, first, second, useSecond, descending);
}

SiblingHit findSiblingStartPair(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                                const UnitSet& first, const UnitSet& second,
                                const UnitSet& free) noexcept {
  if (from >= n) return {n, 0};
#if TARN_SCAN_X86
  if (useAvx2()) return findSiblingStartPairAvx2(p, n, from, sep, first, second, free);
#endif
  return findSiblingStartPairPortable(p, n, from, sep, first, second, free);
}

std::size_t countInSetUnless(const char16_t* p, std::size_t n, const UnitSet& counted,
                             const UnitSet& stop) noexcept {
#if TARN_SCAN_X86
  if (useAvx2()) return countInSetUnlessAvx2(p, n, counted, stop);
#endif
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (stop.has(p[i])) return kNone;
    count += counted.has(p[i]) ? 1 : 0;
  }
  return count;
}

std::size_t findInSet(const char16_t* p, std::size_t n, const UnitSet& set) noexcept {
#if TARN_SCAN_X86
  if (useAvx2()) return findInSetAvx2(p, n, set);
#endif
  return findInSetPortable(p, n, set);
}

}  // namespace tarn::scan
