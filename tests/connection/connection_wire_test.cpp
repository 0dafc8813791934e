#include "tests/support/wire_fixture.h"

namespace tarn::wiretest {
namespace {

using ConnectionTest = WireTest;

TEST_F(ConnectionTest, OpeningAppliesTheLocaleSettingsInOrder) {
  scripted_reset();
  for (int i = 0; i < 4; ++i) queueTcl("");
  auto env = clsTarnEnvironment::create();
  env->brCurrency(u"$");
  env->brDecimal(u".");
  env->brGrouping(u",");
  auto conn = env->brOpenConnection(u"ODBC", u"Sales");
  std::vector<std::string> expected = {"E" + AM + "CASE (f", "E" + AM + "SET-NUM-FORMAT //.",
                                       "E" + AM + "SET-NUM-FORMAT /,/",
                                       "E" + AM + "SET-NUM-FORMAT $//"};
  std::vector<std::string> got;
  for (std::size_t i = 0; i < scripted_statement_count(); ++i) {
    std::size_t n = 0;
    const char* s = scripted_statement(i, &n);
    got.emplace_back(s + 2, n - 2);
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(conn->brName(), u"ODBC Sales");
  EXPECT_EQ(conn->brDomain(), u"ODBC");
  EXPECT_EQ(conn->brDatabase(), u"Sales");
  EXPECT_EQ(conn->brCurrency(), u"$");
  EXPECT_FALSE(conn->brCasing());
  EXPECT_TRUE(conn->brIsODBC());
  EXPECT_EQ(conn->brHandle().substr(0, 8), u"B66BF200");
  const String id = conn->brUniqueId();
  EXPECT_EQ(std::count(id.begin(), id.end(), u'-'), 3);
  env->brCloseConnection(conn);
  EXPECT_FALSE(conn);
}

TEST_F(ConnectionTest, LocaleLetsSendTheirCommandAndStoreOnlyOnSuccess) {
  queueTcl("");
  conn_->brGrouping(u",");
  queueTcl("");
  conn_->brDecimal(u"");
  queueTcl("");
  conn_->brCasing(true);
  EXPECT_EQ(sent(),
            (std::vector<std::string>{"E" + AM + "SET-NUM-FORMAT /,/",
                                      "E" + AM + "SET-NUM-FORMAT //", "E" + AM + "CASE (n"}));
  EXPECT_EQ(conn_->brGrouping(), u",");
  EXPECT_EQ(conn_->brDecimal(), u"");
  EXPECT_TRUE(conn_->brCasing());

  queue(reply(6));
  const TarnError e = errorOf([&] { conn_->brCurrency(u"EUR"); });
  EXPECT_EQ(e.number(), serverStatusError(6));
  EXPECT_EQ(e.description(), u"Invalid call");
  EXPECT_EQ(e.source(), kSource + u"clsTarnTclCommand.brExecute SET-NUM-FORMAT EUR//");
  EXPECT_NE(conn_->brCurrency(), u"EUR");
}

// The number and the source name the environment (whatever domain was asked for); the driver's
// diagnostic travels beside them.
TEST_F(ConnectionTest, FailedOpenNamesTheEnvironmentAndKeepsNumberAndDiagnostic) {
  scripted_next_connect(-1, "08001");
  scripted_describe_last_outcome(111, "server at 10.0.0.7 refused the connection");
  auto env = clsTarnEnvironment::create();
  const TarnError e = errorOf([&] { (void)env->brOpenConnection(u"XYZ", u"Sales"); });
  EXPECT_EQ(e.number(), libraryError(1285));
  EXPECT_EQ(e.description(), u"");
  EXPECT_EQ(e.source(), kSource + u"clsTarnEnvironment.brOpenConnection('ODBC','Sales')");
  EXPECT_EQ(env->brDomain(), u"ODBC");
  Variant v;
  EXPECT_EQ(env->brError(v), libraryError(1285));
  EXPECT_EQ(v.toInt32(), libraryError(1285));
  EXPECT_EQ(e.sqlState(), u"08001");
  EXPECT_EQ(e.nativeError(), 111);
  EXPECT_NE(e.diagnostic().find(u"server at 10.0.0.7 refused the connection"), String::npos);
  EXPECT_NE(std::string(e.what()).find("[08001] "), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find("refused the connection"), std::string::npos);
}

TEST_F(ConnectionTest, BareRequestsCarryTheirFieldsInOrder) {
  queueOk("SYS19");
  EXPECT_EQ(conn_->brSystem(19), u"SYS19");
  queueOk("");
  (void)conn_->brSystem(-1);
  queueOk("05 DEC 2026");
  EXPECT_EQ(conn_->brOconv(u"21524", u"D"), u"05 DEC 2026");
  queueOk("21524");
  EXPECT_EQ(conn_->brIconv(u"05 DEC 2026", u"D"), u"21524");
  queueOk();
  conn_->brRelease();
  queueOk("0");
  EXPECT_EQ(conn_->brStatus(), u"0");
  EXPECT_EQ(sent(), (std::vector<std::string>{
                        "Z" + AM + "19", "Z" + AM + "-1", "1" + AM + "D" + AM + "21524",
                        "2" + AM + "D" + AM + "05 DEC 2026", "A", "Z" + AM + "0"}));
}

TEST_F(ConnectionTest, BareRequestFailuresNameTheMember) {
  struct Case {
    std::function<void()> call;
    const char16_t* operation;
  };
  const std::vector<Case> cases = {
      {[&] { (void)conn_->brSystem(19); }, u"brSystem Sales 19"},
      {[&] { (void)conn_->brOconv(u"V", u"C"); }, u"brOconv V C"},
      {[&] { (void)conn_->brIconv(u"V", u"C"); }, u"brIconv V C"},
      {[&] { conn_->brRelease(); }, u"brRelease Sales"},
  };
  for (const Case& c : cases) {
    queue(reply(10));
    const TarnError e = errorOf(c.call);
    EXPECT_EQ(e.number(), serverStatusError(10));
    EXPECT_EQ(e.source(), kSource + u"clsTarnConnection." + c.operation);
    EXPECT_EQ(gLastError, serverStatusError(10));
  }
}

TEST_F(ConnectionTest, TimeIsMillisecondsRoundedToSecondsHalvesToEven) {
  for (auto [millis, seconds] : std::vector<std::pair<std::string, int>>{
           {"500", 0}, {"1500", 2}, {"999", 1}, {"2500", 2}, {"", 0}, {"x", 0}}) {
    queueOk(millis);
    EXPECT_EQ(conn_->brTime(), seconds) << millis;
  }
  EXPECT_EQ(sent().front(), "Z" + AM + "12");
}

TEST_F(ConnectionTest, SleepSendsOnlyForNumbers) {
  conn_->brSleep(u"abc");
  EXPECT_TRUE(sent().empty());
  queueOk();
  conn_->brSleep(u"2");
  EXPECT_EQ(sent(), std::vector<std::string>{"1" + AM + "U407A" + AM + "2"});
}

TEST_F(ConnectionTest, DateIsTheSixthWordOfTheDateCommand) {
  queueTcl("  Sat 05  Dec 2026 day 21524 ");
  EXPECT_EQ(conn_->brDate(), 21524);
  queueTcl("no date here");
  EXPECT_EQ(conn_->brDate(), 0);
  queueTcl("14:17:04 05 Dec 2026" + AM + "second line");
  EXPECT_EQ(conn_->brTimeDate(), text("14:17:04 05 Dec 2026" + AM + "second line"));
  EXPECT_EQ(sent(),
            (std::vector<std::string>{"E" + AM + "DATE", "E" + AM + "DATE", "E" + AM + "TIME"}));
}

TEST_F(ConnectionTest, ExecuteStacksInputOnceAndOutputsFollowTheLastCommand) {
  conn_->brData(u"Y");
  queueTcl("done", "241");
  conn_->brExecute(u"WHO");
  queueTcl("again");
  conn_->brExecute(u"WHO");
  EXPECT_EQ(sent(), (std::vector<std::string>{"E" + AM + "WHO" + AM + "Y", "E" + AM + "WHO"}));
  EXPECT_EQ(conn_->brCapturing()->brCString(), u"again");
  queueTcl("");
  conn_->brCasing(false);
  EXPECT_EQ(conn_->brCapturing()->brCString(), u"");  // the locale command ran last
}

TEST_F(ConnectionTest, SortOrdersElementsOrdinallyWithTheFirstMark) {
  auto sort = [&](const std::string& in) {
    auto a = clsTarnDynamicArray::create();
    a->brCString(text(in));
    auto sorted = conn_->brSort(a);
    EXPECT_NE(sorted.get(), a.get());
    EXPECT_EQ(a->brCString(), text(in));  // the input is untouched
    return sorted->brCString();
  };
  EXPECT_EQ(sort("b" + AM + "a" + AM + "c"), text("a" + AM + "b" + AM + "c"));
  EXPECT_EQ(sort("b" + VM + "a"), text("a" + VM + "b"));
  EXPECT_EQ(sort("a" + AM + "c" + VM + "b"), text("a" + AM + "b" + AM + "c"));
  EXPECT_EQ(sort("c" + VM + "b" + AM + "a"), text("a" + VM + "b" + VM + "c"));
  EXPECT_EQ(sort("b" + AM + "a" + AM), text(AM + "a" + AM + "b"));
  EXPECT_EQ(sort("10" + AM + "9" + AM + "1" + SVM + "x"),
            text("10" + AM + "1" + SVM + "x" + AM + "9"));
  EXPECT_EQ(sort("single"), u"single");
  EXPECT_EQ(sort(""), u"");
  EXPECT_EQ(errorOf([&] { (void)conn_->brSort(nullptr); }).number(), err::kObjectNotSet);
}

TEST_F(ConnectionTest, SortedCopyKeepsTheLinkOfItsSource) {
  auto a = env_->brOpenDynamicArray(text("b" + AM + "a"));
  auto sorted = conn_->brSort(a);
  env_->brCasing(true);
  std::int32_t position = 0;
  EXPECT_FALSE(sorted->brLocateStr(u"A", position));  // linked: the environment's casing holds
}

TEST_F(ConnectionTest, FactoriesPassTheirParameterThroughTheLastFields) {
  auto tcl = conn_->brOpenTclCommand(u"LIST MD");
  EXPECT_EQ(tcl->brCommand(), u"LIST MD");
  EXPECT_EQ(tcl->brName(), u"LIST MD");
  EXPECT_TRUE(sent().empty());  // opening runs nothing
  conn_->brCloseTclCommand(tcl);
  EXPECT_FALSE(tcl);

  Ref<clsTarnRuleModule> none;
  conn_->brCloseRuleModule(none);  // closing an empty variable is harmless
}

TEST_F(ConnectionTest, ClosingReleasesEveryHandleEvenWithoutTheEnvironment) {
  const long stmts = scripted_freed(SCRIPTED_STMT), dbcs = scripted_freed(SCRIPTED_DBC);
  env_->brCloseConnection(conn_);
  EXPECT_EQ(scripted_freed(SCRIPTED_STMT), stmts + 1);
  EXPECT_EQ(scripted_freed(SCRIPTED_DBC), dbcs + 1);

  // A client that only drops its reference gets the same teardown.
  for (int i = 0; i < 4; ++i) queueTcl("");
  auto conn = env_->brOpenConnection(u"ODBC", u"Sales");
  conn.reset();
  EXPECT_EQ(scripted_freed(SCRIPTED_DBC), dbcs + 2);
  EXPECT_EQ(scripted_allocated(SCRIPTED_DBC), scripted_freed(SCRIPTED_DBC));
}

TEST_F(ConnectionTest, AfterTheCommandObjectIsGoneTclMembersFailAsObjectNotSet) {
  Ref<clsTarnConnection> other = conn_;
  env_->brCloseConnection(conn_);
  EXPECT_EQ(errorOf([&] { other->brExecute(u"WHO"); }).number(), err::kObjectNotSet);
  queueOk("x");
  EXPECT_EQ(other->brSystem(0), u"x");  // bare requests still work
}

}  // namespace
}  // namespace tarn::wiretest
