#include "tests/support/wire_fixture.h"

namespace tarn::wiretest {
namespace {

std::string tcl(const std::string& command) {
  return "E" + AM + command;
}
std::string open(const std::string& reference) {
  return "O" + AM + reference;
}

using AdministrationTest = WireTest;

TEST_F(AdministrationTest, CreateFileExSendsOnlyTheCaseFlagAndOpensWhatItMade) {
  const Variant none = Variant::missing();
  const struct {
    std::int32_t level;
    Variant caseInsensitive;
    std::string command;
    const char16_t* dictFlag;
    std::string reference;
  } cases[] = {
      {2, none, "CREATE-FILE DICT CUST 7 (", u"Dict", "Dict CUST"},
      {3, false, "CREATE-FILE DATA CUST 7 (s", u"", " CUST"},
      {3, true, "CREATE-FILE DATA CUST 7 (", u"", " CUST"},
      {1, 0, "CREATE-FILE DATA CUST 7 (s", u"", " CUST"},
  };
  for (const auto& c : cases) {
    queueTcl("[417] File 'CUST' created; modulo 7.");
    queueOk("3");
    auto file = conn_->brCreateFileEx(u"CUST", 7, c.level, u"/x/y", u"srv", c.caseInsensitive, 512,
                                      tarnFile_Direct);
    EXPECT_EQ(sent(), (std::vector<std::string>{tcl(c.command), open(c.reference)}));
    EXPECT_EQ(conn_->brDictFlag(), c.dictFlag);
    EXPECT_EQ(file->brName(), text(c.reference));
    queueOk();
    file.reset();
    (void)sent();
  }
}

TEST_F(AdministrationTest, CreateFileTakesTheReferenceApartAndCreatesOneOrTwoLevels) {
  const Variant none = Variant::missing();
  const struct {
    const char16_t* dictFlag;
    const char16_t* name;
    Variant modulo2;
    std::vector<std::string> creates;  // each followed by the open of what it made
    std::vector<std::string> opens;
  } cases[] = {
      {u"DICT", u"CUST", none, {"CREATE-FILE DICT CUST 3 ("}, {"Dict CUST"}},
      {u"d", u"cust", none, {"CREATE-FILE DICT cust 3 ("}, {"Dict cust"}},
      {u"", u"  Dict A,B  ", none, {"CREATE-FILE DICT A 3 ("}, {"Dict A"}},
      {u"",
       u"CUST",
       11,
       {"CREATE-FILE DICT CUST 3 (", "CREATE-FILE DATA CUST,CUST 11 ("},
       {"Dict CUST", " CUST,CUST"}},
      {u"",
       u"ACCT,CUST,",
       11,
       {"CREATE-FILE DICT ACCT 3 (", "CREATE-FILE DATA ACCT,CUST 11 ("},
       {"Dict ACCT", " ACCT,CUST"}},
      {u"",
       u"A,B,C",
       none,
       {"CREATE-FILE DICT A 3 (", "CREATE-FILE DATA A,B, 3 ("},
       {"Dict A", " A,B,"}},
      {u"DATA",
       u"X",
       2.5,
       {"CREATE-FILE DICT DATA X 3 (", "CREATE-FILE DATA DATA X,DATA X 2 ("},
       {"Dict DATA X", " DATA X,DATA X"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.name));
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < c.creates.size(); ++i) {
      queueTcl("");
      queueOk(std::to_string(i + 3));
      expected.push_back(tcl(c.creates[i]));
      expected.push_back(open(c.opens[i]));
    }
    queueOk();  // the close of a dictionary that the data section replaced
    auto file = conn_->brCreateFile(c.dictFlag, c.name, 3, c.modulo2);
    if (c.creates.size() == 2) expected.push_back("C" + AM + "3");
    EXPECT_EQ(sent(), expected);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->brName(), text(c.opens.back()));
    file.reset();
    (void)sent();
  }
}

