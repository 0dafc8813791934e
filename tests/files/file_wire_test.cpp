#include "tests/support/wire_fixture.h"

#include <functional>

namespace tarn::wiretest {
namespace {

class FileTest : public WireTest {
 protected:
  // Opens CUST as file number 7.
  Ref<clsTarnFile> openCustomers() {
    queueOk("7");
    auto file = conn_->brOpenFile(u"CUST");
    EXPECT_EQ(sent(), std::vector<std::string>{"O" + AM + "CUST"});
    return file;
  }
  Ref<clsTarnDynamicArray> item(const std::string& bytes) {
    auto a = clsTarnDynamicArray::create();
    a->brCString(text(bytes));
    return a;
  }
  const std::string prefix7 = AM + "7" + AM;
};

TEST_F(FileTest, ReferencesAndTypes) {
  struct Case {
    const char16_t* flag;
    Variant name;
    const char* reference;
    const char16_t* type;
  };
  const std::vector<Case> cases = {
      {u"DICT CUSTOMERS", Variant::missing(), "DICT CUSTOMERS", u"Dict"},
      {u"DICT", u"CUSTOMERS", "DICT CUSTOMERS", u"Dict"},
      {u"dict", u"", "dict", u"Data"},
      {u"", u"CUSTOMERS", " CUSTOMERS", u"Data"},
      {u"d", u"X", "d X", u"Dict"},
      {u"DICTIONARY", Variant::missing(), "DICTIONARY", u"Data"},
  };
  for (const Case& c : cases) {
    queueOk("3");
    auto file = conn_->brOpenFile(c.flag, c.name);
    EXPECT_EQ(sent(), std::vector<std::string>{"O" + AM + c.reference});
    EXPECT_EQ(conn_->brFileName(), text(c.reference));
    EXPECT_EQ(file->brName(), text(c.reference));
    EXPECT_EQ(file->brType(), c.type) << c.reference;
    EXPECT_EQ(file->brHandle().substr(0, 8), u"B66B0200");
    queueOk();
    file.reset();
    EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "3"});
  }
}

TEST_F(FileTest, FailedOpenRaisesUnderTheConnection) {
  queue(reply(9));
  const TarnError e = errorOf([&] { (void)conn_->brOpenFile(u"", u"NOSUCH"); });
  EXPECT_EQ(e.number(), serverStatusError(9));
  EXPECT_EQ(e.description(), u"File not present");
  EXPECT_EQ(e.source(), kSource + u"clsTarnConnection.brOpenFile Sales NOSUCH");
}

TEST_F(FileTest, ReadsChooseColumnAndLockCode) {
  auto file = openCustomers();
  queueOk("Smith" + AM + "1 High St");
  auto whole = file->brRead(u"100");
  EXPECT_EQ(whole->brCString(), text("Smith" + AM + "1 High St"));
  EXPECT_EQ(whole->brName(), u"100");
  queueOk("x");
  (void)file->brRead(u"100", -5);
  queueOk("x");
  (void)file->brRead(u"100", 2, 1);  // any non-zero locks
  queueOk("x");
  (void)file->brReadU(u"100");
  queueOk("x");
  (void)file->brReadV(u"100", 3);
  queueOk("x");
  (void)file->brReadVU(u"100", 3);
  EXPECT_EQ(sent(), (std::vector<std::string>{
                        "R" + prefix7 + "100" + AM + "0", "R" + prefix7 + "100" + AM + "0",
                        "r" + prefix7 + "100" + AM + "2", "r" + prefix7 + "100" + AM + "0",
                        "R" + prefix7 + "100" + AM + "3", "r" + prefix7 + "100" + AM + "3"}));
  auto id = file->brRead(u"200", 0);  // attribute 0 is the id, answered locally
  EXPECT_EQ(id->brCString(), u"200");
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(file->brItemId(), u"200");
}

TEST_F(FileTest, FailedReadKeepsContentsAndNamesTheVariant) {
  auto file = openCustomers();
  queue(reply(2));
  TarnError e = errorOf([&] { (void)file->brReadU(u"9"); });
  EXPECT_EQ(e.number(), serverStatusError(2));
  EXPECT_EQ(e.description(), u"Item is missing");
  EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brReadu CUST 9");
  EXPECT_EQ(file->brItemId(), u"9");
  queue(reply(5));
  e = errorOf([&] { (void)file->brReadVU(u"10", 4); });
  EXPECT_EQ(e.number(), serverStatusError(5));
  EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brReadUV CUST 10 4");
}

