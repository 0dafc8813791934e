#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "tests/server/conv/conv_test_util.h"

namespace tarn::server::testing {
namespace {

TEST(DateOutput, FormatsWholeDatesByCode) {
  const std::vector<Case> cases = {
      {"0", "D", "31 DEC 1967"},       {"1", "D", "01 JAN 1968"},
      {"-1", "D", "30 DEC 1967"},      {"21524", "D", "05 DEC 2026"},
      {"21524", "D4", "05 DEC 2026"},  {"21524", "D2", "05 DEC 26"},
      {"21524", "D0", "05 DEC"},       {"21524", "D2/", "12/05/26"},
      {"21524", "D4-", "12-05-2026"},  {"21524", "D.", "12.05.2026"},
      {"21524", "D/", "12/05/2026"},   {"21524", "D0/", "12/05"},
      {"21524", "DE/", "05/12/2026"},  {"21524", "D2E-", "05-12-26"},
      {"11748", "D", "29 FEB 2000"},   {"-24776", "D4/", "03/01/1900"},
      {"21524.9", "D", "05 DEC 2026"}, {"+1", "D", "01 JAN 1968"},
  };
  expectConversions(Way::kOut, cases);
}

TEST(DateOutput, ExtractsElements) {
  const std::vector<Case> cases = {
      {"21524", "DY", "2026"},
      {"21524", "D2Y", "26"},
      {"21524", "DM", "12"},
      {"21524", "DMA", "DECEMBER"},
      {"21524", "DD", "5"},
      {"21524", "DW", "6"},
      {"21524", "DWA", "SATURDAY"},
      {"21524", "DQ", "4"},
      {"21524", "DJ", "339"},
      {"0", "DW", "7"},
      {"0", "DWA", "SUNDAY"},
      {"0", "DJ", "365"},
      {"1", "DW", "1"},
      {"1", "DJ", "1"},
      {"11748", "DJ", "60"},
      {"60", "DMA", "FEBRUARY"},
      {"60", "DQ", "1"},
  };
  expectConversions(Way::kOut, cases);
}

TEST(DateOutput, LeavesWhatIsNotADateAlone) {
  EXPECT_EQ(out("", "D"), "");
  EXPECT_EQ(out("abc", "D"), "abc");
  EXPECT_EQ(out("12 5", "D"), "12 5");
  EXPECT_EQ(out("99999999", "D"), "99999999");
  EXPECT_EQ(out("-99999999", "D2/"), "-99999999");
  EXPECT_EQ(out("0\xFD"
                "1\xFD"
                "abc\xFC-1",
                "D"),
            "31 DEC 1967\xFD"
            "01 JAN 1968\xFD"
            "abc\xFC"
            "30 DEC 1967");
}

TEST(DateInput, ReadsCommonExternalForms) {
  const std::vector<Case> cases = {
      {"12/05/2026", "D", "21524"},      {"12/05/26", "D2/", "21524"},
      {"12-05-26", "D", "21524"},        {"12.5.2026", "D", "21524"},
      {"2026-12-05", "D", "21524"},      {"05 DEC 2026", "D", "21524"},
      {"5 dec 2026", "D", "21524"},      {"05-DEC-2026", "D", "21524"},
      {"05DEC2026", "D", "21524"},       {"December 5, 2026", "D", "21524"},
      {"Sat 05 Dec 2026", "D", "21524"}, {"2026 DEC 05", "D", "21524"},
      {"05/12/2026", "DE", "21524"},     {"05/12/2026", "DE/", "21524"},
      {"31 DEC 1967", "DY", "0"},        {"30 DEC 1967", "D", "-1"},
      {"02/29/2000", "D", "11748"},      {"02/29/2028", "D", "21975"},
      {"01/01/29", "D", "22282"},        {"01/01/30", "D", "-13878"},
  };
  expectConversions(Way::kIn, cases);
}

TEST(DateInput, GivesEmptyForWhatIsNotADate) {
  for (const char* bad :
       {"", "abc", "21524", "13/01/2026", "02/30/2026", "02/29/2027", "02/29/1900", "00/10/2026",
        "1/2/3/4", "12/05/20266", "DEC JAN 5 2026", "05 FOO 2026", "5", "12/05/2026 14:00:00 x",
        "12\x01"
        "05"}) {
    EXPECT_EQ(in(bad, "D"), "") << bad;
  }
}

TEST(DateInput, TakesTheCurrentYearWhenNoneIsGiven) {
  const long today = internalDateToday();
  const std::string year = out(std::to_string(today), "DY");
  const std::string expected = in("12/05/" + year, "D");
  // Midnight may pass between the two readings.
  const std::string afterYear = out(std::to_string(internalDateToday()), "DY");
  const std::string got = in("12/05", "D");
  EXPECT_TRUE(got == expected || got == in("12/05/" + afterYear, "D")) << got;
  EXPECT_EQ(in("5 DEC", "D"), got);
  EXPECT_EQ(in("05/12", "DE"), got);
}

// Every day from 1899 to 2104 against the standard library's calendar, through both directions;
// the 1900 and 2100 non-leap years and 2000's leap day lie inside.
TEST(DateRoundTrip, AgreesWithTheStandardCalendar) {
  using namespace std::chrono;
  const sys_days epoch = sys_days(year(1967) / December / 31);
  for (long day = -25000; day <= 50000; ++day) {
    const year_month_day ymd(epoch + days(day));
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02u/%02u/%04d", static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(ymd.year()));
    const std::string internal = std::to_string(day);
    const std::string external = out(internal, "D4/");
    ASSERT_EQ(external, expected) << day;
    ASSERT_EQ(in(external, "D"), internal) << external;
    if (day % 5 != 0) continue;
    ASSERT_EQ(in(out(internal, "D"), "D"), internal) << day;
    ASSERT_EQ(in(out(internal, "DE-"), "DE"), internal) << day;
  }
  // The far ends of the calendar.
  for (const char* internal : {"-718430", "-718000", "2933628", "2933000"}) {
    EXPECT_EQ(in(out(internal, "D"), "D"), internal);
  }
  EXPECT_EQ(out("-718430", "D"), "01 JAN 0001");
  EXPECT_EQ(out("2933628", "D"), "31 DEC 9999");
  EXPECT_EQ(out("-718431", "D"), "-718431");
  EXPECT_EQ(out("2933629", "D"), "2933629");
}

TEST(DateRoundTrip, TwoDigitYearsInsideTheWindow) {
  for (const char* internal : {"-13878", "-1", "0", "1", "11748", "21524", "22281"}) {
    EXPECT_EQ(in(out(internal, "D2/"), "D"), internal);
    EXPECT_EQ(in(out(internal, "D2"), "D"), internal);
  }
}

TEST(DateInputForm, SwapsTheDirections) {
  EXPECT_EQ(out("12/05/2026", "DI"), "21524");
  EXPECT_EQ(out("not a date", "DI"), "");
  EXPECT_EQ(in("21524", "DI"), "05 DEC 2026");
  EXPECT_EQ(in("abc", "DI"), "abc");
}

TEST(DateCodes, RefusesMalformedCodes) {
  for (const char* bad : {"DX", "D5", "D9/", "D2//", "D/-", "DYM", "DMD", "DA", "D2I", "DIE", "D0Y",
                          "DEE", "DMAA", "d", "D/2", "D\x01", "DY\xFB"}) {
    EXPECT_FALSE(oconv("21524", bad, kUsFormat).has_value()) << bad;
    EXPECT_FALSE(iconv("12/05/2026", bad, kUsFormat).has_value()) << bad;
  }
}

TEST(Clock, TodayIsTheLocalDateCountedFrom1967) {
  using namespace std::chrono;
  auto localInternal = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const sys_days date = sys_days(year(local.tm_year + 1900) / (local.tm_mon + 1) / local.tm_mday);
    return (date - sys_days(year(1967) / December / 31)).count();
  };
  const long before = localInternal();
  const long today = internalDateToday();
  const long after = localInternal();
  EXPECT_TRUE(today == before || today == after) << today;

  const long now = internalTimeNow();
  EXPECT_GE(now, 0);
  EXPECT_LT(now, 86400);
  const long millis = internalMillisecondsNow();
  EXPECT_GE(millis, 0);
  EXPECT_LT(millis, 86400000);
}

}  // namespace
}  // namespace tarn::server::testing