TEST_F(AdministrationTest, TwoStepCreationIgnoresEveryFailure) {
  const std::string dict = tcl("CREATE-FILE DICT CUST 7 (");
  const std::string data = tcl("CREATE-FILE DATA CUST,CUST 11 (");

  queueTcl("");
  queueOk("3");
  queue(reply(6));
  auto file = conn_->brCreateFile(u"", u"CUST", 7, 11);
  EXPECT_EQ(sent(), (std::vector<std::string>{dict, open("Dict CUST"), data}));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->brName(), u"Dict CUST");  // the dictionary when the data step fails
  queueOk();
  file.reset();
  EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "3"});

  queue(reply(6));
  queue(reply(6));
  EXPECT_FALSE(conn_->brCreateFile(u"", u"CUST", 7, 11));
  EXPECT_EQ(sent(), (std::vector<std::string>{dict, data}));

  queue(reply(6));
  EXPECT_FALSE(conn_->brCreateFile(u"", u"CUST", 7, 70000));  // the second modulus overflows
  EXPECT_EQ(sent(), std::vector<std::string>{dict});

  EXPECT_FALSE(conn_->brCreateFile(u"", u"CUST", u"seven", 11.0 * 3000));
  EXPECT_TRUE(sent().empty());  // neither modulus converts
}

TEST_F(AdministrationTest, CreateFileRaisesOnlyBeforeItsStepsAndForADictionary) {
  const TarnError empty = errorOf([&] { (void)conn_->brCreateFile(u" ", u"  ", 7); });
  EXPECT_EQ(empty.number(), err::kObjectNotSet);
  EXPECT_TRUE(sent().empty());

  queue(reply(6));
  gLastError = 0;
  const TarnError failed = errorOf([&] { (void)conn_->brCreateFile(u"D", u"CUST", 7); });
  EXPECT_EQ(failed.number(), serverStatusError(6));
  EXPECT_EQ(failed.source(), kSource + u"clsTarnTclCommand.brExecute CREATE-FILE DICT CUST 7 (");
  EXPECT_EQ(gLastError, serverStatusError(6));
  EXPECT_EQ(conn_->brDictFlag(), u"Dict");  // set before the command ran

  EXPECT_EQ(errorOf([&] { (void)conn_->brCreateFile(u"DICT", u"CUST", u"x"); }).number(),
            err::kTypeMismatch);
}

TEST_F(AdministrationTest, OpenFileExAndDeleteFileOmittedArgumentsCountAsZero) {
  const Variant none = Variant::missing();
  for (const auto& [level, reference] : std::vector<std::pair<Variant, std::string>>{
           {2, "Dict CUST"}, {u"2", "Dict CUST"}, {3, " CUST"}, {none, " CUST"}}) {
    queueOk("4");
    auto file = conn_->brOpenFileEx(u"CUST", level);
    EXPECT_EQ(sent(), std::vector<std::string>{open(reference)});
    queueOk();
    file.reset();
    (void)sent();
  }
  for (const auto& [always, command] :
       std::vector<std::pair<Variant, std::string>>{{true, "DELETE-FILE CUST (u"},
                                                    {-1, "DELETE-FILE CUST (u"},
                                                    {false, "DELETE-FILE CUST"},
                                                    {none, "DELETE-FILE CUST"}}) {
    queueTcl("[418] File 'CUST' deleted.", "418");
    conn_->brDeleteFile(u"CUST", always);
    EXPECT_EQ(sent(), std::vector<std::string>{tcl(command)});
  }
  queue(reply(6));
  EXPECT_EQ(errorOf([&] { conn_->brDeleteFile(u"CUST"); }).number(), serverStatusError(6));
}