TEST_F(FileTest, WritesChooseCodeByColumnAndOnlyMinusOneReleases) {
  auto file = openCustomers();
  const std::string body = "Smith" + AM + "x" + VM + "y";
  for (int i = 0; i < 6; ++i) queueOk();
  file->brWrite(item(body), u"1");
  file->brWrite(item("v"), u"1", 2);
  file->brWrite(item(body), u"1", Variant::missing(), 1);  // only exactly -1 releases
  file->brWriteU(item(body), u"1");
  file->brWriteV(item("v"), u"1", -1);
  file->brWriteVU(item("v"), u"1", 4);
  EXPECT_EQ(sent(),
            (std::vector<std::string>{
                "W" + prefix7 + "1" + AM + body, "V" + prefix7 + "1" + AM + "2" + AM + "v",
                "w" + prefix7 + "1" + AM + body, "w" + prefix7 + "1" + AM + body,
                "W" + prefix7 + "1" + AM + "v", "v" + prefix7 + "1" + AM + "4" + AM + "v"}));
}

TEST_F(FileTest, ColumnZeroWriteFailsWithoutSending) {
  auto file = openCustomers();
  const TarnError e = errorOf([&] { file->brWriteV(item("v"), u"1", 0); });
  EXPECT_EQ(e.number(), libraryError(1035));
  EXPECT_EQ(e.description(), u"Bad column (attribute) name/number");
  EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brWriteV CUST 1 0");
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(errorOf([&] { file->brWrite(nullptr, u"1"); }).number(), err::kObjectNotSet);
}

TEST_F(FileTest, AttributeNamesAreLookedUpOncePerFileInAnyCase) {
  auto file = openCustomers();
  queueOk("12");  // the lookup dictionary
  queueOk("A" + AM + "3" + AM + "Name");
  queueOk("Smith");
  EXPECT_EQ(file->brRead(u"1", u"NAME")->brCString(), u"Smith");
  queueOk("Jones");
  EXPECT_EQ(file->brRead(u"2", u"name")->brCString(), u"Jones");
  EXPECT_EQ(file->brColumn(u"Name"), 3);
  EXPECT_EQ(sent(), (std::vector<std::string>{"O" + AM + "dict CUST", "R" + AM + "12" + AM + "NAME",
                                              "R" + prefix7 + "1" + AM + "3",
                                              "R" + prefix7 + "2" + AM + "3"}));
  // Teardown closes the file, then the dictionary.
  queueOk();
  queueOk();
  file.reset();
  EXPECT_EQ(sent(), (std::vector<std::string>{"C" + AM + "7", "C" + AM + "12"}));
}

TEST_F(FileTest, LookupFailuresAre1035Or1026) {
  auto file = openCustomers();
  queueOk("12");
  queueOk("no mark here");
  EXPECT_EQ(errorOf([&] { (void)file->brAttribute(u"A"); }).number(), libraryError(1035));
  queueOk("A" + AM + "three");
  EXPECT_EQ(errorOf([&] { (void)file->brAttribute(u"B"); }).number(), libraryError(1035));
  queue(reply(2));
  const TarnError e = errorOf([&] { (void)file->brAttribute(u"C"); });
  EXPECT_EQ(e.number(), libraryError(1026));
  EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brColumn C");
  queue(reply(34));  // any failure is reported as a missing item
  EXPECT_EQ(errorOf([&] { (void)file->brAttribute(u"D"); }).number(), libraryError(1026));
  EXPECT_EQ(sent().front(), "O" + AM + "dict CUST");  // one dictionary open for all four
}

TEST_F(FileTest, LookupDictionaryFollowsTheFileName) {
  for (auto [flag, dictionary] :
       std::vector<std::pair<const char16_t*, std::string>>{{u"DICT CUST", "md"},
                                                            {u"MD", "mds,,"},
                                                            {u"ACC,,X", "mds,,"},
                                                            {u" CUST", "dict  CUST"}}) {
    queueOk("1");
    auto file = conn_->brOpenFile(flag);
    queueOk("2");
    queueOk("A" + AM + "5");
    EXPECT_EQ(file->brAttribute(u"X"), 5);
    const auto requests = sent();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1], "O" + AM + dictionary);
    queueOk();
    queueOk();
    file.reset();
    (void)sent();
  }
}

