#include "tarn/lists/rule_module_internal.h"
#include "tests/support/wire_fixture.h"

namespace tarn {

namespace wiretest {
namespace {

// The results of a call as the server writes them: length, mark, text, separator.
std::string results(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) out += std::to_string(t.size()) + AM + t + AM;
  return out;
}

VariantArray arrayOf(std::vector<Variant> elements, std::int32_t lower = 0) {
  VariantArray a(lower, static_cast<std::int32_t>(elements.size()));
  a.elements() = std::move(elements);
  return a;
}

class RuleModuleTest : public WireTest {
 protected:
  // CALC in BP, loaded as module 7.
  Ref<clsTarnRuleModule> open() {
    queueOk("7");
    auto m = conn_->brOpenRuleModule(u"CALC", u"BP");
    EXPECT_EQ(sent(), std::vector<std::string>{"L" + AM + "BP, CALC"});
    return m;
  }
};

TEST_F(RuleModuleTest, OpenComposesTheReferenceLoadsAndClosesWithTheLastReference) {
  const Variant none = Variant::missing();
  const struct {
    Variant file, base;
    const char* reference;
  } cases[] = {{none, none, "CALC"},
               {u"BP", none, "BP, CALC"},
               {u"BP", u"MAIN", "MAIN,BP, CALC"},
               {none, u"MAIN", "MAIN,CALC"}};
  for (const auto& c : cases) {
    queueOk("12");
    auto m = conn_->brOpenRuleModule(u"CALC", c.file, c.base);
    EXPECT_EQ(sent(), std::vector<std::string>{"L" + AM + c.reference});
    EXPECT_EQ(m->brName(), text(c.reference));
    EXPECT_EQ(RuleModuleInternals::state(*m), ermsOpened);
    auto copy = m;
    conn_->brCloseRuleModule(m);
    EXPECT_FALSE(m);
    EXPECT_TRUE(sent().empty());  // another reference keeps it loaded
    queueOk();
    copy.reset();
    EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "12"});
  }
}

TEST_F(RuleModuleTest, FailedLoadReachesTheClientUnderTheConnectionAndClosesNothing) {
  const struct {
    std::string reply;
    std::int32_t number;
  } cases[] = {{reply(2), serverStatusError(2)}, {reply(0, "seven"), err::kTypeMismatch}};
  for (const auto& c : cases) {
    queue(c.reply);
    const TarnError e = errorOf([&] { (void)conn_->brOpenRuleModule(u"CALC"); });
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.source(), kSource + u"clsTarnConnection.brOpenRuleModule CALC");
    EXPECT_EQ(gLastError, c.number);
    EXPECT_EQ(sent(), std::vector<std::string>{"L" + AM + "CALC"});  // no close follows
  }
}

TEST_F(RuleModuleTest, HandleAndTheAcceptedObjects) {
  auto m = open();
  const Variant handle = m->brHandle();
  ASSERT_TRUE(handle.isString());
  EXPECT_EQ(handle.toString().substr(0, 8), u"B66B0112");
  EXPECT_EQ(handle.toString().size(), 16u);
  EXPECT_TRUE(m->brIsODBC());
  m->brTelnet(conn_);
  m->brVirtualMachine(nullptr);
  EXPECT_TRUE(sent().empty());
}

TEST_F(RuleModuleTest, CallSendsEachArgumentCountedAndReadsEachResultBackAsText) {
  const std::string M7 = "M" + AM + "7" + AM;
  const struct {
    const char* name;
    std::vector<Variant> args;
    std::string request;
    std::vector<std::string> reply;
    std::vector<Variant> after;
  } cases[] = {
      {"three with an empty middle",
       {u"A", u"", u"xyz"},
       M7 + "3" + AM + "1" + AM + "A" + AM + "0" + AM + AM + "3" + AM + "xyz",
       {"B", "", "xyz!"},
       {u"B", u"", u"xyz!"}},
      {"a number goes as its text and comes back as text",
       {42, 1.5, true},
       M7 + "3" + AM + "2" + AM + "42" + AM + "3" + AM + "1.5" + AM + "4" + AM + "True",
       {"043", "1.5", "True"},
       {u"043", u"1.5", u"True"}},
      {"the missing marker ends the arguments",
       {u"a", Variant::missing(), u"c"},
       M7 + "1" + AM + "1" + AM + "a",
       {"b"},
       {u"b", Variant::missing(), u"c"}},
      {"marks inside arguments travel whole",
       {text("x" + AM + "y" + VM + "z")},
       M7 + "1" + AM + "5" + AM + "x" + AM + "y" + VM + "z",
       {AM + "q" + SVM + AM},
       {text(AM + "q" + SVM + AM)}},
      {"a short reply leaves empty texts",
       {u"a", u"b"},
       M7 + "2" + AM + "1" + AM + "a" + AM + "1" + AM + "b",
       {"z"},
       {u"z", u""}},
      {"empty elements are empty texts", {Variant()}, M7 + "1" + AM + "0" + AM, {"ok"}, {u"ok"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = open();
    VariantArray args = arrayOf(c.args);
    queueOk(results(c.reply));
    EXPECT_TRUE(m->brCall(args));
    EXPECT_EQ(sent(), std::vector<std::string>{c.request});
    EXPECT_EQ(args.elements(), c.after);
    EXPECT_EQ(RuleModuleInternals::state(*m), ermsCalled);
    m.reset();
    EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "7"});
  }
}

