// Searching, counting, comparison and transformation, in both compare modes.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/dynarray/text_compare_internal.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error.h"
#include "tests/dynarray/reference_model.h"
#include "tests/support/expect_error.h"

namespace tarn {
namespace {

using model::marks;
using model::shown;

enum class Mode { Unlinked, LinkedCaseless, LinkedExact };

// Keeps the environment of a linked array alive with it.
struct Arrays {
  Ref<clsTarnEnvironment> environment = clsTarnEnvironment::create();
  Ref<clsTarnDynamicArray> make(const String& text, Mode mode) {
    if (mode == Mode::Unlinked) {
      auto a = clsTarnDynamicArray::create();
      a->brCString(text);
      return a;
    }
    environment->brCasing(mode == Mode::LinkedExact);
    return environment->brOpenDynamicArray(Variant(text));
  }
};

Variant level(int n) {
  return Variant(static_cast<std::int32_t>(n));
}
std::optional<int> none() {
  return std::nullopt;
}

struct LocateCase {
  const char* text;
  const char* sub;
  const char* code;  // nullptr: unordered member
  std::optional<int> amc, vmc, start;
  bool found;
  int position;
};

Variant given(std::optional<int> n) {
  return n ? level(*n) : Variant::missing();
}

TEST(DynamicArrayLocate, FindsSiblingsAndInsertionPoints) {
  const LocateCase cases[] = {
      {"a^b^c", "b", nullptr, none(), none(), none(), true, 2},
      {"a^b^c", "d", nullptr, none(), none(), none(), false, 4},
      {"a^b^c", "b", nullptr, none(), none(), 3, false, 4},
      {"a^b^c", "b", nullptr, none(), none(), 6, false, 6},
      {"a^b^c", "c", nullptr, none(), none(), 3, true, 3},
      {"a^b^c", "a", nullptr, -4, none(), -2, true, 1},
      {"a^x]y]z", "y", nullptr, 2, none(), none(), true, 2},
      {"a]p\\q", "q", nullptr, 1, 2, none(), true, 2},
      {"a^^c", "x", nullptr, 2, none(), 3, false, 3},
      {"", "", nullptr, none(), none(), 2, false, 2},
      {"", "x", nullptr, none(), none(), none(), false, 1},
      {"a^^c", "", nullptr, none(), none(), none(), true, 2},
      {"a^b^", "", nullptr, none(), none(), none(), true, 3},
      {"a^b", "q", nullptr, 1, -1, none(), false, 1},
      {"a^b^d", "c", "AL", none(), none(), none(), false, 3},
      {"a^b^d", "c", "al", none(), none(), none(), false, 3},
      {"d^b^a", "c", "DL", none(), none(), none(), false, 2},
      {"2^9^100", "10", "AR", none(), none(), none(), false, 3},
      {"2^9^100", "10", "AL", none(), none(), none(), false, 1},
      {"2^9^100", "100", "AR", none(), none(), none(), true, 3},
      {"c^a^b", "b", "A", none(), none(), none(), true, 3},
      {"c^a^b", "b", "", none(), none(), none(), true, 3},
      {"c^a^b", "b", "xL", none(), none(), none(), true, 3},
      {"c^a^b", "b", "AL", none(), none(), none(), false, 1},
      {"c^a^b", "bb", "xR", none(), none(), none(), false, 4},
      {"a^b^c", "z", "AL", none(), none(), none(), false, 4},
      {"x^a]b]c^y", "b", nullptr, 2, 0, 2, true, 2},
      {"x^a]b]c^y", "a", nullptr, 2, 0, 2, false, 4},
      {"b]c^y", "bb", "AR", 1, none(), none(), false, 3},
      {"a]]c", "", nullptr, 1, none(), none(), true, 2},
      {"a]b", "a]b", nullptr, 1, none(), none(), false, 3},
      {"a]b^a]b", "a]b", nullptr, none(), none(), none(), true, 1},
  };
  for (Mode mode : {Mode::Unlinked, Mode::LinkedExact}) {
    Arrays arrays;
    for (const auto& c : cases) {
      const auto a = arrays.make(marks(c.text), mode);
      const String sub = marks(c.sub);
      std::int32_t position = -1;
      const bool found =
          c.code ? a->brLocateStrSeq(sub, marks(c.code), position, given(c.amc), given(c.vmc),
                                     given(c.start))
                 : a->brLocateStr(sub, position, given(c.amc), given(c.vmc), given(c.start));
      EXPECT_EQ(found, c.found) << c.text << " / " << c.sub;
      EXPECT_EQ(position, c.position) << c.text << " / " << c.sub;
    }
  }
}

TEST(DynamicArrayLocate, CaseFollowsTheCompareMode) {
  Arrays arrays;
  std::int32_t position = 0;
  EXPECT_TRUE(arrays.make(marks("a^b"), Mode::Unlinked)->brLocateStr(u"B", position));
  EXPECT_EQ(position, 2);
  EXPECT_TRUE(arrays.make(marks("a^b"), Mode::LinkedCaseless)->brLocateStr(u"B", position));
  EXPECT_FALSE(arrays.make(marks("a^b"), Mode::LinkedExact)->brLocateStr(u"B", position));
  EXPECT_EQ(position, 3);
  // The mode is read at each comparison, not fixed when the array is made.
  const auto a = arrays.make(marks("x^Ab^c"), Mode::LinkedExact);
  EXPECT_FALSE(a->brLocateStr(u"ab", position));
  arrays.environment->brCasing(false);
  EXPECT_TRUE(a->brLocateStr(u"ab", position));
  EXPECT_EQ(position, 2);
  // Caseless but not accentless; ordered caseless searches follow the collation order.
  EXPECT_FALSE(a->brLocateStr(u"\u00C1b", position));
  const auto ordered = arrays.make(marks("apple^Banana^cherry"), Mode::Unlinked);
  EXPECT_FALSE(ordered->brLocateStrSeq(u"BLUE", u"AL", position));
  EXPECT_EQ(position, 3);
  EXPECT_TRUE(ordered->brLocateStrSeq(u"CHERRY", u"AL", position));
  EXPECT_EQ(position, 3);
}

// Long random lists (long enough for the vector paths) in both modes, against the plain model.
TEST(DynamicArrayLocate, AgreesWithTheModelOnLongLists) {
  const auto& collation = text::CaselessCollation::process();
  const model::Comparison caseless{[&](std::u16string_view a, std::u16string_view b) {
    return collation.compareByCollator(a, b);
  }};
  const model::Comparison exact{};
  const String alphabet = u"abAB\u00FE\u00FE\u00FE\u00FD\u00FC\u00E9";
  const String codes[] = {u"", u"AL", u"DL", u"AR", u"DR", u"A"};
  std::mt19937 rng(77);
  Arrays arrays;
  auto draw = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 3000; ++round) {
    const bool caseSensitive = round % 2 == 0;
    String text, sub;
    const int n = draw(0, 160);
    for (int i = 0; i < n; ++i) text.push_back(alphabet[draw(0, round % 3 ? 6 : 9)]);
    const int m = draw(0, 3);
    // Now and then the pattern holds the separator itself.
    for (int i = 0; i < m; ++i) sub.push_back(alphabet[draw(0, round % 4 ? 3 : 6)]);
    const String& code = codes[draw(0, 5)];
    const int amc = draw(-1, 3), vmc = draw(0, 2), start = draw(0, 20);
    const auto a = arrays.make(text, caseSensitive ? Mode::LinkedExact : Mode::Unlinked);
    std::int32_t position = -1;
    const bool found = a->brLocateStrSeq(sub, code, position, level(amc), level(vmc), level(start));
    std::int64_t want = -2;
    const bool wantFound =
        model::locate(text, sub, &code, amc, vmc, start, caseSensitive ? exact : caseless, want);
    ASSERT_EQ(found, wantFound) << round << " " << shown(text) << " / " << shown(sub);
    ASSERT_EQ(position, want) << round << " " << shown(text) << " / " << shown(sub);
  }
}

TEST(DynamicArrayLocate, DescendingStopsAtAnEmptySiblingPastTheFirstBlock) {
  // Siblings that sort after the pattern, then an empty one, which sorts before it even when
  // the pattern begins with the separator.
  String text;
  for (int i = 0; i < 30; ++i) text += i == 10 ? u"\u00FE" : u"\u4E00\u4E00\u00FE";
  Arrays arrays;
  const auto a = arrays.make(text, Mode::LinkedExact);
  for (const String& sub : {String(u"\u00FEa"), String(u"a")}) {
    std::int32_t position = 0;
    EXPECT_FALSE(a->brLocateStrSeq(sub, u"DL", position));
    EXPECT_EQ(position, 11) << shown(sub);
  }
}

TEST(DynamicArrayLocate, ObjectMembersAndConversions) {
  const auto a = clsTarnDynamicArray::create();
  a->brCString(marks("a^b]c^d"));
  const auto element = clsTarnDynamicArray::create();
  element->brCString(u"c");
  const auto code = clsTarnDynamicArray::create();
  code->brCString(u"AL");
  std::int32_t position = 0;
  EXPECT_TRUE(a->brLocate(element, position, level(2)));
  EXPECT_EQ(position, 2);
  EXPECT_TRUE(a->brLocateSeq(element, code, position, level(2)));
  EXPECT_EQ(position, 2);

  auto expectError = [](std::int32_t number, auto&& call) {
    EXPECT_EQ(testing::errorOf(call).number(), number);
  };
  const Ref<clsTarnDynamicArray> nothing;
  expectError(err::kObjectNotSet, [&] { (void)a->brLocate(nothing, position); });
  expectError(err::kObjectNotSet, [&] { (void)a->brLocateSeq(element, nothing, position); });
  expectError(err::kObjectNotSet, [&] { (void)a->brLocateSeq(nothing, code, position); });
  expectError(err::kObjectNotSet, [&] { (void)a->brEqual(nothing); });
  // Levels and start are 16-bit.
  expectError(err::kOverflow, [&] { (void)a->brLocateStr(u"b", position, level(40000)); });
  expectError(err::kOverflow,
              [&] { (void)a->brLocateStr(u"b", position, level(1), level(1), level(-40000)); });
  expectError(err::kTypeMismatch,
              [&] { (void)a->brLocateStr(u"b", position, Variant(String(u"x"))); });
  expectError(err::kInvalidUseOfNull,
              [&] { (void)a->brLocateStr(u"b", position, level(1), Variant::null()); });
  EXPECT_TRUE(a->brLocateStr(u"c", position, Variant(1.5), Variant(2.5)));
  EXPECT_EQ(position, 1);
}

TEST(DynamicArrayCount, CountsOccurrencesAndElements) {
  struct Case {
    const char* text;
    const char* what;
    int count, dcount;
  };
  const Case cases[] = {
      {"a^b^c", "^", 2, 3}, {"a^b^c", "", 5, 0}, {"aaa", "aa", 2, 3},  {"abc", "^", 0, 1},
      {"", "^", 0, 0},      {"", "", 0, 0},      {"a]b]c", "]", 2, 3}, {"a]^b]^c", "]^", 2, 3},
  };
  for (Mode mode : {Mode::Unlinked, Mode::LinkedExact}) {
    Arrays arrays;
    for (const auto& c : cases) {
      const auto a = arrays.make(marks(c.text), mode);
      const Variant count = a->brCount(marks(c.what));
      EXPECT_EQ(count.type(), Variant::Type::Int32);
      EXPECT_EQ(count.toInt32(), c.count) << c.text << " / " << c.what;
      const Variant dcount = a->brDCount(marks(c.what));
      EXPECT_EQ(dcount.toInt32(), c.dcount) << c.text << " / " << c.what;
      const bool emptyCase = std::string(c.text).empty() || std::string(c.what).empty();
      EXPECT_EQ(dcount.type(), emptyCase ? Variant::Type::Int16 : Variant::Type::Int32);
    }
  }
  Arrays arrays;
  EXPECT_EQ(arrays.make(u"aAbA", Mode::Unlinked)->brCount(u"a").toInt32(), 3);
  EXPECT_EQ(arrays.make(u"aAbA", Mode::LinkedExact)->brCount(u"a").toInt32(), 1);
  // A mark string counts exactly even in caseless mode: U+00DE is the capital of the mark.
  EXPECT_EQ(arrays.make(u"a\u00FEb\u00DE", Mode::Unlinked)->brCount(u"\u00FE").toInt32(), 1);
  EXPECT_EQ(arrays.make(u"a\u00FEb\u00DE", Mode::Unlinked)->brCount(u"\u00DE").toInt32(), 2);
}

TEST(DynamicArrayCount, CaselessCountsAgreeWithTheCollator) {
  const auto& collation = text::CaselessCollation::process();
  const model::Comparison caseless{[&](std::u16string_view a, std::u16string_view b) {
    return collation.compareByCollator(a, b);
  }};
  std::mt19937 rng(5);
  const String alphabet = u"aAbB\u00FE\u00DE\u00FD\u00E9\u00C9 \u0001l\u4E00";
  for (int round = 0; round < 2000; ++round) {
    String text, what;
    // Texts of up to 100 units exercise the vector paths; some avoid the collator's characters.
    const int limit = round % 2 ? 8 : static_cast<int>(alphabet.size()) - 1;
    const int n = std::uniform_int_distribution<int>(0, 100)(rng);
    for (int i = 0; i < n; ++i)
      text.push_back(alphabet[std::uniform_int_distribution<int>(0, limit)(rng)]);
    const int m = std::uniform_int_distribution<int>(1, 2)(rng);
    for (int i = 0; i < m; ++i)
      what.push_back(alphabet[std::uniform_int_distribution<int>(0, limit)(rng)]);
    const auto a = clsTarnDynamicArray::create();
    a->brCString(text);
    ASSERT_EQ(a->brCount(what).toInt32(), model::count(text, what, caseless))
        << shown(text) << " / " << shown(what);
  }
}

TEST(DynamicArrayIndex, FindsTheNthOccurrenceIgnoringCase) {
  Arrays arrays;
  for (Mode mode : {Mode::Unlinked, Mode::LinkedExact}) {
    const auto a = arrays.make(u"abcb", mode);
    EXPECT_EQ(a->brIndex(u"b", 2), 4);
    EXPECT_EQ(a->brIndex(u"b", 3), 0);
    EXPECT_EQ(a->brIndex(u"b", 4), 0);
    EXPECT_EQ(a->brIndex(u"b", 0), 0);
    EXPECT_EQ(a->brIndex(u"b", -1), 0);
    EXPECT_EQ(a->brIndex(u"B", 1), 2);
    EXPECT_EQ(a->brIndex(u"CB", 1), 3);
    EXPECT_EQ(a->brIndex(u"x", 1), 0);
  }
  EXPECT_EQ(arrays.make(u"aaaa", Mode::LinkedExact)->brIndex(u"aa", 3), 3);
}

// Random texts in both compare modes against the plain rules: replacement, removal where to is
// shorter, the count of every entry of from, and the upper-casing that caseless mode brings.
TEST(DynamicArrayConvert, AgreesWithTheRulesOnRandomText) {
  std::mt19937 rng(31);
  const String alphabet =
      u"aAbBiI\u0131\u0130sS\u017F\u00E9\u00C9\u00FC\u00DC\u00FE\u00B5\u039C\u03BC "
      u"\U00010428";
  auto draw = [&](std::size_t maxLength) {
    String s;
    const auto n = std::uniform_int_distribution<std::size_t>(0, maxLength)(rng);
    for (std::size_t i = 0; i < n; ++i) {
      s.push_back(
          alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)]);
    }
    return s;
  };
  Arrays arrays;
  for (int round = 0; round < 4000; ++round) {
    const Mode mode = round % 2 ? Mode::Unlinked : Mode::LinkedExact;
    // Long texts take the vector path block by block; short ones only its tail.
    const String text = draw(round % 5 == 0 ? 120 : 20);
    const String from = draw(round % 7 == 0 ? 9 : 3);
    const String to = draw(3);
    const auto a = arrays.make(text, mode);
    const auto [expected, count] =
        model::convert(text, from, to, mode == Mode::LinkedExact ? nullptr : text::upperCase);
    ASSERT_EQ(a->brConvert(from, to), count) << round;
    ASSERT_EQ(a->brCString(), expected) << round;
  }
}

