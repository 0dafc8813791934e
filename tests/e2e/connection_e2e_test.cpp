#include <chrono>
#include <ctime>

#include "tests/e2e/e2e_fixture.h"

namespace tarn::e2e {
namespace {

// Days since 31 Dec 1967 and seconds since midnight, local time, as the server counts them.
std::pair<long, long> localDateAndTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const auto days = std::chrono::sys_days(std::chrono::year_month_day(
                        std::chrono::year(local.tm_year + 1900),
                        std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                        std::chrono::day(static_cast<unsigned>(local.tm_mday)))) -
                    std::chrono::sys_days(std::chrono::year(1967) / 12 / 31);
  return {static_cast<long>(days.count()),
          local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec};
}

using ConnectionEndToEnd = EndToEndTest;

TEST_F(ConnectionEndToEnd, TclCommandsReturnBothOutputs) {
  conn_->brExecute(u"COUNT MD");
  const String count = conn_->brCapturing()->brCString();
  EXPECT_EQ(count.substr(0, 7), u"Count: ") << toUtf8(count);

  auto tcl = conn_->brOpenTclCommand(u"DATE");
  tcl->brExecute();
  EXPECT_FALSE(tcl->brCapturing()->brCString().empty());
}

TEST_F(ConnectionEndToEnd, ConversionsRoundTrip) {
  const String external = conn_->brOconv(u"21524", u"D");
  EXPECT_EQ(conn_->brIconv(external, u"D"), u"21524");
  EXPECT_EQ(conn_->brOconv(u"51424", u"MTS"), u"14:17:04");
  EXPECT_EQ(conn_->brIconv(u"14:17:04", u"MTS"), u"51424");
  EXPECT_EQ(conn_->brOconv(u"hello", u"MCU"), u"HELLO");
}

TEST_F(ConnectionEndToEnd, ServerClockAndCalendar) {
  const auto before = localDateAndTime();
  const std::int32_t date = conn_->brDate();
  const std::int32_t time = conn_->brTime();
  const auto after = localDateAndTime();
  EXPECT_TRUE(date == before.first || date == after.first) << date;
  if (before.first == after.first) {  // not across midnight
    EXPECT_GE(time, before.second - 1);
    EXPECT_LE(time, after.second + 1);
  }
  EXPECT_EQ(conn_->brOconv(decimalText(date), u"D4-").size(), 10u);  // 12-05-2026
  EXPECT_FALSE(conn_->brTimeDate().empty());
  conn_->brSleep(u"0");
}

TEST_F(ConnectionEndToEnd, PassThroughSessionsWork) {
  auto dao = env_->brOpenConnection(u"ODBC;", dataSource_);
  EXPECT_EQ(dao->brDomain(), u"ODBC;");
  EXPECT_TRUE(isNumericText(dao->brSystem(TarnSystem_PortNumber)));
  dao->brExecute(u"COUNT MD");
  EXPECT_EQ(dao->brCapturing()->brCString().substr(0, 7), u"Count: ");
  env_->brCloseConnection(dao);
}

}  // namespace
}  // namespace tarn::e2e