TEST_F(RuleModuleTest, CallsWithoutArgumentsReadNothingAndLeaveTheState) {
  auto m = open();
  VariantArray none;
  VariantArray emptyOne = arrayOf({});
  VariantArray omitted = arrayOf({Variant::missing(), u"x"});
  for (VariantArray* args : {&none, &emptyOne, &omitted}) {
    queueOk("not read");
    EXPECT_TRUE(m->brCall(*args));
    EXPECT_EQ(sent(), std::vector<std::string>{"M" + AM + "7" + AM + "0"});
    EXPECT_EQ(RuleModuleInternals::state(*m), ermsOpened);
  }
  EXPECT_EQ(omitted.elements()[1], Variant(u"x"));

  VariantArray one = arrayOf({u"v"});
  queueOk(results({"w"}));
  EXPECT_TRUE(m->brCall(one));
  EXPECT_EQ(RuleModuleInternals::state(*m), ermsCalled);
  queueOk();
  EXPECT_TRUE(m->brCall(none));
  EXPECT_EQ(RuleModuleInternals::state(*m), ermsCalled);  // it stays there
  (void)sent();
}

TEST_F(RuleModuleTest, AModuleNotLoadedIsLoadedByTheCall) {
  auto m = open();
  RuleModuleInternals::forget(*m);
  queueOk("9");
  queueOk(results({"r"}));
  VariantArray args = arrayOf({u"a"});
  EXPECT_TRUE(m->brCall(args));
  EXPECT_EQ(sent(), (std::vector<std::string>{"L" + AM + "BP, CALC",
                                              "M" + AM + "9" + AM + "1" + AM + "1" + AM + "a"}));
  queueOk();
  m.reset();
  EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "9"});

  // A module that was never loaded closes nothing.
  auto other = open();
  RuleModuleInternals::forget(*other);
  other.reset();
  EXPECT_TRUE(sent().empty());
}

TEST_F(RuleModuleTest, FailuresRaiseUnderBrRunWithTheFirstNumber) {
  const struct {
    const char* name;
    std::vector<Variant> args;
    std::int32_t lower;
    std::string reply;  // empty: nothing is sent
    std::int32_t number;
    const char16_t* description;
  } cases[] = {
      {"a main program",
       {u"a"},
       0,
       reply(17),
       serverStatusError(17),
       u"Tried to call a main program as a subroutine"},
      {"no reply", {u"a"}, 0, "", libraryError(1281), u"Unidentified Internal Error"},
      {"lower bound 1", {u"a", u"b"}, 1, reply(0, results({"x", "y"})), err::kSubscript, u""},
      {"a null argument", {Variant::null()}, 0, "", err::kInvalidUseOfNull, u""},
      {"an object argument", {Variant(conn_)}, 0, "", err::kTypeMismatch, u""},
      {"a length that is too large",
       {u"a"},
       0,
       reply(0, "99999999999" + AM + "x"),
       err::kOverflow,
       u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = open();
    VariantArray args = arrayOf(c.args, c.lower);
    if (!c.reply.empty()) queue(c.reply);
    const TarnError e = errorOf([&] { m->brCall(args); });
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.description(), c.description);
    EXPECT_EQ(e.source(), kSource + u"clsTarnRuleModule.brRun BP, CALC");
    EXPECT_EQ(gLastError, c.number);
    const bool sentCall = sent().size() == 1;
    EXPECT_EQ(sentCall, c.number != err::kInvalidUseOfNull && c.number != err::kTypeMismatch);
    EXPECT_EQ(RuleModuleInternals::state(*m), ermsOpened);
    m.reset();
    (void)sent();
  }
}

TEST_F(RuleModuleTest, ResultsNeedAOneDimensionalArrayFromZero) {
  auto m = open();
  VariantArray square(std::vector<VariantArray::Bound>{{0, 2}, {0, 1}});
  square.elements() = {Variant(u"a"), Variant(u"b")};
  queueOk(results({"x", "y"}));
  EXPECT_EQ(errorOf([&] { m->brCall(square); }).number(), err::kSubscript);
  EXPECT_EQ(sent().front(), "M" + AM + "7" + AM + "2" + AM + "1" + AM + "a" + AM + "1" + AM + "b");

  Variant notAnArray(u"a");
  const TarnError e = errorOf([&] { m->brCall(notAnArray); });
  EXPECT_EQ(e.number(), err::kTypeMismatch);
  EXPECT_EQ(e.source(), kSource + u"clsTarnRuleModule.brRun BP, CALC");
  Variant held(arrayOf({u"in"}));
  queueOk(results({"out"}));
  EXPECT_TRUE(m->brCall(held));
  EXPECT_EQ(held.array().at(0), Variant(u"out"));
  (void)sent();
}

TEST_F(RuleModuleTest, AFailedCloseIsIgnoredAndTheModuleOutlivesItsConnection) {
  auto m = open();
  env_->brCloseConnection(conn_);
  queueOk(results({"z"}));
  VariantArray args = arrayOf({u"a"});
  EXPECT_TRUE(m->brCall(args));  // the module keeps the session open
  queue(reply(9));
  m.reset();  // no exception leaves the teardown
  EXPECT_EQ(sent().back(), "C" + AM + "7");
}

}  // namespace
}  // namespace wiretest
}  // namespace tarn
