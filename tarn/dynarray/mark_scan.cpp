#include <algorithm>
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

Path gLimit = Path::kBest;

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

// Walks the siblings from q on (a sibling starts at from and after each separator) until isHit
// accepts one; the separators passed are added to hit. The vector scans finish their tails here.
template <class IsHit>
SiblingHit walkSiblings(const char16_t* p, std::size_t n, std::size_t from, std::size_t q,
                        char16_t sep, SiblingHit hit, IsHit isHit) noexcept {
  for (; q < n; ++q) {
    if ((q == from || p[q - 1] == sep) && isHit(q)) {
      hit.pos = q;
      return hit;
    }
    hit.separators += p[q] == sep;
  }
  hit.pos = n;
  return hit;
}

SiblingHit findSiblingPortable(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                               const char16_t* pat, std::size_t m) noexcept {
  return walkSiblings(p, n, from, from, sep, SiblingHit{},
                      [&](std::size_t q) { return siblingAt(p, n, q, sep, pat, m); });
}

// Where the vector searches test a candidate sibling before comparing it whole: two offsets into
// the pattern followed by its separator. The first two units filter nothing when every sibling
// shares them (a list of numbered ids), so the offsets are those where the first few siblings of
// the list itself differ most from the pattern.
struct Probes {
  std::size_t first = 0, second = 1;
};

// The first few sibling starts from from on, where the probes are chosen; returns how many.
constexpr std::size_t kSamples = 3;
std::size_t sampleStarts(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                         std::size_t (&starts)[kSamples]) noexcept {
  std::size_t k = 0;
  for (std::size_t s = from; k < kSamples && s < n; s += findUnit(p + s, n - s, sep) + 1)
    starts[k++] = s;
  return k;
}

// The probes from the samples: bit j of a sample says that its sibling holds the pattern's unit
// at offset j, and valid has a bit for every offset that may be probed. The offsets that fewest
// samples matched win; ties go to the lower offset.
Probes chooseProbes(const std::uint32_t (&e)[kSamples], std::uint32_t valid) noexcept {
  const std::uint32_t classes[] = {valid & ~(e[0] | e[1] | e[2]),
                                   valid & ~((e[0] & e[1]) | (e[0] & e[2]) | (e[1] & e[2])),
                                   valid & ~(e[0] & e[1] & e[2]), valid};
  auto pick = [&](std::uint32_t taken) {
    for (std::uint32_t c : classes) {
      if ((c & ~taken) != 0) return static_cast<std::size_t>(std::countr_zero(c & ~taken));
    }
    return std::size_t{0};
  };
  Probes probes;
  probes.first = pick(0);
  probes.second = pick(1u << probes.first);
  return probes;
}

// chooseProbes over offsets 0..15, the samples compared unit by unit.
[[maybe_unused]] Probes chooseProbesPortable(const char16_t* p, std::size_t n, std::size_t from,
                                             char16_t sep, const char16_t* pat,
                                             std::size_t m) noexcept {
  const std::size_t width = std::min<std::size_t>(m, 15) + 1;  // offset m is the separator
  std::size_t starts[kSamples];
  const std::size_t k = sampleStarts(p, n, from, sep, starts);
  std::uint32_t e[kSamples] = {};
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < width && starts[i] + j < n; ++j)
      e[i] |= std::uint32_t{p[starts[i] + j] == (j < m ? pat[j] : sep)} << j;
  }
  return chooseProbes(e, (1u << width) - 1u);
}