TEST_F(FileTest, ItemAndFileOperations) {
  auto file = openCustomers();
  for (int i = 0; i < 5; ++i) queueOk();
  file->brDelete(u"100");
  file->brRelease(u"101");
  file->brFileLock();
  file->brFileUnlock();
  file->brClearFile();
  EXPECT_EQ(sent(), (std::vector<std::string>{"D" + prefix7 + "100", "U" + prefix7 + "101",
                                              "F" + AM + "7", "f" + AM + "7", "d" + AM + "7"}));
  EXPECT_EQ(file->brItemId(), u"101");
  queue(reply(6));
  gLastError = 12;
  file->brFileUnlock();  // absorbed
  EXPECT_EQ(gLastError, 0);
  queue(reply(5));
  const TarnError e = errorOf([&] { file->brDelete(u"100"); });
  EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brDeleteItem CUST 100");
}

TEST_F(FileTest, ItemCountReadsTheCountCommands) {
  auto file = openCustomers();
  queueTcl("Count: 3 items.");
  EXPECT_EQ(file->brItemCount(true), 3);
  queueTcl("1200");
  EXPECT_EQ(file->brItemCount(), 1200);
  queueTcl("about 1200");
  EXPECT_EQ(file->brItemCount(), 0);  // never fails: anything but a number is 0
  queue(reply(9));
  EXPECT_EQ(file->brItemCount(true), 0);
  EXPECT_EQ(sent(),
            (std::vector<std::string>{"E" + AM + "COUNT CUST", "E" + AM + "ESTIMATE-COUNT CUST",
                                      "E" + AM + "ESTIMATE-COUNT CUST", "E" + AM + "COUNT CUST"}));
}

TEST_F(FileTest, IdsAndNamesWithMarksAreRefusedBeforeAnythingIsSent) {
  auto file = openCustomers();
  auto body = item("OR");
  // Each mark, in each member that sends an id or a name in a field other than the last.
  struct Case {
    std::function<void(const String&)> call;
    const char16_t* source;  // the source's operation, before the refused text
    const char16_t* after = u"";
  };
  const std::vector<Case> cases = {
      {[&](const String& id) { (void)file->brRead(id); }, u"clsTarnFile.brRead CUST "},
      {[&](const String& id) { (void)file->brReadU(id); }, u"clsTarnFile.brReadu CUST "},
      {[&](const String& id) { (void)file->brReadV(id, 2); }, u"clsTarnFile.brReadV CUST ", u" 2"},
      {[&](const String& id) { file->brWrite(body, id); }, u"clsTarnFile.brWrite{u} CUST "},
      {[&](const String& id) { file->brWriteV(body, id, 2); }, u"clsTarnFile.brWriteV CUST ",
       u" 2"},
      {[&](const String& id) { file->brDelete(id); }, u"clsTarnFile.brDeleteItem CUST "},
      {[&](const String& id) { file->brRelease(id); }, u"clsTarnFile.brRelease CUST "},
      {[&](const String& name) { (void)file->brAttribute(name); }, u"clsTarnFile.brColumn "},
      {[&](const String& name) { (void)conn_->brOpenFile(u"", name); },
       u"clsTarnConnection.brOpenFile Sales "},
      {[&](const String& code) { (void)conn_->brOconv(u"1", code); },
       u"clsTarnConnection.brOconv 1 "},
      {[&](const String& corr) { (void)file->brRoot(corr); }, u"clsTarnFile.brRoot CUST "},
      {[&](const String& name) { (void)conn_->brOpenRuleModule(name); },
       u"clsTarnConnection.brOpenRuleModule "},
  };
  for (const Case& c : cases) {
    for (char16_t mark = 0x00FB; mark <= 0x00FF; ++mark) {
      const String refused = u"GUD" + String(1, mark) + u"7";
      const TarnError e = errorOf([&] { c.call(refused); });
      EXPECT_EQ(e.number(), libraryError(1058));
      EXPECT_EQ(e.description(), u"Bad Parameters");
      EXPECT_EQ(e.source(), kSource + String(c.source) + refused + c.after);
      EXPECT_EQ(gLastError, libraryError(1058));
      EXPECT_EQ(sent(), std::vector<std::string>{}) << toUtf8(c.source);
    }
  }
  // A column named with a mark is refused too, and the values of writes and conversions (the
  // requests' last fields) still carry marks.
  EXPECT_EQ(errorOf([&] { (void)file->brReadV(u"100", u"A\u00FDB"); }).number(),
            libraryError(1058));
  EXPECT_EQ(sent(), std::vector<std::string>{});
  queueOk();
  file->brWrite(item("a" + AM + "b"), u"100");
  queueOk();
  (void)conn_->brOconv(text("1" + VM + "2"), u"MD2");
  EXPECT_EQ(sent(), (std::vector<std::string>{"W" + prefix7 + "100" + AM + "a" + AM + "b",
                                              "1" + AM + "MD2" + AM + "1" + VM + "2"}));
}

