#include <gtest/gtest.h>

#include <cmath>

#include "tarn/frame/error.h"
#include "tarn/frame/numeric.h"
#include "tarn/frame/variant.h"

namespace tarn {
namespace {

std::int32_t errorOf(auto&& f) {
  try {
    f();
  } catch (const TarnError& e) {
    return e.number();
  }
  return 0;
}

TEST(VariantTest, ConstructionPicksTheType) {
  EXPECT_EQ(Variant().type(), Variant::Type::Empty);
  EXPECT_EQ(Variant(true).type(), Variant::Type::Bool);
  EXPECT_EQ(Variant(std::int16_t{3}).type(), Variant::Type::Int16);
  EXPECT_EQ(Variant(3).type(), Variant::Type::Int32);
  EXPECT_EQ(Variant(3LL).type(), Variant::Type::Int32);
  EXPECT_EQ(Variant(5000000000LL).type(), Variant::Type::Double);
  EXPECT_EQ(Variant(u"x").type(), Variant::Type::String);
  EXPECT_TRUE(Variant::missing().isMissing());
  EXPECT_EQ(Variant::missing().errorCode(), static_cast<std::int32_t>(0x80020004u));
  EXPECT_FALSE(Variant::error(5).isMissing());
}

TEST(VariantTest, IntegerConversionRoundsHalvesToEven) {
  EXPECT_EQ(Variant(2.5).toInt32(), 2);
  EXPECT_EQ(Variant(3.5).toInt32(), 4);
  EXPECT_EQ(Variant(-2.5).toInt32(), -2);
  EXPECT_EQ(Variant(0.5).toInt16(), 0);
  EXPECT_EQ(Variant(1.5).toInt16(), 2);
  EXPECT_EQ(Variant(u" 2.5 ").toInt32(), 2);
  EXPECT_EQ(Variant(true).toInt32(), -1);
  EXPECT_EQ(Variant().toInt32(), 0);
}

TEST(VariantTest, ConversionFailuresCarryPlatformNumbers) {
  EXPECT_EQ(errorOf([] { (void)Variant(32767.5).toInt16(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { (void)Variant(-32768.5).toInt16(); }), 0);  // rounds to -32768
  EXPECT_EQ(errorOf([] { (void)Variant(2147483648.0).toInt32(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { (void)Variant(u"1e10").toInt32(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { (void)Variant(u"abc").toInt32(); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)Variant(u"").toInt32(); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)Variant::null().toInt32(); }), err::kInvalidUseOfNull);
  EXPECT_EQ(errorOf([] { (void)Variant::null().toString(); }), err::kInvalidUseOfNull);
  EXPECT_EQ(errorOf([] { (void)Variant::missing().toInt32(); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)Variant::missing().toBool(); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)Variant(std::nan("")).toInt32(); }), err::kOverflow);
}

TEST(VariantTest, TextOfValues) {
  EXPECT_EQ(Variant(true).toString(), u"True");
  EXPECT_EQ(Variant(false).toString(), u"False");
  EXPECT_EQ(Variant(-42).toString(), u"-42");
  EXPECT_EQ(Variant(0.1).toString(), u"0.1");
  EXPECT_EQ(Variant(2.0).toString(), u"2");
  EXPECT_EQ(Variant(1e20).toString(), u"1E+20");
  EXPECT_EQ(Variant(1.5e-7).toString(), u"1.5E-07");
  EXPECT_EQ(Variant(1.0 / 3).toString(), u"0.333333333333333");
  EXPECT_EQ(Variant().toString(), u"");
}

TEST(VariantTest, BooleansFromText) {
  EXPECT_TRUE(Variant(u" true ").toBool());
  EXPECT_FALSE(Variant(u"FALSE").toBool());
  EXPECT_TRUE(Variant(u"-1").toBool());
  EXPECT_FALSE(Variant(u"0").toBool());
  EXPECT_EQ(errorOf([] { (void)Variant(u"yes").toBool(); }), err::kTypeMismatch);
}

TEST(NumericTextTest, AcceptsWhatThePlatformCallsANumber) {
  for (const char16_t* yes : {u"7", u"007", u" -3 ", u"+2.5", u"1,000", u"1,000.25", u".5", u"5.",
                              u"1e3", u"1E-2", u"2D2", u"$5", u"-$5", u"&HFF", u"&o17"}) {
    EXPECT_TRUE(isNumericText(yes)) << toUtf8(yes);
  }
  for (const char16_t* no : {u"", u" ", u"abc", u"1a", u"-", u".", u"1e", u"1 2", u",5", u"&H",
                             u"&HG", u"--1", u"5$5"}) {
    EXPECT_FALSE(isNumericText(no)) << toUtf8(no);
  }
  EXPECT_DOUBLE_EQ(*parseNumericText(u"1,234.5"), 1234.5);
  EXPECT_DOUBLE_EQ(*parseNumericText(u"&HFFFFFFFF"), -1);
  EXPECT_DOUBLE_EQ(*parseNumericText(u"-$2"), -2);
}

TEST(NumericTextTest, VariantNumericTestFollowsTheType) {
  EXPECT_TRUE(Variant().isNumeric());
  EXPECT_TRUE(Variant(true).isNumeric());
  EXPECT_TRUE(Variant(u"12").isNumeric());
  EXPECT_FALSE(Variant(u"x").isNumeric());
  EXPECT_FALSE(Variant::null().isNumeric());
  EXPECT_FALSE(Variant::missing().isNumeric());
}

TEST(NumericTextTest, NumericPrefixReadsLeadingDigits) {
  EXPECT_EQ(numericPrefix(u"12 items"), 12);
  EXPECT_EQ(numericPrefix(u"  -7x"), -7);
  EXPECT_EQ(numericPrefix(u"items"), 0);
  EXPECT_EQ(numericPrefix(u""), 0);
}

TEST(VariantArrayTest, BoundsAndSubscripts) {
  VariantArray a(1, 3);
  a.at(1) = Variant(u"x");
  a.at(3) = Variant(7);
  EXPECT_EQ(a.lowerBound(), 1);
  EXPECT_EQ(a.upperBound(), 3);
  EXPECT_EQ(errorOf([&] { (void)a.at(0); }), err::kSubscript);
  EXPECT_EQ(errorOf([&] { (void)a.at(4); }), err::kSubscript);
  Variant v(a);
  Variant copy = v;
  copy.array().at(1) = Variant(u"y");  // arrays are values
  EXPECT_EQ(v.array().at(1).toString(), u"x");
  EXPECT_EQ(errorOf([] { (void)Variant(1).array(); }), err::kTypeMismatch);
}

}  // namespace
}  // namespace tarn
