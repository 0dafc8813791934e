#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/conv/conv_test_util.h"

namespace tarn::server::testing {
namespace {

// Seconds since midnight as clock times, then amounts scaled, rounded and decorated.
TEST(NumberConversion, FormatsTimesAndAmounts) {
  const std::vector<Case> cases = {
      {"51424", "MT", "14:17"},
      {"51424", "MTS", "14:17:04"},
      {"51424", "MTH", "02:17PM"},
      {"51424", "MTHS", "02:17:04PM"},
      {"51424", "MTSH", "02:17:04PM"},
      {"0", "MTH", "12:00AM"},
      {"43200", "MTH", "12:00PM"},
      {"43199", "MTHS", "11:59:59AM"},
      {"86399", "MTS", "23:59:59"},
      {"86400", "MT", "00:00"},
      {"-1", "MTS", "23:59:59"},
      {"51424.9", "MTS", "14:17:04"},
      {"51424", "MT.", "14.17"},
      {"51424", "MTS.", "14.17.04"},
      {"", "MT", ""},
      {"abc", "MT", "abc"},
      {"8640000000000000000000000001", "MTS", "00:00:01"},

      {"1234", "MD2", "12.34"},
      {"1234", "MD20", "1234.00"},
      {"12345", "MD23", "12.35"},
      {"-12345", "MD23", "-12.35"},
      {"12344", "MD23", "12.34"},
      {"995", "MD12", "10.0"},
      {"5", "MD2", "0.05"},
      {"1234.5", "MD0", "1235"},
      {"1234", "MD", "1234"},
      {"-0.001", "MD2", "0.00"},
      {"1234567", "MD2,", "12,345.67"},
      {"1234567", "MD2,$", "$12,345.67"},
      {"-1234567", "MD2,$", "-$12,345.67"},
      {"123", "MD2,", "1.23"},
      {"-1234", "MD2-", "12.34-"},
      {"-1234", "MD2M", "12.34-"},
      {"-1234", "MD2C", "12.34CR"},
      {"1234", "MD2C", "12.34"},
      {"1234", "MD2D", "12.34DB"},
      {"-1234", "MD2D", "-12.34"},
      {"0", "MD2D", "0.00"},
      {"-1234", "MD2<", "<12.34>"},
      {"-1234", "MD2E", "<12.34>"},
      {"-1234", "MD2N", "12.34"},
      {"0", "MD2Z", ""},
      {"0.4", "MD0Z", ""},
      {"0", "MD2", "0.00"},
      {"1234", "MR2#10", "     12.34"},
      {"1234", "ML2#10", "12.34     "},
      {"-1234", "MR2*8", "**-12.34"},
      {"123456789", "MR2#4", "1234567.89"},
      {"abc", "MD2", "abc"},
      {"", "MD2", ""},
      {"1e3", "MD2", "1e3"},
      {"123456789012345678901234567890", "MD2,", "1,234,567,890,123,456,789,012,345,678.90"},
  };
  expectConversions(Way::kOut, cases);
}

TEST(TimeConversion, ReadsClockTimes) {
  struct Reading {
    const char* external;
    const char* internal;
  };
  const std::vector<Reading> cases = {
      {"14:17", "51420"},      {"14:17:04", "51424"}, {"2:17PM", "51420"},   {"2:17 pm", "51420"},
      {"02:17:04PM", "51424"}, {"12:00AM", "0"},      {"12:30PM", "45000"},  {"14", "50400"},
      {"9A", "32400"},         {"0:00", "0"},         {"23:59:59", "86399"}, {"14.17", "51420"},
  };
  for (const Reading& c : cases) EXPECT_EQ(in(c.external, "MT"), c.internal) << c.external;
  for (const char* bad : {"", "abc", "24:00", "14:60", "14:17:60", "13PM", "0AM", "1:2:3:4",
                          "14:17XM", "PM2", "123:00", "14/17"}) {
    EXPECT_EQ(in(bad, "MTS"), "") << bad;
  }
}

TEST(TimeConversion, RoundTripsEverySecondOfTheDay) {
  for (long s = 0; s < 86400; ++s) {
    const std::string internal = std::to_string(s);
    ASSERT_EQ(in(out(internal, "MTS"), "MTS"), internal);
    if (s % 7 == 0) {
      ASSERT_EQ(in(out(internal, "MTHS"), "MTHS"), internal);
    }
  }
}

TEST(MaskedDecimal, UsesThePortsNumberFormat) {
  EXPECT_EQ(out("1234567", "MD2,$", kEuroFormat), "EUR12.345,67");
  EXPECT_EQ(out("1234567", "MD2", kEuroFormat), "12345,67");
  EXPECT_EQ(in("EUR12.345,67", "MD2,$", kEuroFormat), "1234567");
  EXPECT_EQ(in("12345,67", "MD2", kEuroFormat), "1234567");
  EXPECT_EQ(in("12345.67", "MD2", NumberFormat{"", "", ","}), "");
  EXPECT_EQ(out("1234567", "MD2,$", NumberFormat{"", "", "."}), "12345.67");
  // A field width counts characters, so a euro sign of three bytes pads like any other.
  EXPECT_EQ(out("1234", "MR2$#8", NumberFormat{"\u20AC", ",", "."}), "  \u20AC12.34");
}

TEST(MaskedDecimal, ReadsExternalAmounts) {
  const std::vector<Case> cases = {
      {"12.34", "MD2", "1234"},
      {"$12,345.67", "MD2,$", "1234567"},
      {"12.345", "MD2", "1235"},
      {"-12.345", "MD2", "-1235"},
      {"12.34-", "MD2", "-1234"},
      {"12.34CR", "MD2", "-1234"},
      {"12.34cr", "MD2C", "-1234"},
      {"<12.34>", "MD2", "-1234"},
      {"(12.34)", "MD2", "-1234"},
      {"12.34DB", "MD2D", "1234"},
      {"-$1.00", "MD2$", "-100"},
      {"  12.34", "MR2#10", "1234"},
      {"***12.34", "MR2*8", "1234"},
      {"12", "MD23", "12000"},
      {"0.00", "MD2", "0"},
      {"-0.001", "MD2", "0"},
      {"12", "MD0", "12"},
      {"", "MD2", ""},
      {"abc", "MD2", ""},
      {"-12.34-", "MD2", ""},
      {"1.2.3", "MD2", ""},
      {"--5", "MD2", ""},
  };
  expectConversions(Way::kIn, cases);
}

TEST(MaskedDecimal, RoundTripsThroughEveryDecoration) {
  const std::vector<const char*> codes = {"MD2", "MD2,$", "MD2-",   "MD2C",   "MD2D", "MD2<",
                                          "MD0", "MD3,",  "MR2#14", "ML2*14", "MD4$-"};
  const std::vector<const char*> values = {"0",    "1",      "-1",        "99",
                                           "-100", "123456", "-98765432", "1000000000000"};
  for (const NumberFormat* format : {&kUsFormat, &kEuroFormat}) {
    for (const char* code : codes) {
      for (const char* value : values) {
        EXPECT_EQ(in(out(value, code, *format), code, *format), value) << value << " " << code;
      }
    }
  }
}

TEST(NumberCodes, RefuseMalformedCodes) {
  expectRefused("1", {"MTX",      "MTHH", "MTSS",  "MT:H",  "MT::", "Mt",    "MT2",
                      "MD234",    "MDX",  "MD2CD", "MD2-<", "MD2#", "MD2#0", "MD2#10,",
                      "MD2#1234", "MX",   "M",     "MQ2",   "MD,2", "md2",   "MD2 "});
  EXPECT_EQ(out("-1", "MD--"), "1-");
}

}  // namespace
}  // namespace tarn::server::testing
