// Dynamic array element access, search and conversion on arrays of 1,000 and 1,000,000
// characters, each beside its baseline in the same run: a vectorised scan of the same buffer for
// the attribute mark (up to the element), and one copy of the buffer plus that scan for edits.
// Arrays hold attributes like "01234]x]y": ten characters with the attribute mark.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/environment.h"

namespace tarn {

// Lets the benchmark drop the remembered position, to measure the scan from the start.
struct TestPeer {
  static void forget(const clsTarnDynamicArray& a) { a.rememberedAttr_ = 0; }
};

namespace {

constexpr char16_t kAttributeMark = 0x00FE;

String attribute(int i) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05d", i);
  String a;
  for (const char* p = digits; *p; ++p) a.push_back(static_cast<char16_t>(*p));
  a += u"\u00FDx\u00FDy";
  return a;
}

// count attributes of ten characters each.
String buildText(int count) {
  String t;
  t.reserve(static_cast<std::size_t>(count) * 10);
  for (int i = 0; i < count; ++i) {
    if (i > 0) t.push_back(kAttributeMark);
    t += attribute(i);
  }
  return t;
}

int attributesFor(std::int64_t size) {
  return static_cast<int>(size / 10);
}

// The attribute addressed by a benchmark's second argument: 0 first, 1 middle, 2 last.
int target(int attributes, std::int64_t where) {
  return where == 0 ? 1 : (where == 1 ? attributes / 2 : attributes);
}

// ---- Baselines: an independent AVX2 scan, and a copy plus that scan ------------------------

__attribute__((target("avx2"))) std::size_t scanForMarks(const char16_t* p, std::size_t n,
                                                         std::size_t marks) {
  // Position after the marks-th attribute mark (or n), counting 32 units at a time.
  const __m256i needle = _mm256_set1_epi16(static_cast<short>(kAttributeMark));
  std::size_t i = 0, seen = 0;
  if (marks == 0) return 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i a =
        _mm256_cmpeq_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), needle);
    const __m256i b = _mm256_cmpeq_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 16)), needle);
    const auto m = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8)));
    const auto count = static_cast<std::size_t>(__builtin_popcount(m));
    if (seen + count >= marks) {
      std::uint32_t rest = m;
      for (std::size_t k = marks - seen; k > 1; --k) rest &= rest - 1;
      return i + static_cast<std::size_t>(__builtin_ctz(rest)) + 1;
    }
    seen += count;
  }
  for (; i < n; ++i) {
    if (p[i] == kAttributeMark && ++seen == marks) return i + 1;
  }
  return n;
}

// The scan up to the element and over it, to the mark that ends it.
std::size_t scanToElement(const String& text, int attr) {
  const std::size_t start =
      scanForMarks(text.data(), text.size(), static_cast<std::size_t>(attr) - 1);
  const std::size_t end = scanForMarks(text.data() + start, text.size() - start, 1);
  return start + end;
}

void BM_ScanToElement(benchmark::State& state) {
  const String text = buildText(attributesFor(state.range(0)));
  const int attr = target(attributesFor(state.range(0)), state.range(1));
  for (auto _ : state) benchmark::DoNotOptimize(scanToElement(text, attr));
}

void BM_CopyAndScan(benchmark::State& state) {
  const String text = buildText(attributesFor(state.range(0)));
  const int attr = target(attributesFor(state.range(0)), state.range(1));
  for (auto _ : state) {
    String copy;
    copy.reserve(text.size() + 16);
    copy.assign(text);
    benchmark::DoNotOptimize(copy.data());
    benchmark::DoNotOptimize(scanToElement(copy, attr));
  }
}

void BM_ScanWhole(benchmark::State& state) {
  const String text = buildText(attributesFor(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(scanForMarks(text.data(), text.size(), text.size() + 1));
  }
}

// ---- Element access ---------------------------------------------------------------------------

Ref<clsTarnDynamicArray> makeArray(std::int64_t size) {
  auto a = clsTarnDynamicArray::create();
  a->brCString(buildText(attributesFor(size)));
  return a;
}

// range(2): 0 scans from the start each time, 1 lets the array remember the last position.
void BM_Extract(benchmark::State& state) {
  const auto a = makeArray(state.range(0));
  const int attr = target(attributesFor(state.range(0)), state.range(1));
  const bool remember = state.range(2) != 0;
  for (auto _ : state) {
    if (!remember) TestPeer::forget(*a);
    benchmark::DoNotOptimize(a->brExtractStr(attr, Variant(std::int32_t{2})));
  }
}

void BM_Replace(benchmark::State& state) {
  const auto a = makeArray(state.range(0));
  const int attr = target(attributesFor(state.range(0)), state.range(1));
  const bool remember = state.range(2) != 0;
  const Variant where(attr);
  const String values[2] = {u"q", u"x"};
  int flip = 0;
  for (auto _ : state) {
    if (!remember) TestPeer::forget(*a);
    a->brReplaceStr(values[flip ^= 1], where, Variant(std::int32_t{2}));
  }
}

// Insert and delete restore each other; only the measured one is timed.
template <bool kInsert>
void insertOrDelete(benchmark::State& state) {
  const auto a = makeArray(state.range(0));
  const int attr = target(attributesFor(state.range(0)), state.range(1));
  const Variant where(attr);
  const String fresh = attribute(7);
  for (auto _ : state) {
    if (!kInsert) a->brInsertStr(fresh, where);
    TestPeer::forget(*a);
    const auto begin = std::chrono::steady_clock::now();
    if (kInsert)
      a->brInsertStr(fresh, where);
    else
      a->brDelete(where);
    const auto end = std::chrono::steady_clock::now();
    if (kInsert) a->brDelete(where);
    state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
  }
}
void BM_Insert(benchmark::State& state) {
  insertOrDelete<true>(state);
}
void BM_Delete(benchmark::State& state) {
  insertOrDelete<false>(state);
}

void BM_Len(benchmark::State& state) {
  const auto a = makeArray(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(a->brLen());
}

void BM_ExtractAllInOrder(benchmark::State& state) {
  const auto a = makeArray(state.range(0));
  const int attributes = attributesFor(state.range(0));
  for (auto _ : state) {
    TestPeer::forget(*a);
    for (int k = 1; k <= attributes; ++k) benchmark::DoNotOptimize(a->brExtractStr(k));
  }
}

// ---- Search -----------------------------------------------------------------------------------

// range(2): 0 unordered, 1 ascending ("AL"); range(3): 0 case-sensitive, 1 case-insensitive.
void BM_Locate(benchmark::State& state) {
  const auto environment = clsTarnEnvironment::create();
  environment->brCasing(state.range(3) == 0);
  const auto a = environment->brOpenDynamicArray(Variant(buildText(attributesFor(state.range(0)))));
  const int attr = target(attributesFor(state.range(0)), state.range(1));
  String sub = attribute(attr - 1);
  if (state.range(3) != 0) sub.back() = u'Y';  // found only by the caseless comparison
  const String code = state.range(2) != 0 ? u"AL" : u"";
  std::int32_t position = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a->brLocateStrSeq(sub, code, position));
  }
  if (position != attr) state.SkipWithError("wrong position");
}

