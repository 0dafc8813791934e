#include "tests/support/wire_fixture.h"

namespace tarn::wiretest {
namespace {

using TclCommandTest = WireTest;

TEST_F(TclCommandTest, ArgumentsChooseTheCommandAndTheResultOption) {
  auto tcl = conn_->brOpenTclCommand(u"LIST MD");
  EXPECT_EQ(tcl->brHandle().substr(0, 8), u"B66B0303");

  queueTcl("printed", "241");
  tcl->brExecute(1, u"WHO");  // a numeric first argument is the option
  EXPECT_EQ(tcl->brCommand(), u"WHO");
  EXPECT_EQ(tcl->brCapturing()->brCString(), u"printed");
  EXPECT_EQ(tcl->brReturning()->brCString(), u"");

  queueTcl("printed", "241");
  tcl->brExecute(u"TIME", 2);
  EXPECT_EQ(tcl->brCommand(), u"TIME");
  EXPECT_EQ(tcl->brCapturing()->brCString(), u"");
  EXPECT_EQ(tcl->brReturning()->brCString(), u"241");

  queueTcl("printed", "241");
  tcl->brExecute(u"DATE");  // a command alone keeps both outputs
  EXPECT_EQ(tcl->brCapturing()->brCString(), u"printed");
  EXPECT_EQ(tcl->brReturning()->brCString(), u"241");

  queueTcl("printed", "241");
  tcl->brExecute();  // nothing given, option never set: both
  EXPECT_EQ(tcl->brReturning()->brCString(), u"241");
  tcl->brResults(2);
  queueTcl("printed", "241");
  tcl->brExecute();
  EXPECT_EQ(tcl->brCapturing()->brCString(), u"");
  EXPECT_EQ(tcl->brResults(), 2);

  EXPECT_EQ(sent(),
            (std::vector<std::string>{"E" + AM + "WHO", "E" + AM + "TIME", "E" + AM + "DATE",
                                      "E" + AM + "DATE", "E" + AM + "DATE"}));
}

TEST_F(TclCommandTest, CountedFieldsMayHoldMarksAndEmptyOutputs) {
  auto tcl = conn_->brOpenTclCommand(u"LIST MD");
  queue(reply(0, "5" + AM + "hello" + AM + "0" + AM + AM));
  tcl->brExecute();
  EXPECT_EQ(tcl->brCapturing()->brCString(), u"hello");
  EXPECT_EQ(tcl->brReturning()->brCString(), u"");

  const std::string lines = "a" + AM + "b" + VM + "c";
  queueTcl(lines, "1" + AM + "2");
  tcl->brExecute();
  EXPECT_EQ(tcl->brCapturing()->brCString(), text(lines));
  EXPECT_EQ(tcl->brReturning()->brCString(), text("1" + AM + "2"));
}

TEST_F(TclCommandTest, StackedInputGoesWithTheNextExecuteOnly) {
  auto tcl = conn_->brOpenTclCommand(u"CLEAR-FILE CUST");
  tcl->brData(u"Y");
  tcl->brData(u"");  // an empty text keeps what is pending
  queueTcl("");
  tcl->brExecute();
  queueTcl("");
  tcl->brExecute();
  EXPECT_EQ(sent(), (std::vector<std::string>{"E" + AM + "CLEAR-FILE CUST" + AM + "Y",
                                              "E" + AM + "CLEAR-FILE CUST"}));
}

TEST_F(TclCommandTest, FailuresNameTheCommandAndKeepStackedInput) {
  auto tcl = conn_->brOpenTclCommand(u"LIST MD");
  tcl->brData(u"Y");
  queue(reply(6));
  TarnError e = errorOf([&] { tcl->brExecute(); });
  EXPECT_EQ(e.number(), serverStatusError(6));
  EXPECT_EQ(e.source(), kSource + u"clsTarnTclCommand.brExecute LIST MD");

  queue(reply(0, "no length field"));
  e = errorOf([&] { tcl->brExecute(); });
  EXPECT_EQ(e.number(), err::kInvalidCall);
  queue(reply(0, "x" + AM + "abc" + AM));
  e = errorOf([&] { tcl->brExecute(); });
  EXPECT_EQ(e.number(), err::kTypeMismatch);

  queueTcl("");
  tcl->brExecute();
  const auto requests = sent();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests.back(), "E" + AM + "LIST MD" + AM + "Y");  // still pending until success
}

TEST_F(TclCommandTest, OutputArraysAreNewLinkedAndNamedByTheCommand) {
  auto tcl = conn_->brOpenTclCommand(u"WHO");
  queueTcl("Abc");
  tcl->brExecute();
  auto first = tcl->brCapturing();
  auto second = tcl->brCapturing();
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(first->brCString(), second->brCString());
  EXPECT_EQ(first->brName(), u"WHO");
  // Copies keep the name; parts taken out of the array do not.
  EXPECT_EQ(first->brCopy()->brName(), u"WHO");
  EXPECT_EQ(first->brClone()->brName(), u"WHO");
  EXPECT_EQ(first->brExtract(1)->brName(), u"");
  std::int32_t position = 0;
  EXPECT_TRUE(first->brLocateStr(u"abc", position));
  env_->brCasing(true);  // linked: comparisons follow the environment from now on
  EXPECT_FALSE(first->brLocateStr(u"abc", position));
}

TEST(TclQuoteTest, QuotesWithACharacterTheValueLacksOrRefuses) {
  const std::vector<std::pair<String, String>> quoted = {
      {u"ACME CO", u"\"ACME CO\""},
      {u"", u"\"\""},
      {u"say \"hi\"", u"'say \"hi\"'"},
      {u"it's \"x\"", u"\\it's \"x\"\\"},
  };
  for (const auto& [value, word] : quoted) EXPECT_EQ(tclQuote(value), word);
  // Marks would start stacked input lines; a value holding every quote character has no quote.
  for (const String refused : {u"A\u00FEB", u"\"\u00FB", u"a\"b'c\\d"}) {
    const TarnError e = errorOf([&] { (void)tclQuote(refused); });
    EXPECT_EQ(e.number(), libraryError(1058));
    EXPECT_EQ(e.source(), kSource + u"clsTarnTclCommand.tclQuote");
  }
}

}  // namespace
}  // namespace tarn::wiretest
