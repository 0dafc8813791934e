// Element access: extraction, replacement, insertion and deletion by level numbers.
#include <gtest/gtest.h>

#include <random>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error.h"
#include "tests/dynarray/reference_model.h"
#include "tests/support/expect_error.h"

namespace tarn {

namespace {

using model::marks;
using model::shown;

Ref<clsTarnDynamicArray> array(const char* text) {
  auto a = clsTarnDynamicArray::create();
  a->brCString(marks(text));
  return a;
}

Variant level(int n) {
  return Variant(static_cast<std::int32_t>(n));
}

// An edit of an array's text at the levels addressed, and the result, marks shown as ^ ] and \ :
// x extracts, r replaces with N, i inserts N, d deletes. Every row holds for the plain model too.
struct LevelCase {
  char op;
  const char* text;
  int a, v, s;
  const char* expected;
};

const LevelCase kLevelCases[] = {
    {'x', "a^b", 3, 0, 0, ""},
    {'x', "a^b", 2, 0, 0, "b"},
    {'x', "a^b", 0, 0, 0, ""},
    {'x', "a^b", -1, 0, 0, ""},
    {'x', "x]y^z", 1, 2, 0, "y"},
    {'x', "x]y^z", 1, 0, 5, "x]y"},
    {'x', "x]y^z", 2, 1, 0, "z"},
    {'x', "x]y^z", 2, 2, 0, ""},
    {'x', "p\\q]r", 1, 1, 2, "q"},
    {'x', "", 1, 0, 0, ""},
    {'x', "^", 2, 0, 0, ""},
    {'x', "a^b^c", 3, 0, 0, "c"},
    {'x', "a]b\\c^d", 1, 2, 0, "b\\c"},
    {'x', "a]b\\c^d", 1, 2, 2, "c"},
    {'x', "a]b\\c^d", 1, 2, 3, ""},
    {'x', "a]b^c", 1, -1, 0, ""},
    {'x', "a]b^c", 1, 1, -1, ""},
    {'x', "a^b]c\\d", 2, 2, 2, "d"},
    {'x', "a^b]c\\d", 5, 1, 1, ""},
    {'x', "a\\b^c", 1, 1, 0, "a\\b"},
    {'r', "a", 3, 0, 0, "a^^N"},
    {'r', "x", 3, 2, 2, "x^^]\\N"},
    {'r', "a]b^c", 1, 4, 0, "a]b]]N^c"},
    {'r', "abc", 0, 0, 0, "N^abc"},
    {'r', "", 0, 0, 0, "N"},
    {'r', "a", -1, 0, 0, "a^N"},
    {'r', "", -1, 0, 0, "N"},
    {'r', "a", -1, 2, 0, "a^]N"},
    {'r', "a^b", 1, -1, 0, "a]N^b"},
    {'r', "^b", 1, -1, 0, "N^b"},
    {'r', "a]^b", 1, -1, 0, "a]]N^b"},
    {'r', "p^z", 1, 1, -1, "p\\N^z"},
    {'r', "a^b^c", 2, 0, 0, "a^N^c"},
    {'r', "a^b]c^d", 2, 2, 0, "a^b]N^d"},
    {'r', "abc", 0, 3, 3, "N^abc"},
    {'r', "a^b", 1, 0, 7, "N^b"},
    {'r', "a", 3, -1, 0, "a^^N"},
    {'r', "a]b", 1, 1, -1, "a\\N]b"},
    {'r', "", 1, 2, 0, "]N"},
    {'r', "p]\\^z", 1, 2, -1, "p]\\\\N^z"},
    {'r', "a", -1, 0, 3, "a^N"},
    {'r', "", -2, 2, 2, "]\\N"},
    {'r', "a^b", 2, 2, 1, "a^b]N"},
    {'i', "x^y^z", 2, 0, 0, "x^N^y^z"},
    {'i', "a]c", 1, 2, 0, "a]N]c"},
    {'i', "a^b", 1, 2, 0, "a]N^b"},
    {'i', "x^", 2, 0, 0, "x^N"},
    {'i', "x", 4, 0, 0, "x^^^N"},
    {'i', "abc", 0, 0, 0, "N^abc"},
    {'i', "", 0, 0, 0, "N"},
    {'i', "", 1, 0, 0, "N"},
    {'i', "a", 1, 0, 0, "N^a"},
    {'i', "a]b", 1, 1, 0, "N]a]b"},
    {'i', "a^b", -1, 0, 0, "a^b^N"},
    {'i', "a^b", 1, -1, 0, "a]N^b"},
    {'i', "p\\q", 1, 1, 2, "p\\N\\q"},
    {'i', "p]q", 1, 1, 2, "p\\N]q"},
    {'i', "a^b", 2, 1, 1, "a^N\\b"},
    {'i', "a", 0, 5, 5, "N^a"},
    {'d', "a]b]c", 1, 2, 0, "a]c"},
    {'d', "a]b^z", 1, 1, 0, "b^z"},
    {'d', "x^a]b", 2, 1, 0, "x^b"},
    {'d', "a]b^z", 1, 2, 0, "a^z"},
    {'d', "p\\q\\r]s", 1, 1, 2, "p\\r]s"},
    {'d', "x^a^z", 2, 0, 0, "x^z"},
    {'d', "x^a^z", 2, 1, 0, "x^^z"},
    {'d', "x^a^z", 3, 0, 0, "x^a"},
    {'d', "x", 1, 0, 0, ""},
    {'d', "a^", 2, 0, 0, "a"},
    {'d', "a^", 3, 0, 0, "a^"},
    {'d', "a^b", -1, 0, 0, "a^b"},
    {'d', "a^b", 1, -1, 0, "a^b"},
    {'d', "a^b", 1, 1, -1, "a^b"},
    {'d', "^b^c", 0, 0, 0, "b^c"},
    {'d', "abc", 0, 0, 0, "abc"},
    {'d', "a^b", 1, 2, 0, "a^b"},
    {'d', "x^a^z", 1, 0, 0, "a^z"},
    {'d', "", 1, 0, 0, ""},
    {'d', "^", 1, 0, 0, ""},
    {'d', "a]b", 1, 0, 9, ""},
};

TEST(DynamicArrayLevels, EachEditAddressesItsElement) {
  for (const auto& c : kLevelCases) {
    SCOPED_TRACE(std::string(1, c.op) + " " + c.text + " (" + std::to_string(c.a) + "," +
                 std::to_string(c.v) + "," + std::to_string(c.s) + ")");
    const auto a = array(c.text);
    const String text = marks(c.text), fresh = marks("N");
    String byModel;
    switch (c.op) {
      case 'x':
        EXPECT_EQ(shown(a->brExtractStr(c.a, level(c.v), level(c.s))), c.expected);
        EXPECT_EQ(shown(a->brExtract(level(c.a), level(c.v), level(c.s))->brCString()), c.expected);
        byModel = model::extract(text, c.a, c.v, c.s);
        break;
      case 'r':
        a->brReplaceStr(fresh, level(c.a), level(c.v), level(c.s));
        byModel = model::replace(text, fresh, c.a, c.v, c.s);
        break;
      case 'i':
        a->brInsertStr(fresh, level(c.a), level(c.v), level(c.s));
        byModel = model::insert(text, fresh, c.a, c.v, c.s);
        break;
      default:
        a->brDelete(level(c.a), level(c.v), level(c.s));
        byModel = model::remove(text, c.a, c.v, c.s);
    }
    if (c.op != 'x') {
      EXPECT_EQ(shown(a->brCString()), c.expected);
    }
    EXPECT_EQ(shown(byModel), c.expected) << "the model";
  }
  // A character above the level mark after the place counts as "no sibling follows".
  const auto a = clsTarnDynamicArray::create();
  a->brCString(u"x\u00FE\u00FF");
  a->brInsertStr(u"N", level(2));
  EXPECT_EQ(a->brCString(), u"x\u00FEN\u00FF");
}

TEST(DynamicArrayExtract, OmittedLevelsCountAsZero) {
  const auto a = array("x]y^z");
  EXPECT_EQ(shown(a->brExtractStr(1)), "x]y");
  EXPECT_EQ(shown(a->brExtractStr(1, Variant::missing(), level(2))), "x]y");
  EXPECT_EQ(shown(a->brExtractStr(1, level(2))), "y");
  // Numbers arrive in any convertible form; halves round to even.
  EXPECT_EQ(shown(a->brExtractStr(1, Variant(String(u"2")))), "y");
  EXPECT_EQ(shown(a->brExtractStr(1, Variant(1.5))), "y");
  EXPECT_EQ(shown(a->brExtractStr(1, Variant(2.5))), "y");
}

TEST(DynamicArrayLevels, UnconvertibleNumbersFailBeforeTheTextChanges) {
  struct Bad {
    Variant value;
    std::int32_t number;
  };
  const Bad bad[] = {{Variant(String(u"abc")), err::kTypeMismatch},
                     {Variant::null(), err::kInvalidUseOfNull},
                     {Variant(1e10), err::kOverflow}};
  const String original = marks("a]b^c");
  for (const auto& b : bad) {
    const auto a = array("a]b^c");
    auto expectFailure = [&](auto&& call) {
      EXPECT_EQ(testing::errorOf(call).number(), b.number);
      EXPECT_EQ(a->brCString(), original);
    };
    expectFailure([&] { (void)a->brExtractStr(1, b.value); });
    expectFailure([&] { (void)a->brExtract(b.value); });
    expectFailure([&] { a->brReplaceStr(u"N", level(1), level(1), b.value); });
    expectFailure([&] { a->brReplaceStr(u"N", b.value); });
    expectFailure([&] { a->brInsertStr(u"N", level(2), b.value); });
    expectFailure([&] { a->brDelete(level(1), level(1), b.value); });
    expectFailure([&] { a->brReplace(array("N"), b.value); });
    expectFailure([&] { a->brInsert(array("N"), level(1), b.value); });
  }
}

TEST(DynamicArrayObjects, TakesOtherArraysTextAndRejectsNothing) {
  const auto a = array("a^b");
  const auto source = array("x]y");
  a->brReplace(source, level(2));
  EXPECT_EQ(shown(a->brCString()), "a^x]y");
  a->brInsert(source, level(1));
  EXPECT_EQ(shown(a->brCString()), "x]y^a^x]y");
  EXPECT_EQ(shown(source->brCString()), "x]y");

  // An array may take its own text.
  const auto self = array("p^q");
  self->brReplace(self, level(-1));
  EXPECT_EQ(shown(self->brCString()), "p^q^p^q");
  self->brInsertStr(self->brCString(), level(1));
  EXPECT_EQ(shown(self->brCString()), "p^q^p^q^p^q^p^q");

  for (bool insert : {false, true}) {
    const auto b = array("a^b");
    const TarnError e = testing::errorOf([&] {
      if (insert)
        b->brInsert(Ref<clsTarnDynamicArray>(), level(1));
      else
        b->brReplace(Ref<clsTarnDynamicArray>(), level(1));
    });
    EXPECT_EQ(e.number(), err::kObjectNotSet);
    EXPECT_EQ(shown(b->brCString()), "a^b");
  }
}

TEST(DynamicArrayObjects, CopiesKeepTheLinkButExtractsDoNot) {
  const auto environment = clsTarnEnvironment::create();
  const auto linked = environment->brOpenDynamicArray(Variant(marks("Abc^b")));
  // A linked array compares as its environment says: exactly, once casing is on.
  environment->brCasing(true);
  const auto findsLowerCase = [](const Ref<clsTarnDynamicArray>& a) {
    std::int32_t position = 0;
    return a->brLocateStr(u"abc", position);
  };
  for (const auto& copy : {linked->brCopy(), linked->brClone()}) {
    EXPECT_FALSE(findsLowerCase(copy));  // linked
    EXPECT_EQ(copy->brCString(), linked->brCString());
    copy->brReplaceStr(u"z", level(1));
    EXPECT_EQ(shown(linked->brCString()), "Abc^b");
  }
  EXPECT_TRUE(findsLowerCase(linked->brExtract(level(1))));  // not linked
  EXPECT_TRUE(findsLowerCase(array("Abc")->brCopy()));

  EXPECT_EQ(array("a^b]c")->brLen(), 5);
  EXPECT_EQ(array("")->brLen(), 0);
  EXPECT_TRUE(linked->brIsODBC());
  EXPECT_EQ(linked->brHandle().substr(0, 8), u"B66B0110");
  EXPECT_NE(linked->brHandle(), linked->brCopy()->brHandle());
}

// Random texts and random operations on one array, each step checked against the plain model;
// the array's remembered position must never show through.
TEST(DynamicArrayModel, SequencesOfEditsAgreeWithTheModel) {
  std::mt19937 rng(20261205);
  const char16_t alphabet[] = {u'a', u'b', model::AM, model::AM, model::VM, model::SVM, 0x00FF};
  auto draw = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto randomText = [&](int maxLength) {
    String t;
    const int n = draw(0, maxLength);
    for (int i = 0; i < n; ++i) t.push_back(alphabet[draw(0, 6)]);
    return t;
  };
  for (int round = 0; round < 300; ++round) {
    // Odd rounds pass the levels as plain integers, even rounds as Variants.
    const bool plain = round % 2 == 1;
    String expected = randomText(30);
    const auto a = clsTarnDynamicArray::create();
    a->brCString(expected);
    for (int step = 0; step < 60; ++step) {
      const int x = draw(-2, 12), y = draw(-2, 4), z = draw(-2, 3);
      const String fresh = randomText(3);
      switch (draw(0, 4)) {
        case 0:
          ASSERT_EQ(plain ? a->brExtractStr(x, y, z) : a->brExtractStr(x, level(y), level(z)),
                    model::extract(expected, x, y, z))
              << shown(expected) << " extract " << x << "," << y << "," << z;
          break;
        case 1:
          plain ? a->brReplaceStr(fresh, x, y, z)
                : a->brReplaceStr(fresh, level(x), level(y), level(z));
          expected = model::replace(expected, fresh, x, y, z);
          break;
        case 2:
          plain ? a->brInsertStr(fresh, x, y, z)
                : a->brInsertStr(fresh, level(x), level(y), level(z));
          expected = model::insert(expected, fresh, x, y, z);
          break;
        case 3:
          plain ? a->brDelete(x, y, z) : a->brDelete(level(x), level(y), level(z));
          expected = model::remove(expected, x, y, z);
          break;
        default:
          if (draw(0, 3) == 0) {
            expected = randomText(40);
            a->brCString(expected);
          }
          break;
      }
      ASSERT_EQ(shown(a->brCString()), shown(expected)) << "round " << round << " step " << step;
    }
  }
}

TEST(DynamicArrayModel, ReadsLongArraysInAnyOrder) {
  String text;
  for (int i = 1; i <= 500; ++i) {
    if (i > 1) text.push_back(model::AM);
    text += marks(("k" + std::to_string(i) + "]v\\w").c_str());
  }
  const auto a = clsTarnDynamicArray::create();
  a->brCString(text);
  std::mt19937 rng(7);
  for (int probe = 0; probe < 2000; ++probe) {
    const int attr = std::uniform_int_distribution<int>(-1, 502)(rng);
    ASSERT_EQ(a->brExtractStr(attr, level(1)), model::extract(text, attr, 1, 0)) << attr;
  }
  for (int attr = 500; attr >= 1; --attr) {
    ASSERT_EQ(a->brExtractStr(attr), model::extract(text, attr, 0, 0)) << attr;
  }
}

// A client's walk through a long item, editing as it goes: the attribute just read is remembered
// with its end, and an edit inside it must not leave that end behind. Debug builds check the
// remembered position on every call, so this walk also keeps that check linear.
TEST(DynamicArrayModel, WalksLongArraysInOrderWhileEditing) {
  constexpr int kAttributes = 20000;
  auto attribute = [](int i, bool edited) {
    return marks(("k" + std::to_string(i) + (edited ? "]zz\\w" : "]v\\w")).c_str());
  };
  String text, expected;
  for (int i = 1; i <= kAttributes; ++i) {
    if (i > 1) {
      text.push_back(model::AM);
      expected.push_back(model::AM);
    }
    text += attribute(i, false);
    expected += attribute(i, i % 97 == 0);
  }
  const auto a = clsTarnDynamicArray::create();
  a->brCString(text);
  for (int attr = 1; attr <= kAttributes; ++attr) {
    ASSERT_EQ(a->brExtractStr(attr), attribute(attr, false)) << attr;
    if (attr % 97 == 0) a->brReplaceStr(u"zz", attr, 2, 1);
  }
  EXPECT_EQ(a->brExtractStr(kAttributes + 1), u"");
  EXPECT_TRUE(a->brCString() == expected);
}

}  // namespace
}  // namespace tarn
