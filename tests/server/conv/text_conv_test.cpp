#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/engine/conv/conv_internal.h"
#include "tests/server/conv/conv_test_util.h"

namespace tarn::server::testing {
namespace {

// Case, length and group codes read the same both ways. Engine text is UTF-8: letters beyond
// ASCII (Latin, Greek, Cyrillic) change case and count as letters; CJK counts as letters without
// case.
TEST(TextConversion, CaseLengthAndGroupsEitherWay) {
  const std::vector<Case> cases = {
      {"abc d\u00e9f 1", "MCU", "ABC D\u00c9F 1"},
      {"ABC D\u00c9F \u0160", "MCL", "abc d\u00e9f \u0161"},
      {"\u03b1\u03b2\u03b3 \u0436\u0443\u043a", "MCU", "\u0391\u0392\u0393 \u0416\u0423\u041a"},
      {"hello wORLD it's 2nd-go", "MCT", "Hello World It's 2nd-Go"},
      {"\u00e9cole \u00c9T\u00c9", "MCT", "\u00c9cole \u00c9t\u00e9"},
      {"a1-b2 \u00e9\u4e2d", "MCA", "ab\u00e9\u4e2d"},
      {"a1-b2 \u00e9\u0663", "MCN", "12"},
      {"a1-b2 \u00e9", "MCB", "a1b2\u00e9"},
      {"a1-b2\u00e9", "MC/A", "1-2"},
      {"a1-b2", "MC/N", "a-b"},
      {"a1-b2", "MC/B", "-"},
      {"\U0001F600a", "MCU", "\U0001F600A"},
      // Lengths keep what fits and count characters.
      {"abc", "L3", "abc"},
      {"abcd", "L3", ""},
      {"abc", "L2,4", "abc"},
      {"a", "L2,4", ""},
      {"abcde", "L2,4", ""},
      {"abcd", "L0", "4"},
      {"", "L0", "0"},
      {"", "L3", ""},
      {"ab\xFD"
       "abcd",
       "L3", "ab\xFD"},
      {"\u4e2d\u6587\u00e9", "L3", "\u4e2d\u6587\u00e9"},
      {"\u4e2d\u6587\U0001F600", "L0", "3"},
      // Groups are counted from 0 and may hold their delimiter.
      {"a*b*c", "G0*1", "a"},
      {"a*b*c", "G1*1", "b"},
      {"a*b*c", "G1*2", "b*c"},
      {"a*b*c", "G*2", "a*b"},
      {"a*b*c", "G2*5", "c"},
      {"a*b", "G5*1", ""},
      {"abc", "G0*1", "abc"},
      {"abc", "G1*1", ""},
      {"john q public", "G1 2", "q public"},
      {"**x", "G2*1", "x"},
      {"1.2.3", "G1.1", "2"},
      {"\u4e2d\u00b7\u6587\u00b7\u5b57", "G1\u00b72", "\u6587\u00b7\u5b57"},
  };
  expectConversions(Way::kBoth, cases);
}

// Lower-casing the Latin-1 letters just below the marks would make the characters every client
// takes for marks; marks themselves pass through as bytes.
TEST(CaseConversion, NeverMakesAMark) {
  EXPECT_EQ(out("\u00db\u00dc\u00dd\u00de\u0178", "MCL"), "\u00db\u00dc\u00dd\u00de\u0178");
  EXPECT_EQ(out("ab\xFD"
                "cd",
                "MCU"),
            "AB\xFD"
            "CD");
}

// \376 is the attribute mark, \001 a control character.
TEST(TextCodes, RefuseMalformedCodes) {
  expectRefused("abc",
                {"MC",    "MCX",     "MC/",     "MC/U",        "MCUU", "mcu",    "L",    "L4,2",
                 "L2,",   "L,2",     "L2x",     "L1234567890", "G",    "G0*",    "G0*0", "G0",
                 "G0*1x", "G0\3761", "G0\0011", "G*",          "U407", "U407AB", "X",    "?"});
}

TEST(CodeChains, ApplyInOrderToEachValue) {
  EXPECT_EQ(out("a1b2", "MCA\xFDL0"), "2");
  EXPECT_EQ(out("a1b2", "L0\xFDMCA"), "");
  EXPECT_EQ(out("john q public", "G2 1\xFDMCT"), "Public");
  EXPECT_EQ(out("21524\xFD"
                "0\xFC"
                "1",
                "D2/\xFDG0/2"),
            "12/05\xFD"
            "12/31\xFC"
            "01/01");
  EXPECT_EQ(in("12/05/2026\xFD"
               "05 DEC 26",
               "D\xFDMD2"),
            "2152400\xFD"
            "2152400");
  EXPECT_EQ(out("abc", ""), "abc");
  EXPECT_EQ(out("abc", "MCU\xFD"), "ABC");
  EXPECT_EQ(out("abc", "MCU\xFDXX"), "<bad>");
  EXPECT_EQ(out("abc", "\xFD\xFD"), "abc");
}

class SleepConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ =
        conv::exchangeSleeper([this](std::chrono::milliseconds d) { slept_.push_back(d.count()); });
  }
  void TearDown() override { conv::exchangeSleeper(previous_); }

  std::vector<long> slept_;

 private:
  conv::Sleeper previous_;
};

TEST_F(SleepConversion, SleepsTheGivenSecondsWithinTheCap) {
  EXPECT_EQ(out("2", "U407A"), "");
  EXPECT_EQ(in("0.25", "U407A"), "");
  EXPECT_EQ(out("100000", "U407A"), "");
  EXPECT_EQ(out("123456789012345678901", "U407A"), "");
  EXPECT_EQ(slept_, (std::vector<long>{2000, 250, conv::kMaxSleepSeconds * 1000,
                                       conv::kMaxSleepSeconds * 1000}));
}

TEST_F(SleepConversion, DoesNotSleepForNothingOrNonsense) {
  for (const char* value : {"0", "-3", "abc", "1e3", "",
                            "1\xFD"
                            "2",
                            "0.0001"}) {
    EXPECT_EQ(out(value, "U407A"), "") << value;
  }
  EXPECT_EQ(out("2", "U407A\xFDXX"), "<bad>");
  EXPECT_EQ(out("2", "MCU\xFDU407A\xFDL0"), "0");
  EXPECT_EQ(slept_, std::vector<long>{2000});
}

}  // namespace
}  // namespace tarn::server::testing