// The unit a sibling equal to pat holds at offset j: the pattern's, or the separator after it.
inline char16_t probeUnit(const char16_t* pat, std::size_t m, char16_t sep,
                          std::size_t j) noexcept {
  return j < m ? pat[j] : sep;
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

bool pairAt(const char16_t* p, std::size_t n, std::size_t q, const UnitSet& first,
            const UnitSet& second, const UnitSet& free) noexcept {
  return first.has(p[q]) && (free.has(p[q]) || q + 1 == n || second.has(p[q + 1]));
}

SiblingHit findSiblingStartPairPortable(const char16_t* p, std::size_t n, std::size_t from,
                                        char16_t sep, const UnitSet& first, const UnitSet& second,
                                        const UnitSet& free) noexcept {
  return walkSiblings(p, n, from, from, sep, SiblingHit{},
                      [&](std::size_t q) { return pairAt(p, n, q, first, second, free); });
}

// The code-unit order of the sibling at q against pat[0, m): negative, zero or positive. A sibling
// ends at sep or at n, and one that ends first sorts first.
// Units before skip are known to be equal and not separators.
int compareSibling(const char16_t* p, std::size_t n, std::size_t q, char16_t sep,
                   const char16_t* pat, std::size_t m, std::size_t skip = 0) noexcept {
  for (std::size_t j = skip;; ++j) {
    const bool ended = q + j >= n || p[q + j] == sep;
    if (j == m) return ended ? 0 : 1;
    if (ended) return -1;
    if (p[q + j] != pat[j]) return p[q + j] < pat[j] ? -1 : 1;
  }
}

bool stopsAt(int order, bool descending) noexcept {
  return descending ? order <= 0 : order >= 0;
}

OrderedHit findOrderedStopPortable(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                                   const char16_t* pat, std::size_t m, bool descending) noexcept {
  OrderedHit hit;
  for (std::size_t q = from;;) {
    const int order = compareSibling(p, n, q, sep, pat, m);
    if (stopsAt(order, descending)) {
      hit.pos = q;
      hit.stopped = true;
      hit.equal = order == 0;
      return hit;
    }
    const std::size_t end = q + findUnitPortable(p + q, n - q, sep);
    if (end == n) break;
    ++hit.separators;
    q = end + 1;
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

// Separator counts kept in 16-bit lanes (compare results are -1), folded into a total before a
// lane can overflow: a block costs two adds instead of a movemask and a popcount.
struct LaneCount {
  __m256i lanes;
  std::size_t folded = 0;
  unsigned blocks = 0;
};
inline constexpr unsigned kFoldEvery = 8192;  // two per block per lane stays below 2^15

__attribute__((target("avx2"))) inline std::size_t laneSum(__m256i lanes) noexcept {
  const __m256i pairs = _mm256_madd_epi16(lanes, _mm256_set1_epi16(-1));
  const __m128i four =
      _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
  const __m128i two = _mm_add_epi32(four, _mm_unpackhi_epi64(four, four));
  const __m128i one = _mm_add_epi32(two, _mm_shuffle_epi32(two, 0x55));
  return static_cast<std::size_t>(static_cast<std::uint32_t>(_mm_cvtsi128_si32(one)));
}

__attribute__((target("avx2"))) inline void countBlock(LaneCount& c, __m256i a,
                                                       __m256i b) noexcept {
  c.lanes = _mm256_add_epi16(c.lanes, _mm256_add_epi16(a, b));
  if (++c.blocks >= kFoldEvery) {
    c.folded += laneSum(c.lanes);
    c.lanes = _mm256_setzero_si256();
    c.blocks = 0;
  }
}

__attribute__((target("avx2"))) inline std::size_t countTotal(const LaneCount& c) noexcept {
  return c.folded + laneSum(c.lanes);
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

__attribute__((target("avx2,popcnt"))) NthResult findNthBackwardAvx2(const char16_t* p,
                                                                     std::size_t n, char16_t c,
                                                                     std::size_t k) noexcept;

__attribute__((target("avx2,popcnt"))) NthResult findNthAvx2(const char16_t* p, std::size_t n,
                                                             char16_t c, std::size_t k) noexcept {
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(c));
  NthResult r;
  std::size_t i = 0;
  // The loop only counts, as a plain scan to the k-th would: where the last occurrence lies is
  // looked for once, going back, when the buffer runs out first.
  for (; i + 32 <= n; i += 32) {
    const std::uint32_t m = mask32(p + i, needle);
    const auto pc = static_cast<std::size_t>(std::popcount(m));
    if (r.count + pc >= k) {
      r.pos = i + nthBit(m, k - r.count);
      r.count = k;
      return r;
    }
    r.count += pc;
  }
  if (r.count > 0) r.pos = findNthBackwardAvx2(p, i, c, 1).pos;
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

// The first 16 units of a pattern for checking a candidate in one compare: the pattern, then (when
// it is shorter) the separator that must end an equal sibling.
__attribute__((target("avx2"))) inline __m256i patternHead(const char16_t* pat, std::size_t m,
                                                           char16_t sep) noexcept {
  alignas(32) char16_t head[16] = {};
  const std::size_t k = m < 16 ? m : 16;
  std::memcpy(head, pat, k * sizeof(char16_t));
  if (m < 16) head[m] = sep;
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(head));
}

// siblingAt with the candidate's first 16 units checked by one compare where they can be read.
__attribute__((target("avx2"))) inline bool siblingAtVector(const char16_t* p, std::size_t n,
                                                            std::size_t q, char16_t sep,
                                                            const char16_t* pat, std::size_t m,
                                                            __m256i head) noexcept {
  if (m >= 16 || q + 16 > n) return siblingAt(p, n, q, sep, pat, m);
  const auto equal =
      static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(load(p + q), head)));
  const std::uint32_t need = m == 15 ? ~0u : (1u << (2 * (m + 1))) - 1u;
  return (equal & need) == need;
}

// compareSibling with the first 16 units compared at once where they can be read: the first unit
// that differs, ends the sibling or ends the pattern decides.
__attribute__((target("avx2"))) inline int compareSiblingVector(const char16_t* p, std::size_t n,
                                                                std::size_t q, char16_t sep,
                                                                const char16_t* pat, std::size_t m,
                                                                __m256i head,
                                                                __m256i separator) noexcept {
  if (q + 16 > n) return compareSibling(p, n, q, sep, pat, m);
  const __m256i x = load(p + q);
  const auto equal = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(x, head)));
  const auto seps =
      static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(x, separator)));
  std::uint32_t decides = ~equal | seps;
  if (m < 16) decides |= 1u << (2 * m);
  if (decides == 0) return compareSibling(p, n, q, sep, pat, m, 16);
  const auto j = static_cast<std::size_t>(std::countr_zero(decides)) / 2;
  const bool ended = ((seps >> (2 * j)) & 1u) != 0;
  if (j == m) return ended ? 0 : 1;
  if (ended) return -1;
  return p[q + j] < pat[j] ? -1 : 1;
}

