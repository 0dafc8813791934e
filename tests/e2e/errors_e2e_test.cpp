// The failures a person most often meets, through the library, unixODBC, the driver and the
// server: the number and source the contract gives, and beside them the facts to act on.

#include <functional>
#include <memory>

#include "tarn/frame/error_internal.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/pg_scratch.h"

namespace tarn::e2e {
namespace {

constexpr char16_t kTitle[] = u"Tarn Class Library (ODBC Only) (ODBC) ";

class Failures : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    cust_ = createFile(u"CUST");
    cust_->brWrite(array(u"Ann" + AM + u"555"), u"42");
    cust_->brWrite(array(u"Bob"), u"7");
    account_ = conn_->brSystem(33);
  }
  // Compiles and catalogs a subroutine from its source lines.
  void catalog(const String& name, std::initializer_list<const char16_t*> source) {
    String text;
    for (const char16_t* line : source) text += (text.empty() ? u"" : AM) + String(line);
    conn_->brExecute(u"CREATE-FILE BP 1 (");
    conn_->brOpenFile(u"", u"BP")->brWrite(array(text), name);
    conn_->brExecute(u"COMPILE BP, " + name);
    conn_->brExecute(u"CATALOG BP, " + name);
  }

  Ref<clsTarnFile> cust_;
  String account_;
};

// The words the server or the driver manager sent, whatever prefix the component put before them.
bool says(const TarnError& e, std::u16string_view words) {
  return e.diagnostic().find(words) != String::npos;
}

TEST_F(Failures, EachCommonFailureSaysWhatToActOn) {
  auto holder = connectAgain();
  (void)holder->brOpenFile(u"", u"CUST")->brReadU(u"42");
  const std::int32_t holderPort = std::stoi(toUtf8(holder->brSystem(22)));
  catalog(u"DIV", {u"SUBROUTINE DIV(A)", u"B = 1", u"A = B / 0", u"RETURN"});
  conn_->brOpenFile(u"", u"BP")->brWrite(array(u"SUBROUTINE RAW(A)" + AM + u"RETURN"), u"RAW");

  struct Case {
    const char* what;
    std::function<void()> fails;
    std::int32_t number;
    std::u16string source;  // after the library's title
    const char16_t* sqlState;
    std::u16string words;  // in the diagnostic, or the library's detail
    std::function<void(const TarnError&)> more;
  };
  const Case cases[] = {
      {"wrong data source name", [&] { (void)env_->brOpenConnection(u"ODBC", u"NoSuchSource"); },
       err::kDriverManager, u"clsTarnEnvironment.brOpenConnection('ODBC','NoSuchSource')", u"IM002",
       u"Data source name not found", nullptr},
      {"missing driver", [&] { (void)env_->brOpenConnection(u"ODBC", u"DSN=TarnNoDriver"); },
       err::kConnectFailed, u"clsTarnEnvironment.brOpenConnection('ODBC','DSN=TarnNoDriver')",
       u"01000", u"Can't open lib", nullptr},
      {"missing file", [&] { (void)conn_->brOpenFile(u"", u"NOFILE"); }, serverStatusError(9),
       u"clsTarnConnection.brOpenFile " + dataSource_ + u" NOFILE", u"01000",
       u"'NOFILE' is not a file that account " + account_ + u" can open.", nullptr},
      {"missing item", [&] { (void)cust_->brRead(u"43"); }, err::kItemMissing,
       u"clsTarnFile.brRead  CUST 43", u"01000", u"Item '43' is not in CUST.", nullptr},
      {"attribute name not in the dictionary",
       [&] {
         (void)cust_->brRead(u"42");  // an earlier call with another id
         (void)cust_->brReadV(u"7", u"EMAIL");
       },
       err::kItemMissing, u"clsTarnFile.brReadV  CUST 7 EMAIL", u"01000",
       u"attribute name 'EMAIL' is not in the dictionary of CUST", nullptr},
      {"unknown verb", [&] { conn_->brExecute(u"LSIT CUST"); }, serverStatusError(6),
       u"clsTarnTclCommand.brExecute LSIT CUST", u"01000", u"unknown command LSIT", nullptr},
      {"item locked by another port", [&] { (void)cust_->brReadU(u"42"); }, err::kLocked,
       u"clsTarnFile.brReadu  CUST 42", u"01000",
       u"Item '42' of CUST is locked by port " + fromUtf8(std::to_string(holderPort)),
       [&](const TarnError& e) {
         EXPECT_EQ(e.lockPort(), holderPort);
         EXPECT_EQ(e.lockAccount(), account_);
       }},
      {"missing subroutine", [&] { (void)conn_->brOpenRuleModule(u"NOSUCH"); }, err::kItemMissing,
       u"clsTarnConnection.brOpenRuleModule", u"01000", u"No subroutine 'NOSUCH'", nullptr},
      {"uncompiled subroutine", [&] { (void)conn_->brOpenRuleModule(u"RAW", u"BP"); },
       serverStatusError(46), u"clsTarnConnection.brOpenRuleModule", u"01000",
       u"has source but no object code", nullptr},
      {"run-time error in a subroutine",
       [&] {
         VariantArray args(0, 1);
         args.at(0) = Variant(u"x");
         conn_->brOpenRuleModule(u"DIV")->brCall(args);
       },
       serverStatusError(47), u"clsTarnRuleModule.brRun DIV", u"01000", u"division by zero",
       [](const TarnError& e) {
         EXPECT_NE(e.module().find(u"DIV"), String::npos) << toUtf8(e.module());
         EXPECT_EQ(e.line(), 3);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TarnError e = errorOf(c.fails);
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.source().substr(0, c.source.size() + std::size(kTitle) - 1), kTitle + c.source)
        << toUtf8(e.source());
    EXPECT_EQ(e.description(), rsErrorText(e.number()));
    EXPECT_EQ(e.sqlState(), c.sqlState) << e.what();
    EXPECT_TRUE(says(e, c.words) || e.detail().find(c.words) != String::npos) << e.what();
    // One line that holds all of it.
    const std::string what = e.what();
    EXPECT_EQ(what.find('\n'), std::string::npos);
    EXPECT_NE(what.find(std::to_string(e.number())), std::string::npos);
    if (c.more) c.more(e);
  }
}

TEST_F(Failures, ALostServerSaysSoEveryTime) {
  if (!::tarn::testing::onPostgres()) GTEST_SKIP() << "a server to lose runs on PostgreSQL only";
  const std::int32_t port = std::stoi(toUtf8(conn_->brSystem(22)));
  (void)::tarn::testing::endPortSession(systemLocation(), port);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const TarnError e = errorOf([&] { (void)cust_->brRead(u"42"); });
    EXPECT_EQ(e.number(), err::kInternal);
    EXPECT_EQ(e.sqlState(), u"08S01");
    EXPECT_NE(e.diagnostic().find(u"Communication link failure"), String::npos) << e.what();
  }
}

}  // namespace
}  // namespace tarn::e2e
