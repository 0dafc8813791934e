// Protection through the library, on a system of its own (its DM gets protected): UID and PWD in
// the connection string, no password in any text the library shows, accounts made only on
// purpose.
#include <optional>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

namespace tarn::e2e {
namespace {

// The tests' data source allows creation; each connection here says what it allows.
class ProtectionEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (testing::onPostgres()) {
      database_.emplace(*testing::testPostgres());
      system_ = database_->keywords();
    } else {
      system_ = dir_.path() + "/system";
    }
  }
  Ref<clsTarnConnection> open(const std::string& account,
                              const String& more = u";CreateAccount=No") {
    return env_->brOpenConnection(
        u"ODBC", fromUtf8("DSN=Tarn;System={" + system_ + "};Account=" + account) + more);
  }
  // Stacks user and password and runs the command; returns the message number it answered.
  static String withCredentials(clsTarnConnection& c, const String& command, const String& user,
                                const String& password) {
    c.brData(user + AM + password);
    c.brExecute(command);
    return c.brReturning()->brCString();
  }

  testing::TempDir dir_;
  std::optional<testing::ScratchDatabase> database_;
  std::string system_;
};

// Every text a failure shows, for scanning.
String everyText(const TarnError& e) {
  return e.source() + u"|" + e.description() + u"|" + e.diagnostic() + u"|" + fromUtf8(e.what());
}

TEST_F(ProtectionEndToEnd, PasswordsWorkButNeverShow) {
  const String dmPassword = u"Dm-Sekrit-\u00E9";
  const String password = u"Vault-Sekrit-\u00E9t\u00E9";
  {
    auto dm = open("DM", u";CreateAccount=Yes");
    ASSERT_EQ(withCredentials(*dm, u"PROTECT-ACCOUNT DM", u"root", dmPassword), u"231");
    auto vault = open("VAULT", u";CreateAccount=Yes");
    ASSERT_EQ(withCredentials(*vault, u"PROTECT-ACCOUNT VAULT", u"ann", password), u"231");
  }
  struct Case {
    String attributes;
    bool admitted;
  };
  const Case cases[] = {
      {u"", false},
      {u";UID=ann;PWD=Wrong-Sekrit-1", false},
      {u";UID=ann;PWD={" + dmPassword + u"}", false},
      {u";UID=ann;PWD={" + password + u"};CreateAccount=No", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.attributes));
    if (!c.admitted) {
      const TarnError e = errorOf([&] { (void)open("VAULT", c.attributes); });
      EXPECT_EQ(e.number(), err::kConnectRefused);
      EXPECT_EQ(e.sqlState(), u"28000");
      EXPECT_NE(e.diagnostic().find(u"Account VAULT"), String::npos) << e.what();
      for (const String& secret : {String(u"Wrong-Sekrit-1"), dmPassword, password})
        EXPECT_EQ(everyText(e).find(secret), String::npos) << toUtf8(everyText(e));
      continue;
    }
    auto admitted = open("VAULT", c.attributes);
    EXPECT_EQ(admitted->brSystem(33), u"VAULT");
    // Texts of a good connection, and of a later failure on it, show the data source masked.
    const TarnError later = errorOf([&] { (void)admitted->brOpenFile(u"", u"NOSUCH"); });
    for (const String& text : {admitted->brName(), admitted->brDatabase(), everyText(later)}) {
      EXPECT_EQ(text.find(password), String::npos) << toUtf8(text);
      EXPECT_NE(text.find(u"PWD=***"), String::npos) << toUtf8(text);
    }
  }
}

}  // namespace
}  // namespace tarn::e2e