__attribute__((target("avx2,popcnt"))) SiblingHit findSiblingAvx2(const char16_t* p, std::size_t n,
                                                                  std::size_t from, char16_t sep,
                                                                  const char16_t* pat,
                                                                  std::size_t m,
                                                                  Probes probes) noexcept {
  SiblingHit hit;
  if (siblingAt(p, n, from, sep, pat, m)) {
    hit.pos = from;
    return hit;
  }
  // A candidate follows a separator and holds the pattern's units at the two probe offsets.
  // Candidates are rare, so a block is judged on them alone in vector registers; its masks are
  // only made when it has one. Separators are compared one unit back, at p + i - 1: the same
  // compare tells whether a unit starts a sibling and counts the separators, in lanes, of
  // p[from, i - 1).
  const __m256i separator = _mm256_set1_epi16(static_cast<short>(sep));
  const __m256i first = _mm256_set1_epi16(static_cast<short>(probeUnit(pat, m, sep, probes.first)));
  const __m256i second =
      _mm256_set1_epi16(static_cast<short>(probeUnit(pat, m, sep, probes.second)));
  const std::size_t reachBeyond = std::max(probes.first, probes.second);  // units read past a block
  const __m256i head = patternHead(pat, m, sep);
  LaneCount count{_mm256_setzero_si256()};
  // Offset of the sibling sought among the 32 units at p + i, or 32. It touches neither the count
  // nor hit, so that the loop keeps both in registers around this rarely taken call.
  auto firstHit = [&](std::size_t i, __m256i ca, __m256i cb)
      __attribute__((target("avx2,popcnt"))) {
    for (std::uint32_t candidates = inOrder(ca, cb); candidates != 0;
         candidates &= candidates - 1) {
      const auto k = static_cast<unsigned>(std::countr_zero(candidates));
      if (siblingAtVector(p, n, i + k, sep, pat, m, head)) return k;
    }
    return 32u;
  };
  // The sibling at p + i + k, with the separators before it counted into hit: sa and sb, compared
  // one unit back, hold those of p[i - 1, i + k) in their first k + 1 lanes.
  auto hitAt = [&](std::size_t i, unsigned k, __m256i sa, __m256i sb)
      __attribute__((target("avx2,popcnt"), always_inline)) {
    hit.pos = i + k;
    hit.separators += countTotal(count) +
                      static_cast<std::size_t>(std::popcount(inOrder(sa, sb) & ((2u << k) - 1u)));
    return hit;
  };
  auto separatorsBefore = [&](std::size_t at) __attribute__((target("avx2"))) {
    return _mm256_cmpeq_epi16(load(p + at - 1), separator);
  };
  auto candidatesAt = [&](std::size_t at, __m256i before) __attribute__((target("avx2"))) {
    const __m256i pair = _mm256_and_si256(_mm256_cmpeq_epi16(load(p + at + probes.first), first),
                                          _mm256_cmpeq_epi16(load(p + at + probes.second), second));
    return _mm256_and_si256(pair, before);
  };
  std::size_t i = from + 1;
  // The 64-unit blocks run in stretches short enough that no lane overflows (each block adds at
  // most 4 to a lane), folded after each: the loop itself keeps no block count.
  constexpr std::size_t kStretch = 64 * (kFoldEvery / 2);
  while (i + 64 + reachBeyond <= n) {
    const std::size_t stop = std::min(n - 63 - reachBeyond, i + kStretch);  // blocks start below
    for (; i < stop; i += 64) {
      const __m256i sa = separatorsBefore(i), sb = separatorsBefore(i + 16);
      const __m256i sc = separatorsBefore(i + 32), sd = separatorsBefore(i + 48);
      const __m256i ca = candidatesAt(i, sa), cb = candidatesAt(i + 16, sb);
      const __m256i cc = candidatesAt(i + 32, sc), cd = candidatesAt(i + 48, sd);
      const __m256i any = _mm256_or_si256(_mm256_or_si256(ca, cb), _mm256_or_si256(cc, cd));
      if (!_mm256_testz_si256(any, any)) {
        if (const unsigned k = firstHit(i, ca, cb); k < 32) return hitAt(i, k, sa, sb);
        if (const unsigned k = firstHit(i + 32, cc, cd); k < 32) {
          count.lanes = _mm256_add_epi16(count.lanes, _mm256_add_epi16(sa, sb));
          return hitAt(i + 32, k, sc, sd);
        }
      }
      count.lanes = _mm256_add_epi16(
          count.lanes, _mm256_add_epi16(_mm256_add_epi16(sa, sb), _mm256_add_epi16(sc, sd)));
    }
    count.folded += laneSum(count.lanes);
    count.lanes = _mm256_setzero_si256();
  }
  for (; i + 32 + reachBeyond <= n; i += 32) {
    const __m256i sa = separatorsBefore(i), sb = separatorsBefore(i + 16);
    const __m256i ca = candidatesAt(i, sa), cb = candidatesAt(i + 16, sb);
    if (const unsigned k = firstHit(i, ca, cb); k < 32) return hitAt(i, k, sa, sb);
    countBlock(count, sa, sb);
  }
  hit.separators = countTotal(count) + (p[i - 1] == sep ? 1 : 0);
  return walkSiblings(p, n, from, i, sep, hit,
                      [&](std::size_t q) { return siblingAt(p, n, q, sep, pat, m); });
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

__attribute__((target("avx2"))) inline __m256i atLeast(__m256i x, __m256i bound) noexcept {
  return _mm256_cmpeq_epi16(_mm256_max_epu16(x, bound), x);
}

__attribute__((target("avx2"))) inline __m256i atMost(__m256i x, __m256i bound) noexcept {
  return _mm256_cmpeq_epi16(_mm256_min_epu16(x, bound), x);
}

// Sibling starts in the 16 units at p that may stop an ordered search, judged on their first two
// units: x0 and x1 are the units at and after each, s0 and s1 where those are the separator. A
// start is dropped only when its first two units (or its end) already place it on the passing
// side. p[-1] and p[16] must be readable.
__attribute__((target("avx2"))) inline __m256i orderedStarts(const char16_t* p, __m256i s0,
                                                             __m256i x0, __m256i separator,
                                                             __m256i first, __m256i second,
                                                             bool one, bool descending) noexcept {
  const __m256i starts = _mm256_cmpeq_epi16(load(p - 1), separator);
  // Ascending, an empty sibling sorts first and passes; descending, it stops.
  __m256i keep = descending ? _mm256_or_si256(s0, atMost(x0, first))
                            : _mm256_andnot_si256(s0, atLeast(x0, first));
  keep = _mm256_and_si256(keep, starts);
  if (_mm256_testz_si256(keep, keep)) return keep;
  // Where the first unit equals the pattern's, the second decides whether it can stop.
  const __m256i equal = _mm256_andnot_si256(s0, _mm256_cmpeq_epi16(x0, first));
  const __m256i x1 = load(p + 1);
  const __m256i s1 = _mm256_cmpeq_epi16(x1, separator);
  __m256i passes;
  if (one) {
    if (!descending) return keep;  // every sibling starting with the pattern is at or after it
    passes = _mm256_andnot_si256(s1, equal);
  } else if (descending) {
    passes = _mm256_andnot_si256(_mm256_or_si256(s1, atMost(x1, second)), equal);
  } else {
    passes = _mm256_and_si256(
        equal, _mm256_or_si256(s1, _mm256_xor_si256(atLeast(x1, second), _mm256_set1_epi16(-1))));
  }
  return _mm256_andnot_si256(passes, keep);
}

// Whether the ordered search stops at the sibling at q; if so, records it in hit.
__attribute__((target("avx2"))) inline bool stopAtVector(
    const char16_t* p, std::size_t n, std::size_t q, char16_t sep, const char16_t* pat,
    std::size_t m, __m256i head, __m256i separator, bool descending, OrderedHit& hit) noexcept {
  const int order = compareSiblingVector(p, n, q, sep, pat, m, head, separator);
  if (!stopsAt(order, descending)) return false;
  hit.pos = q;
  hit.stopped = true;
  hit.equal = order == 0;
  return true;
}

__attribute__((target("avx2,popcnt"))) OrderedHit findOrderedStopAvx2(
    const char16_t* p, std::size_t n, std::size_t from, char16_t sep, const char16_t* pat,
    std::size_t m, bool descending) noexcept {
  OrderedHit hit;
  const __m256i separator = _mm256_set1_epi16(static_cast<short>(sep));
  const __m256i head = patternHead(pat, m, sep);
  if (stopAtVector(p, n, from, sep, pat, m, head, separator, descending, hit)) return hit;
  if (from == n) {
    hit.pos = n;
    return hit;
  }
  const __m256i first = _mm256_set1_epi16(static_cast<short>(pat[0]));
  const __m256i second = _mm256_set1_epi16(static_cast<short>(m > 1 ? pat[1] : 0));
  LaneCount count{_mm256_setzero_si256()};
  hit.separators = p[from] == sep ? 1 : 0;
  std::size_t i = from + 1;
  for (; i + 33 <= n; i += 32) {
    const __m256i a = load(p + i);
    const __m256i b = load(p + i + 16);
    const __m256i sa = _mm256_cmpeq_epi16(a, separator);
    const __m256i sb = _mm256_cmpeq_epi16(b, separator);
    const __m256i ca = orderedStarts(p + i, sa, a, separator, first, second, m == 1, descending);
    const __m256i cb =
        orderedStarts(p + i + 16, sb, b, separator, first, second, m == 1, descending);
    const __m256i any = _mm256_or_si256(ca, cb);
    if (!_mm256_testz_si256(any, any)) {
      std::uint32_t candidates = inOrder(ca, cb);
      do {
        const unsigned k = static_cast<unsigned>(std::countr_zero(candidates));
        if (stopAtVector(p, n, i + k, sep, pat, m, head, separator, descending, hit)) {
          const std::uint32_t seps = inOrder(sa, sb);
          hit.separators +=
              countTotal(count) + static_cast<std::size_t>(std::popcount(seps & ((1u << k) - 1u)));
          return hit;
        }
        candidates &= candidates - 1;
      } while (candidates != 0);
    }
    countBlock(count, sa, sb);
  }
  hit.separators += countTotal(count);
  // The tail, up to the empty sibling a final separator leaves at n.
  for (; i <= n; ++i) {
    if (p[i - 1] == sep && stopAtVector(p, n, i, sep, pat, m, head, separator, descending, hit))
      return hit;
    if (i < n) hit.separators += p[i] == sep;
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
  return walkSiblings(p, n, from, i, sep, hit,
                      [&](std::size_t q) { return pairAt(p, n, q, first, second, free); });
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

// ---- AVX-512 ---------------------------------------------------------------------------------
// Compares go straight into masks, one bit per unit in order, so the sibling searches count
// separators and filter candidates without packing. The hot loops make no calls (a call would
// push their counters to memory); a round with candidates leaves the loop to check them.

#define TARN_AVX512 __attribute__((target("avx512f,avx512bw,bmi,bmi2,popcnt")))

TARN_AVX512 inline __m512i load512(const char16_t* p) noexcept {
  return _mm512_loadu_si512(p);
}

// The pattern's first 32 units, then (when it is shorter) the separator that ends an equal sibling.
TARN_AVX512 inline __m512i patternHead512(const char16_t* pat, std::size_t m,
                                          char16_t sep) noexcept {
  // Built in registers: a vector load of units just stored one by one would wait for the stores.
  if (m >= 32) return _mm512_loadu_si512(pat);
  const __m512i head = _mm512_maskz_loadu_epi16(_bzhi_u32(~0u, static_cast<unsigned>(m)), pat);
  return _mm512_mask_set1_epi16(head, 1u << m, static_cast<short>(sep));
}

// Units p[q, n) that can be read as one masked block, at most 32.
TARN_AVX512 inline std::uint32_t reach(std::size_t n, std::size_t q) noexcept {
  return n - q >= 32 ? ~0u : _bzhi_u32(~0u, static_cast<unsigned>(n - q));
}

TARN_AVX512 inline __attribute__((always_inline)) bool siblingAt512(
    const char16_t* p, std::size_t n, std::size_t q, char16_t sep, const char16_t* pat,
    std::size_t m, __m512i head) noexcept {
  if (m >= 32) return siblingAt(p, n, q, sep, pat, m);
  if (q + m > n) return false;
  // The separator after the pattern is checked too, unless the sibling ends the list.
  const std::uint32_t need = _bzhi_u32(~0u, static_cast<unsigned>(q + m == n ? m : m + 1));
  const __m512i x = _mm512_maskz_loadu_epi16(need, p + q);
  return _mm512_mask_cmpeq_epi16_mask(need, x, head) == need;
}

TARN_AVX512 inline __attribute__((always_inline)) int compareSibling512(
    const char16_t* p, std::size_t n, std::size_t q, char16_t sep, const char16_t* pat,
    std::size_t m, __m512i head, __m512i separator) noexcept {
  const std::uint32_t readable = reach(n, q);
  const __m512i x = _mm512_maskz_loadu_epi16(readable, p + q);
  const std::uint32_t equal = _mm512_mask_cmpeq_epi16_mask(readable, x, head);
  std::uint32_t ends = _mm512_mask_cmpeq_epi16_mask(readable, x, separator);
  if (n - q < 32) ends |= 1u << (n - q);
  std::uint32_t decides = (~equal & readable) | ends;
  if (m < 32) decides |= 1u << m;
  if (decides == 0) return compareSibling(p, n, q, sep, pat, m, 32);
  const auto j = static_cast<std::size_t>(std::countr_zero(decides));
  const bool ended = ((ends >> j) & 1u) != 0;
  if (j == m) return ended ? 0 : 1;
  if (ended) return -1;
  return p[q + j] < pat[j] ? -1 : 1;
}

// The probes from the first siblings at from: one compare finds where the next two start when the
// first are short (as in lists of ids), so that the choice costs no chain of dependent scans.
TARN_AVX512 Probes sampleProbes512(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                                   std::size_t m, __m512i head) noexcept {
  std::size_t starts[kSamples];
  std::size_t k = 0;
  const std::uint32_t near = reach(n, from);
  const std::uint32_t seps = _mm512_mask_cmpeq_epi16_mask(
      near, _mm512_maskz_loadu_epi16(near, p + from), _mm512_set1_epi16(static_cast<short>(sep)));
  if (std::popcount(seps) >= static_cast<int>(kSamples) - 1) {
    starts[k++] = from;
    for (std::uint32_t rest = seps; k < kSamples; rest &= rest - 1) {
      const std::size_t s = from + static_cast<std::size_t>(std::countr_zero(rest)) + 1;
      if (s >= n) break;
      starts[k++] = s;
    }
  } else {
    k = sampleStarts(p, n, from, sep, starts);
  }
  const std::uint32_t valid = m >= 32 ? ~0u : _bzhi_u32(~0u, static_cast<unsigned>(m + 1));
  std::uint32_t e[kSamples] = {};
  for (std::size_t i = 0; i < k; ++i) {
    const std::uint32_t readable = reach(n, starts[i]) & valid;
    e[i] = _mm512_mask_cmpeq_epi16_mask(readable, _mm512_maskz_loadu_epi16(readable, p + starts[i]),
                                        head);
  }
  return chooseProbes(e, valid);
}

TARN_AVX512 SiblingHit findSiblingAvx512(const char16_t* p, std::size_t n, std::size_t from,
                                         char16_t sep, const char16_t* pat,
                                         std::size_t m) noexcept {
  SiblingHit hit;
  const __m512i head = patternHead512(pat, m, sep);
  if (siblingAt512(p, n, from, sep, pat, m, head)) {
    hit.pos = from;
    return hit;
  }
  const Probes probes = sampleProbes512(p, n, from, sep, m, head);
  // A candidate follows a separator and holds the pattern's units at the two probe offsets: each
  // compare is masked by the one before, so a block of 64 units costs six compares and one test.
  // Separators are compared one unit back, at p + at - 1, and counted from the masks.
  const __m512i separator = _mm512_set1_epi16(static_cast<short>(sep));
  const __m512i first = _mm512_set1_epi16(static_cast<short>(probeUnit(pat, m, sep, probes.first)));
  const __m512i second =
      _mm512_set1_epi16(static_cast<short>(probeUnit(pat, m, sep, probes.second)));
  const std::size_t reachBeyond = std::max(probes.first, probes.second);
  std::size_t separators = 0;  // in p[from, i - 1)
  // The sibling sought among the candidates of the 32 units at p + at, recorded in hit; seps has
  // the separators of p[at - 1, at + 31), and before counts those of p[from, at - 1).
  auto found = [&](std::size_t at, std::uint32_t candidates, std::uint32_t seps,
                   std::size_t before) TARN_AVX512 {
    for (; candidates != 0; candidates &= candidates - 1) {
      const auto k = static_cast<unsigned>(std::countr_zero(candidates));
      if (siblingAt512(p, n, at + k, sep, pat, m, head)) {
        hit.pos = at + k;
        hit.separators = before + static_cast<std::size_t>(std::popcount(_bzhi_u32(seps, k + 1)));
        return true;
      }
    }
    return false;
  };
  // A block of up to 32 units at p + i, the units of live only, read with masked loads: the head
  // up to the first aligned block and the tail. A probe past the end cannot rule a sibling out
  // (its unit may be the end of the list itself), so only the whole compare decides there.
  auto probed = [&](std::size_t at, __m512i unit) TARN_AVX512 {
    const std::uint32_t readable = at < n ? reach(n, at) : 0u;
    return _mm512_mask_cmpeq_epi16_mask(readable, _mm512_maskz_loadu_epi16(readable, p + at),
                                        unit) |
           ~readable;
  };
  auto maskedBlock = [&](std::size_t at, std::uint32_t live) TARN_AVX512 {
    const std::uint32_t seps =
        _mm512_mask_cmpeq_epi16_mask(live, _mm512_maskz_loadu_epi16(live, p + at - 1), separator);
    const std::uint32_t candidates =
        seps & probed(at + probes.first, first) & probed(at + probes.second, second);
    if (found(at, candidates, seps, separators)) return true;
    separators += static_cast<std::size_t>(std::popcount(seps));
    return false;
  };
  std::size_t i = from + 1;
  // The separator loads of the full blocks start on a cache line, so that they never split one.
  if (const auto skew = (reinterpret_cast<std::uintptr_t>(p + i - 1) & 63) / sizeof(char16_t);
      skew != 0 && i < n) {
    const std::size_t units = std::min<std::size_t>(32 - skew, n - i);
    if (maskedBlock(i, _bzhi_u32(~0u, static_cast<unsigned>(units)))) return hit;
    i += units;
  }
  for (; i + 64 + reachBeyond <= n; i += 64) {
    const __mmask32 sa = _mm512_cmpeq_epi16_mask(load512(p + i - 1), separator);
    const __mmask32 sb = _mm512_cmpeq_epi16_mask(load512(p + i + 31), separator);
    const __mmask32 ca = _mm512_mask_cmpeq_epi16_mask(
        _mm512_mask_cmpeq_epi16_mask(sa, load512(p + i + probes.first), first),
        load512(p + i + probes.second), second);
    const __mmask32 cb = _mm512_mask_cmpeq_epi16_mask(
        _mm512_mask_cmpeq_epi16_mask(sb, load512(p + i + 32 + probes.first), first),
        load512(p + i + 32 + probes.second), second);
    if (_kortestz_mask32_u8(ca, cb) == 0) [[unlikely]] {
      if (found(i, ca, sa, separators)) return hit;
      const auto half = static_cast<std::size_t>(std::popcount(static_cast<std::uint32_t>(sa)));
      if (found(i + 32, cb, sb, separators + half)) return hit;
    }
    separators += static_cast<std::size_t>(
        std::popcount((static_cast<std::uint64_t>(sb) << 32) | static_cast<std::uint32_t>(sa)));
  }
  for (; i < n; i += 32) {
    if (maskedBlock(i, reach(n, i))) return hit;
  }
  hit.pos = n;
  hit.separators = separators + (p[n - 1] == sep ? 1 : 0);
  return hit;
}

// Whether the ordered search stops at the sibling at q; if so, records it in hit.
TARN_AVX512 inline __attribute__((always_inline)) bool stopAt512(
    const char16_t* p, std::size_t n, std::size_t q, char16_t sep, const char16_t* pat,
    std::size_t m, __m512i head, __m512i separator, bool descending, OrderedHit& hit) noexcept {
  const int order = compareSibling512(p, n, q, sep, pat, m, head, separator);
  if (!stopsAt(order, descending)) return false;
  hit.pos = q;
  hit.stopped = true;
  hit.equal = order == 0;
  return true;
}

// Units at or beyond bound on the side an ordered search stops at: at or above it ascending, at
// or below it descending.
template <bool descending>
TARN_AVX512 inline std::uint32_t onStopSide(__m512i x, __m512i bound) noexcept {
  if constexpr (descending)
    return _mm512_cmple_epu16_mask(x, bound);
  else
    return _mm512_cmpge_epu16_mask(x, bound);
}

// One bit per unit of p[0, 64) where the compare holds.
template <typename Compare>
TARN_AVX512 inline std::uint64_t mask64(const char16_t* p, Compare compare) noexcept {
  return compare(load512(p)) | (std::uint64_t{compare(load512(p + 32))} << 32);
}

template <bool descending>
TARN_AVX512 OrderedHit findOrderedStopAvx512(const char16_t* p, std::size_t n, std::size_t from,
                                             char16_t sep, const char16_t* pat,
                                             std::size_t m) noexcept {
  OrderedHit hit;
  const __m512i separator = _mm512_set1_epi16(static_cast<short>(sep));
  const __m512i head = patternHead512(pat, m, sep);
  if (stopAt512(p, n, from, sep, pat, m, head, separator, descending, hit)) return hit;
  if (from == n) {
    hit.pos = n;
    return hit;
  }
  // Sibling starts are judged on up to kLevels leading units, compared in order: the first unit
  // that differs from the pattern's, or ends the sibling, decides whether it passes. Only starts
  // that do not pass, or agree on every unit looked at, are compared in full.
  constexpr std::size_t kLevels = 4;
  const std::size_t levels = m < kLevels ? m : kLevels;
  __m512i units[kLevels];
  for (std::size_t j = 0; j < levels; ++j) units[j] = _mm512_set1_epi16(static_cast<short>(pat[j]));
  const __m512i first = units[0];
  std::size_t separators = p[from] == sep ? 1 : 0;
  std::uint64_t carry = p[from] == sep ? 1u : 0u;  // whether p[i - 1] is a separator
  std::size_t i = from + 1;
  // 64 units a round, read up to kLevels - 1 beyond.
  while (i + 64 + kLevels <= n) {
    std::uint64_t seps = 0, candidates = 0;
    for (; i + 64 + kLevels <= n; i += 64) {
      const __m512i a = load512(p + i);
      const __m512i b = load512(p + i + 32);
      seps = _mm512_cmpeq_epi16_mask(a, separator) |
             (std::uint64_t{_mm512_cmpeq_epi16_mask(b, separator)} << 32);
      const std::uint64_t starts = (seps << 1) | carry;
      carry = seps >> 63;
      // The first units alone pass most starts; the rest only in rounds where some survive.
      const std::uint64_t firstOk = onStopSide<descending>(a, first) |
                                    (std::uint64_t{onStopSide<descending>(b, first)} << 32);
      candidates = descending ? starts & (seps | firstOk) : starts & firstOk & ~seps;
      if (candidates != 0) {
        std::uint64_t decided = 0, agreeing = starts;
        for (std::size_t j = 0; j < levels; ++j) {
          const __m512i u = units[j];
          const std::uint64_t ended = j == 0 ? seps : mask64(p + i + j, [&](__m512i x) TARN_AVX512 {
            return _mm512_cmpeq_epi16_mask(x, separator);
          });
          const std::uint64_t equal = mask64(
              p + i + j, [&](__m512i x) TARN_AVX512 { return _mm512_cmpeq_epi16_mask(x, u); });
          std::uint64_t stops;
          if constexpr (descending) {
            stops = ended | mask64(p + i + j, [&](__m512i x) TARN_AVX512 {
                      return _mm512_cmplt_epu16_mask(x, u);
                    });
          } else {
            stops = ~ended & mask64(p + i + j, [&](__m512i x) TARN_AVX512 {
              return _mm512_cmpgt_epu16_mask(x, u);
            });
          }
          decided |= agreeing & stops;
          agreeing &= equal & ~ended;
          if (agreeing == 0) break;
        }
        candidates = decided | agreeing;
      }
      if (candidates != 0) break;
      separators += static_cast<std::size_t>(std::popcount(seps));
    }
    if (candidates == 0) break;
    do {
      const unsigned k = static_cast<unsigned>(std::countr_zero(candidates));
      if (stopAt512(p, n, i + k, sep, pat, m, head, separator, descending, hit)) {
        hit.separators = separators + static_cast<std::size_t>(std::popcount(_bzhi_u64(seps, k)));
        return hit;
      }
      candidates &= candidates - 1;
    } while (candidates != 0);
    separators += static_cast<std::size_t>(std::popcount(seps));
    i += 64;
  }
  hit.separators = separators;
  // The tail, up to the empty sibling a final separator leaves at n.
  for (; i <= n; ++i) {
    if (p[i - 1] == sep && stopAt512(p, n, i, sep, pat, m, head, separator, descending, hit)) {
      return hit;
    }
    if (i < n) hit.separators += p[i] == sep;
  }
  hit.pos = n;
  return hit;
}

// The widest path the processor has, found once at load time. Until then (a scan during another
// library's static initialisation) the portable loops run, which give the same answers.
enum Width : int { kPortableWidth = 0, kAvx2Width = 1, kAvx512Width = 2 };

Width widestPath() noexcept {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("popcnt")) return kPortableWidth;
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  return avx512 ? kAvx512Width : kAvx2Width;
}

const Width gHardware = widestPath();
// The path the scans take: the hardware's, stepped down by limitPath. A plain load per call, so
// that short scans pay no more than a compare for the choice.
Width gWidth = gHardware;

Width limitedWidth(Path limit) noexcept {
  const Width cap = limit == Path::kBest   ? kAvx512Width
                    : limit == Path::kAvx2 ? kAvx2Width
                                           : kPortableWidth;
  return gHardware < cap ? gHardware : cap;
}

bool useAvx512() noexcept {
  return gWidth == kAvx512Width;
}

bool useAvx2() noexcept {
  return gWidth != kPortableWidth;
}

#else

constexpr bool useAvx2() noexcept {
  return false;
}

#endif

}  // namespace

Path limitPath(Path path) noexcept {
#if TARN_SCAN_X86
  gWidth = limitedWidth(path);
#endif
  return std::exchange(gLimit, path);
}

std::size_t findUnitLong(const char16_t* p, std::size_t n, char16_t c) noexcept {
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
  if (useAvx512()) return findSiblingAvx512(p, n, from, sep, pat, m);
  if (useAvx2())
    return findSiblingAvx2(p, n, from, sep, pat, m, chooseProbesPortable(p, n, from, sep, pat, m));
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

OrderedHit findOrderedStop(const char16_t* p, std::size_t n, std::size_t from, char16_t sep,
                           const char16_t* pat, std::size_t m, bool descending) noexcept {
#if TARN_SCAN_X86
  if (useAvx512()) {
    return descending ? findOrderedStopAvx512<true>(p, n, from, sep, pat, m)
                      : findOrderedStopAvx512<false>(p, n, from, sep, pat, m);
  }
  if (useAvx2()) return findOrderedStopAvx2(p, n, from, sep, pat, m, descending);
#endif
  return findOrderedStopPortable(p, n, from, sep, pat, m, descending);
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
