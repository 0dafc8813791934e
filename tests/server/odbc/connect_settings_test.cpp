#include "server/odbc/connect_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarn::server::odbc {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(ConnectionString, SplitsKeysAndValues) {
  struct Case {
    const char* text;
    Pairs expected;
  };
  const Case cases[] = {
      {"DSN=Accounts;", {{"DSN", "Accounts"}}},
      {"dsn = Accounts ; uid=me;PWD=x", {{"DSN", "Accounts"}, {"UID", "me"}, {"PWD", "x"}}},
      {"System={/tmp/a;b};Account=DM", {{"SYSTEM", "/tmp/a;b"}, {"ACCOUNT", "DM"}}},
      {"System={a}}b};", {{"SYSTEM", "a}b"}}},
      {"junk;DSN=x;;=y;", {{"DSN", "x"}}},
      {"System={unclosed", {{"SYSTEM", "unclosed"}}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parseConnectionString(c.text), c.expected) << c.text;
}

// Fake sources: an odbc.ini and an environment held in maps.
struct FakeSources {
  std::map<std::pair<std::string, std::string>, std::string> ini;
  std::map<std::string, std::string> env;

  SettingsSources sources() const {
    SettingsSources s;
    s.profile = [this](const std::string& dsn, const char* key) -> std::optional<std::string> {
      auto it = ini.find({dsn, key});
      if (it == ini.end()) return std::nullopt;
      return it->second;
    };
    s.environment = [this](const char* name) -> std::optional<std::string> {
      auto it = env.find(name);
      if (it == env.end()) return std::nullopt;
      return it->second;
    };
    return s;
  }
};

TEST(ConnectSettings, ConnectionStringThenOdbcIniThenDefaults) {
  FakeSources f;
  f.ini[{"Accounts", "System"}] = "/ini/sys";
  f.ini[{"Accounts", "Account"}] = "SALES";
  f.env["HOME"] = "/home/u";

  auto fromIni = resolveSettings(parseConnectionString("DSN=Accounts;"), f.sources());
  ASSERT_TRUE(fromIni);
  EXPECT_EQ(fromIni->system, "/ini/sys");
  EXPECT_EQ(fromIni->account, "SALES");
  EXPECT_FALSE(fromIni->embeddedDefault);

  auto overridden =
      resolveSettings(parseConnectionString("DSN=Accounts;System=/cs/sys;Account=DM"), f.sources());
  ASSERT_TRUE(overridden);
  EXPECT_EQ(overridden->system, "/cs/sys");
  EXPECT_EQ(overridden->account, "DM");
}

TEST(ConnectSettings, AccountDefaultsToTheDsnNameAndWithoutOneToDm) {
  FakeSources f;
  f.env["HOME"] = "/home/u";
  auto named = resolveSettings(parseConnectionString("DSN=Payroll"), f.sources());
  ASSERT_TRUE(named);
  EXPECT_EQ(named->account, "Payroll");
  EXPECT_EQ(named->dsn, "Payroll");
  auto unnamed = resolveSettings(parseConnectionString("DRIVER=Tarn;System=/s"), f.sources());
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->account, "DM");
  EXPECT_EQ(unnamed->dsn, "");
}

TEST(ConnectSettings, EmbeddedDefaultSystemFollowsTheEnvironment) {
  struct Case {
    std::map<std::string, std::string> env;
    std::optional<std::string> system;
  };
  const Case cases[] = {
      {{{"TARN_SYSTEM", "/t"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, "/t"},
      {{{"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, "/x/tarncl/system"},
      // A relative XDG_DATA_HOME is invalid by its own rules and is ignored.
      {{{"XDG_DATA_HOME", "rel"}, {"HOME", "/h"}}, "/h/.local/share/tarncl/system"},
      {{{"HOME", "/h"}}, "/h/.local/share/tarncl/system"},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    FakeSources f;
    f.env = c.env;
    auto s = resolveSettings(parseConnectionString("DSN=Nowhere"), f.sources());
    ASSERT_EQ(s.has_value(), c.system.has_value());
    if (s) {
      EXPECT_EQ(s->system, *c.system);
      EXPECT_TRUE(s->embeddedDefault);
    }
  }
}

TEST(ConnectSettings, LimitsComeFromTheConnectionStringThenOdbcIni) {
  FakeSources f;
  f.ini[{"Sales", "MaxItemSize"}] = "1000";
  f.ini[{"Sales", "MaxReplySize"}] = "5000";
  auto s = resolveSettings(
      parseConnectionString("DSN=Sales;System=/s;MaxReplySize=77;maxelementnumber=9;"
                            "MaxStackedCommands=2"),
      f.sources());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->badLimit, "");
  EXPECT_EQ(s->limits.itemBytes, 1000u);
  EXPECT_EQ(s->limits.replyBytes, 77u);
  EXPECT_EQ(s->limits.elementNumber, 9);
  EXPECT_EQ(s->limits.stackedCommands, 2u);
  auto defaults = resolveSettings(parseConnectionString("System=/s"), f.sources());
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->limits.itemBytes, Limits{}.itemBytes);

  for (const char* bad :
       {"MaxItemSize=0", "MaxItemSize=-5", "MaxItemSize=12k", "MaxElementNumber=99999999999"}) {
    auto refused =
        resolveSettings(parseConnectionString(std::string("System=/s;") + bad), f.sources());
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->badLimit, "") << bad;
  }
}

}  // namespace
}  // namespace tarn::server::odbc
