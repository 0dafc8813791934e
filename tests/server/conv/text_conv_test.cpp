#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/engine/conv/conv_internal.h"
#include "tests/server/conv/conv_test_util.h"

namespace tarn::server::testing {
namespace {

TEST(CaseConversion, ChangesCaseAndFiltersClasses) {
  const std::vector<Case> cases = {
      {"abc d\xE9"
       "f 1",
       "MCU",
       "ABC D\xC9"
       "F 1"},
      {"ABC D\xC9"
       "F \x8A",
       "MCL",
       "abc d\xE9"
       "f \x9A"},
      {"hello wORLD it's 2nd-go", "MCT", "Hello World It's 2nd-Go"},
      {"a1-b2 \xE9", "MCA", "ab\xE9"},
      {"a1-b2 \xE9", "MCN", "12"},
      {"a1-b2 \xE9", "MCB", "a1b2\xE9"},
      {"a1-b2", "MC/A", "1-2"},
      {"a1-b2", "MC/N", "a-b"},
      {"a1-b2", "MC/B", "-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(out(c.value, c.code), c.expected) << c.code;
    EXPECT_EQ(in(c.value, c.code), c.expected) << c.code;
  }
}

// Lower-casing the Latin-1 letters just below the marks would turn them into marks.
TEST(CaseConversion, NeverMakesAMark) {
  for (int byte = 0x20; byte < 0xFB; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    for (const char* code : {"MCU", "MCL", "MCT"}) {
      const std::string converted = out(one, code);
      ASSERT_EQ(converted.size(), 1u) << byte;
      EXPECT_LT(static_cast<unsigned char>(converted[0]), 0xFB) << byte << " " << code;
    }
  }
  EXPECT_EQ(out("\xDB\xDC\xDD\xDE", "MCL"), "\xDB\xDC\xDD\xDE");
  EXPECT_EQ(out("ab\xFD"
                "cd",
                "MCU"),
            "AB\xFD"
            "CD");
}

TEST(LengthConversion, KeepsValuesThatFit) {
  const std::vector<Case> cases = {
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
  };
  for (const Case& c : cases) {
    EXPECT_EQ(out(c.value, c.code), c.expected) << c.value << " " << c.code;
    EXPECT_EQ(in(c.value, c.code), c.expected) << c.value << " " << c.code;
  }
}

TEST(GroupConversion, ExtractsDelimitedGroups) {
  const std::vector<Case> cases = {
      {"a*b*c", "G0*1", "a"},  {"a*b*c", "G1*1", "b"}, {"a*b*c", "G1*2", "b*c"},
      {"a*b*c", "G*2", "a*b"}, {"a*b*c", "G2*5", "c"}, {"a*b", "G5*1", ""},
      {"abc", "G0*1", "abc"},  {"abc", "G1*1", ""},    {"john q public", "G1 2", "q public"},
      {"**x", "G2*1", "x"},    {"1.2.3", "G1.1", "2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(out(c.value, c.code), c.expected) << c.value << " " << c.code;
    EXPECT_EQ(in(c.value, c.code), c.expected) << c.value << " " << c.code;
  }
}

TEST(TextCodes, RefuseMalformedCodes) {
  for (const char* bad : {"MC",
                          "MCX",
                          "MC/",
                          "MC/U",
                          "MCUU",
                          "mcu",
                          "L",
                          "L4,2",
                          "L2,",
                          "L,2",
                          "L2x",
                          "L1234567890",
                          "G",
                          "G0*",
                          "G0*0",
                          "G0",
                          "G0*1x",
                          "G0\xFE"
                          "1",
                          "G0\x01"
                          "1",
                          "G*",
                          "U407",
                          "U407AB",
                          "X",
                          "?"}) {
    EXPECT_EQ(out("abc", bad), "<bad>") << bad;
    EXPECT_EQ(in("abc", bad), "<bad>") << bad;
  }
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
