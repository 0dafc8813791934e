// Runs a sequence of operations decoded from the input on one dynamic array and checks every
// result against the plain model, so that remembered positions are exercised across edits and
// compare-mode changes. Case-insensitive answers are checked against the collator alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/dynarray/text_compare_internal.h"
#include "tarn/frame/environment.h"
#include "tests/dynarray/reference_model.h"

namespace {

using tarn::String;
using tarn::Variant;
namespace model = tarn::model;

// Letters of both cases, marks, accented and special Latin-1 characters, an ignorable control
// character and characters outside Latin-1: the cases where the fast paths could go wrong.
constexpr char16_t kAlphabet[] = {u'a',   u'b',   u'A',   u'B',   u' ',   0x00FE, 0x00FE, 0x00FD,
                                  0x00FD, 0x00FC, 0x00FF, 0x00FB, 0x00DE, 0x00DD, 0x00E9, 0x00C9,
                                  0x00DF, u's',   0x0001, 0x0130, 0x4E00, u'1',   u'0',   0x00AA};

String randomText(FuzzedDataProvider& in, std::size_t maxLength) {
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, maxLength);
  String t;
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    t.push_back(kAlphabet[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kAlphabet) - 1)]);
  }
  return t;
}

[[noreturn]] void fail(const char* what, const String& text) {
  std::fprintf(stderr, "mismatch in %s on %s\n", what, model::shown(text).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto environment = tarn::clsTarnEnvironment::create();
  const auto array = environment->brOpenDynamicArray();
  const auto& collation = tarn::text::CaselessCollation::process();
  model::Comparison caseless{[&](std::u16string_view a, std::u16string_view b) {
    return collation.compareByCollator(a, b);
  }};
  const model::Comparison exact{};
  String expected;

  while (in.remaining_bytes() > 0) {
    const int op = in.ConsumeIntegralInRange<int>(0, 9);
    const int a = in.ConsumeIntegralInRange<int>(-2, 12);
    const int v = in.ConsumeIntegralInRange<int>(-2, 4);
    const int s = in.ConsumeIntegralInRange<int>(-2, 3);
    const model::Comparison& cmp = environment->brCasing() ? exact : caseless;
    switch (op) {
      case 0:
        expected = randomText(in, 48);
        array->brCString(expected);
        break;
      case 1:
        if (array->brExtractStr(a, Variant(v), Variant(s)) != model::extract(expected, a, v, s)) {
          fail("extract", expected);
        }
        break;
      case 2: {
        const String fresh = randomText(in, 4);
        array->brReplaceStr(fresh, Variant(a), Variant(v), Variant(s));
        expected = model::replace(expected, fresh, a, v, s);
        break;
      }
      case 3: {
        const String fresh = randomText(in, 4);
        array->brInsertStr(fresh, Variant(a), Variant(v), Variant(s));
        expected = model::insert(expected, fresh, a, v, s);
        break;
      }
      case 4:
        array->brDelete(Variant(a), Variant(v), Variant(s));
        expected = model::remove(expected, a, v, s);
        break;
      case 5: {
        const String sub = randomText(in, 3);
        static const String kCodes[] = {u"", u"A", u"AL", u"AR", u"DL", u"DR", u"al", u"xR"};
        const String& code = kCodes[in.ConsumeIntegralInRange<int>(0, 7)];
        const int start = in.ConsumeIntegralInRange<int>(-1, 6);
        std::int32_t position = -99;
        std::int64_t want = -98;
        const bool found =
            code.empty() ? array->brLocateStr(sub, position, Variant(a), Variant(v), Variant(start))
                         : array->brLocateStrSeq(sub, code, position, Variant(a), Variant(v),
                                                 Variant(start));
        const bool wantFound =
            model::locate(expected, sub, code.empty() ? nullptr : &code, a, v, start, cmp, want);
        if (found != wantFound || position != want) {
          std::fprintf(stderr, "locate %s code %s at %d,%d from %d, %s: %d/%d, expected %d/%lld\n",
                       model::shown(sub).c_str(), model::shown(code).c_str(), a, v, start,
                       environment->brCasing() ? "exact" : "caseless", found, position, wantFound,
                       static_cast<long long>(want));
          fail("locate", expected);
        }
        break;
      }
      case 6: {
        const String pattern = randomText(in, 2);
        const Variant got = array->brCount(pattern);
        if (got.toInt32() != model::count(expected, pattern, cmp)) fail("count", expected);
        break;
      }
      case 7:
        environment->brCasing(!environment->brCasing());
        break;
      case 8: {
        const String from = randomText(in, 3), to = randomText(in, 3);
        const bool caseSensitive = environment->brCasing();
        const auto [converted, count] =
            model::convert(expected, from, to, caseSensitive ? nullptr : tarn::text::upperCase);
        if (array->brConvert(from, to) != count) fail("convert", expected);
        expected = converted;
        break;
      }
      default:
        if (expected.size() > 2000) {
          expected.clear();
          array->brCString(expected);
        }
        break;
    }
    if (array->brCString() != expected) fail("text", expected);
  }
  return 0;
}