TEST_F(AdministrationTest, ItemCountReadsTheExactOrTheEstimatedCount) {
  const Variant none = Variant::missing();
  const struct {
    Variant exact;
    std::string captured;
    std::int32_t count;  // -1: type mismatch
  } cases[] = {
      {true, "Count: 12 items.", 12},
      {true, "Count:  12 items.", -1},  // the second blank-separated word is empty
      {false, "12", 12},
      {none, "40", 40},
      {false, " 12", -1},
      {false, "", -1},
  };
  for (const auto& c : cases) {
    queueTcl(c.captured);
    if (c.count < 0) {
      EXPECT_EQ(errorOf([&] { (void)conn_->brItemCount(c.exact, true); }).number(),
                err::kTypeMismatch);
    } else {
      EXPECT_EQ(conn_->brItemCount(c.exact), c.count);
    }
    const bool exact = !c.exact.isMissing() && c.exact.toBool();
    EXPECT_EQ(sent(), std::vector<std::string>{tcl(exact ? "COUNT MD" : "ESTIMATE-COUNT MD")});
  }
}

TEST_F(AdministrationTest, SelectAndSelectDictListTheMaster) {
  Ref<clsTarnFile> anyFile;
  for (bool dict : {false, true}) {
    queueTcl("Active list: 2 items selected.");
    queueOk("5");
    auto list = dict ? conn_->brSelectDict(anyFile) : conn_->brSelect();
    EXPECT_EQ(list->brCount(), 2);
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          tcl(dict ? "SELECT MD WITH A1 = D]" : "SELECT MD WITH A1 = D"),
                          "S" + AM + "-1"}));
    queueOk();
    list.reset();
    (void)sent();
  }
}

TEST_F(AdministrationTest, CompileAndCatalogAreTrueExactlyForTheirMessage) {
  const std::string compile = tcl("COMPILE BASE,BP, PROG (o");
  const std::string catalog = tcl("CATALOG BASE,BP, PROG");
  const struct {
    std::string returned;
    bool compiled, cataloged;
  } cases[] = {
      {"241", true, false},   {"244", false, true},
      {"", false, false},     {"241" + AM + "244", false, false},
      {" 241", false, false},
  };
  for (const auto& c : cases) {
    queueTcl("", c.returned);
    EXPECT_EQ(conn_->brCompile(u"BASE", u"BP", u"PROG"), c.compiled);
    queueTcl("", c.returned);
    EXPECT_EQ(conn_->brCatalog(u"BASE", u"BP", u"PROG"), c.cataloged);
    EXPECT_EQ(sent(), (std::vector<std::string>{compile, catalog}));
  }
  queue(reply(6));
  EXPECT_FALSE(conn_->brCompile(u"BASE", u"BP", u"PROG"));  // a failure is only false
  EXPECT_EQ(sent(), std::vector<std::string>{compile});
}

TEST_F(AdministrationTest, CatalogAndUpdateAccountRaiseFailuresUnchangedWithNoLastError) {
  String acme = u"ACME";
  queueTcl("[212] 40 verbs updated in account ACME.");
  EXPECT_TRUE(conn_->brUpdateAccount(acme));
  const std::string update = tcl("LOGTO DM" + AM + "UPDATE-MD ACME (n" + AM + "LOGTO Sales");
  EXPECT_EQ(sent(), std::vector<std::string>{update});

  const struct {
    std::function<void()> call;
    const char16_t* command;
  } cases[] = {
      {[&] { (void)conn_->brCatalog(u"BASE", u"BP", u"PROG"); }, u"CATALOG BASE,BP, PROG"},
      {[&] { (void)conn_->brUpdateAccount(acme); },
       u"LOGTO DM\u00FEUPDATE-MD ACME (n\u00FELOGTO Sales"},
  };
  for (const auto& c : cases) {
    queue(reply(6));
    const TarnError e = errorOf(c.call);
    EXPECT_EQ(e.number(), serverStatusError(6));
    EXPECT_EQ(e.description(), u"Invalid call");
    EXPECT_EQ(e.source(), kSource + u"clsTarnTclCommand.brExecute " + c.command);
    EXPECT_EQ(gLastError, 0);
  }
}

}  // namespace
}  // namespace tarn::wiretest