// What the server's words name in particular: the lock's holder, a run-time error's module and
// line.
TEST_F(FileTest, TheServersWordsGiveTheLockHolderAndTheFailingLine) {
  auto file = openCustomers();
  struct Case {
    int status;
    const char* words;
    std::int32_t lockPort;
    const char16_t* lockAccount;
    const char16_t* module;
    std::int32_t line;
  };
  const Case cases[] = {
      {5, "[x][y]Item '1' of CUST is locked by port 12 (account SALES).", 12, u"SALES", u"", 0},
      {5, "[x][y]File CUST is locked by port 4.", 4, u"", u"", 0},
      {47, "[x][y]BP, JOIN line 3: division by zero", 0, u"", u"BP, JOIN", 3},
      {2, "[x][y]Item 'line 3: x' is not in CUST.", 0, u"", u"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    queue(reply(c.status));
    scripted_set_fetch_warning("01000", c.status, c.words);
    const TarnError e = errorOf([&] { (void)file->brRead(u"1"); });
    EXPECT_EQ(e.number(), libraryError(1024 + c.status));
    EXPECT_EQ(e.nativeError(), c.status);
    EXPECT_EQ(e.lockPort(), c.lockPort);
    EXPECT_EQ(e.lockAccount(), c.lockAccount);
    EXPECT_EQ(e.module(), c.module);
    EXPECT_EQ(e.line(), c.line);
  }
}

TEST_F(FileTest, FailuresFromOdbcKeepTheCallsDiagnostic) {
  auto file = openCustomers();
  struct Case {
    std::function<void()> script;
    std::int32_t number;
    const char16_t* description;
    const char* state;  // "" for a failure that did not come from ODBC
    const char* message;
  };
  const std::vector<Case> cases = {
      {[] {
         scripted_next_execute(-1, "S1000");
         scripted_describe_last_outcome(13, "database or disk is full");
       },
       libraryError(1281), u"Unidentified Internal Error", "S1000", "database or disk is full"},
      {[] { scripted_queue_empty_result(); }, libraryError(1281), u"Unidentified Internal Error",
       "24000", ""},
      // The server's words on a status come as a warning of the fetch; the number stays.
      {[this] {
         queue(reply(5));
         scripted_set_fetch_warning("01000", 5, "[x][y]Item '100' of CUST is locked by port 3.");
       },
       libraryError(1029), u"File/Item is locked", "01000", "locked by port 3"},
      // ...and the next failure without words does not keep the last one's.
      {[this] { queue(reply(2)); }, libraryError(1026), u"Item is missing", "", ""},
  };
  for (const Case& c : cases) {
    c.script();
    const TarnError e = errorOf([&] { (void)file->brRead(u"100"); });
    EXPECT_EQ(e.number(), c.number);
    EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brRead CUST 100");
    EXPECT_EQ(e.description(), c.description);
    EXPECT_EQ(toUtf8(e.sqlState()), c.state);
    EXPECT_NE(toUtf8(e.diagnostic()).find(c.message), std::string::npos) << toUtf8(e.diagnostic());
    EXPECT_EQ(e.diagnostic().empty(), *c.state == 0);
    const std::string what = e.what();
    EXPECT_EQ(what.find(std::string("[") + c.state + "]") != std::string::npos, *c.state != 0)
        << what;
  }
  EXPECT_EQ(file->brRead(u"100", 0)->brCString(), u"100");  // the file is still usable
}

TEST_F(FileTest, FailedCloseIsRecordedNotRaisedAndStopsTheTeardown) {
  auto file = openCustomers();
  queueOk("12");
  queueOk("A" + AM + "3");
  (void)file->brAttribute(u"X");
  (void)sent();
  queue(reply(6));
  gLastError = 0;
  file.reset();
  EXPECT_EQ(gLastError, serverStatusError(6));
  EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "7"});  // the dictionary close is skipped
}

}  // namespace
}  // namespace tarn::wiretest
