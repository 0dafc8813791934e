// A protected account through the library: UID and PWD in the connection string, LOGTO with
// stacked input.
#include "tests/e2e/e2e_fixture.h"

namespace tarn::e2e {
namespace {

TEST_F(EndToEndTest, ProtectedAccountsNeedTheirCredentials) {
  String account = dataSource_.substr(dataSource_.find(u"Account=") + 8);
  for (char16_t& c : account) c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
  conn_->brData(u"ann" + AM + u"pw-\u00E9t\u00E9");  // two stacked lines: user, password
  conn_->brExecute(u"PROTECT-ACCOUNT " + account);
  ASSERT_EQ(conn_->brReturning()->brCString(), u"231");

  struct Case {
    const char16_t* attributes;
    bool admitted;
  };
  const Case cases[] = {
      {u"", false},
      {u";UID=ann;PWD=wrong", false},
      {u";UID=ann;PWD={pw-\u00E9t\u00E9}", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.attributes));
    if (c.admitted) {
      Ref<clsTarnConnection> admitted = connectAgain(c.attributes);
      EXPECT_EQ(admitted->brSystem(33), account);
    } else {
      EXPECT_EQ(errorOf([&] { (void)connectAgain(c.attributes); }).number(), err::kConnectRefused);
    }
  }
}

}  // namespace
}  // namespace tarn::e2e