// The locate baseline: the scan of the buffer up to the attribute found.
void BM_ScanToHit(benchmark::State& state) {
  BM_ScanToElement(state);
}

// range(1): 0 case-sensitive, 1 case-insensitive; counts "x" (once per attribute).
void BM_Count(benchmark::State& state) {
  const auto environment = clsTarnEnvironment::create();
  environment->brCasing(state.range(1) == 0);
  const auto a = environment->brOpenDynamicArray(Variant(buildText(attributesFor(state.range(0)))));
  const String what = state.range(1) != 0 ? u"X" : u"x";
  for (auto _ : state) benchmark::DoNotOptimize(a->brCount(what));
}

// Convert x to z and back: each iteration converts twice.
void BM_Convert(benchmark::State& state) {
  const auto environment = clsTarnEnvironment::create();
  environment->brCasing(state.range(1) == 0);
  const auto a = environment->brOpenDynamicArray(Variant(buildText(attributesFor(state.range(0)))));
  for (auto _ : state) {
    benchmark::DoNotOptimize(a->brConvert(u"x", u"z"));
    benchmark::DoNotOptimize(a->brConvert(u"z", u"x"));
  }
}

// The conversion baseline: one pass over the buffer replacing one character, twice.
void BM_OnePass(benchmark::State& state) {
  String text = buildText(attributesFor(state.range(0)));
  for (auto _ : state) {
    for (char16_t& c : text) c = c == u'x' ? u'z' : c;
    benchmark::DoNotOptimize(text.data());
    for (char16_t& c : text) c = c == u'z' ? u'x' : c;
    benchmark::DoNotOptimize(text.data());
  }
}

constexpr std::int64_t kSmall = 1000, kLarge = 1000000;

void positions(benchmark::internal::Benchmark* b) {
  for (std::int64_t size : {kSmall, kLarge}) {
    for (std::int64_t where : {0, 1, 2}) b->Args({size, where});
  }
}
void positionsRemembering(benchmark::internal::Benchmark* b) {
  for (std::int64_t size : {kSmall, kLarge}) {
    for (std::int64_t where : {0, 1, 2}) {
      for (std::int64_t remember : {0, 1}) b->Args({size, where, remember});
    }
  }
}
void searches(benchmark::internal::Benchmark* b) {
  for (std::int64_t where : {0, 1, 2}) {
    for (std::int64_t ordered : {0, 1}) {
      for (std::int64_t caseless : {0, 1}) b->Args({kLarge, where, ordered, caseless});
    }
  }
}
void modes(benchmark::internal::Benchmark* b) {
  for (std::int64_t caseless : {0, 1}) b->Args({kLarge, caseless});
}

BENCHMARK(BM_ScanToElement)->Apply(positions);
BENCHMARK(BM_Extract)->Apply(positionsRemembering);
BENCHMARK(BM_CopyAndScan)->Apply(positions);
BENCHMARK(BM_Replace)->Apply(positionsRemembering);
BENCHMARK(BM_Insert)->Apply(positions)->UseManualTime();
BENCHMARK(BM_Delete)->Apply(positions)->UseManualTime();
BENCHMARK(BM_Len)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_ScanWhole)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_ExtractAllInOrder)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScanToHit)->Args({kLarge, 0})->Args({kLarge, 1})->Args({kLarge, 2});
BENCHMARK(BM_Locate)->Apply(searches);
BENCHMARK(BM_Count)->Apply(modes);
BENCHMARK(BM_OnePass)->Arg(kLarge);
BENCHMARK(BM_Convert)->Apply(modes);

}  // namespace
}  // namespace tarn

BENCHMARK_MAIN();