TEST(DynamicArrayEqual, ComparesNumbersAsIntegersAndTextByMode) {
  Arrays arrays;
  EXPECT_TRUE(arrays.make(u"7", Mode::LinkedExact)->brEqualStr(u"007"));
  EXPECT_TRUE(arrays.make(u"7.4", Mode::LinkedExact)->brEqualStr(u"7"));
  EXPECT_TRUE(arrays.make(u"2.5", Mode::LinkedExact)->brEqualStr(u"2"));
  EXPECT_FALSE(arrays.make(u"3.5", Mode::LinkedExact)->brEqualStr(u"3"));
  EXPECT_TRUE(arrays.make(u"abc", Mode::Unlinked)->brEqualStr(u"ABC"));
  EXPECT_TRUE(arrays.make(u"abc", Mode::LinkedCaseless)->brEqualStr(u"ABC"));
  EXPECT_FALSE(arrays.make(u"abc", Mode::LinkedExact)->brEqualStr(u"ABC"));
  EXPECT_FALSE(arrays.make(u"7", Mode::Unlinked)->brEqualStr(u"7x"));
  EXPECT_FALSE(arrays.make(u"abc", Mode::Unlinked)->brEqualStr(u"abd"));
  // A mark compares exactly even in caseless mode.
  EXPECT_FALSE(arrays.make(u"\u00FE", Mode::Unlinked)->brEqualStr(u"\u00DE"));
  EXPECT_TRUE(arrays.make(u"x\u00FE", Mode::Unlinked)->brEqualStr(u"X\u00DE"));
  const auto other = arrays.make(u"ABC", Mode::Unlinked);
  EXPECT_TRUE(arrays.make(u"abc", Mode::Unlinked)->brEqual(other));
  EXPECT_EQ(testing::errorOf([&] {
              (void)arrays.make(u"1e10", Mode::Unlinked)->brEqualStr(u"1");
            }).number(),
            err::kOverflow);
}

TEST(DynamicArrayTrim, CollapsesSpacesOfTheWholeText) {
  const std::pair<const char*, const char*> cases[] = {
      {"  a   b ", "a b"},  {"", ""},     {"   ", ""}, {"a ^ b", "a ^ b"},
      {"a  ^  b", "a ^ b"}, {" ] ", "]"},
  };
  for (const auto& [text, expected] : cases) {
    const auto a = clsTarnDynamicArray::create();
    a->brCString(marks(text));
    a->brTrim();
    EXPECT_EQ(shown(a->brCString()), expected) << text;
  }
}

}  // namespace
}  // namespace tarn
