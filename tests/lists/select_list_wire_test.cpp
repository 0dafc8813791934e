#include "tests/support/wire_fixture.h"

namespace tarn::wiretest {
namespace {

class SelectListTest : public WireTest {
 protected:
  // A TCL list of `count` ids with list number 4.
  Ref<clsTarnSelectList> openList(const std::string& count = "3") {
    queueTcl("Active list: " + count + " items selected.");
    queueOk("4");
    auto list = conn_->brOpenSelectList(u"SELECT CUST");
    EXPECT_EQ(sent(), (std::vector<std::string>{"E" + AM + "SELECT CUST", "S" + AM + "-1"}));
    return list;
  }
  std::vector<String> readAll(clsTarnSelectList& list) {
    std::vector<String> ids;
    while (list.brReadnext()) ids.push_back(list.brItemId());
    return ids;
  }
  const std::string n4 = "n" + AM + "4";
  const std::string N4 = "N" + AM + "4";
};

TEST_F(SelectListTest, OneBatchWithEndOfListStatus) {
  auto list = openList();
  EXPECT_EQ(list->brCount(), 3);
  EXPECT_EQ(list->brName(), u"SELECT CUST");
  EXPECT_EQ(list->brHandle().substr(0, 8), u"B66B0113");
  EXPECT_EQ(list->brItemIndex(), 0);
  queue(reply(36, "A" + AM + "B" + AM + "C"));
  Variant id;
  EXPECT_TRUE(list->brReadnext(id));
  EXPECT_EQ(id.toString(), u"A");
  EXPECT_TRUE(list->brBOL());
  EXPECT_EQ(readAll(*list), (std::vector<String>{u"B", u"C"}));
  EXPECT_TRUE(list->brEOL());
  EXPECT_EQ(list->brItemId(), u"");
  EXPECT_EQ(list->brItemIndex(), 4);  // the read that found the end counts in batch mode
  EXPECT_EQ(sent(), std::vector<std::string>{n4});
  id = Variant(u"untouched");
  EXPECT_FALSE(list->brReadnext(id));  // after the end nothing is sent or written
  EXPECT_EQ(id.toString(), u"untouched");
  EXPECT_TRUE(sent().empty());
  queueOk();
  list.reset();
  EXPECT_EQ(sent(), std::vector<std::string>{"c" + AM + "4"});
}

TEST_F(SelectListTest, SeveralBatchesThenAnEmptyLastOne) {
  auto list = openList("4");
  queueOk("A" + AM + "B");
  queueOk("C" + AM + "D");
  queue(reply(36));
  EXPECT_EQ(readAll(*list), (std::vector<String>{u"A", u"B", u"C", u"D"}));
  EXPECT_EQ(sent(), (std::vector<std::string>{n4, n4, n4}));
  EXPECT_EQ(list->brItemIndex(), 5);
}

TEST_F(SelectListTest, FailedBatchFallsBackToSingleReads) {
  auto list = openList();
  queue(reply(6));
  queueOk("A");
  queueOk("B");
  queueOk("C");
  queue(reply(36));
  EXPECT_EQ(readAll(*list), (std::vector<String>{u"A", u"B", u"C"}));
  EXPECT_EQ(list->brItemIndex(), 3);  // the end found by a single read does not count
  EXPECT_EQ(sent(), (std::vector<std::string>{n4, N4, N4, N4, N4}));
}

TEST_F(SelectListTest, SingleReadFailureRaisesNamingTheList) {
  auto list = openList();
  queue(reply(6));
  queue(reply(34));
  const TarnError e = errorOf([&] { list->brReadnext(); });
  EXPECT_EQ(e.number(), serverStatusError(34));
  EXPECT_EQ(e.source(), kSource + u"clsTarnSelectList.brReadnextSELECT CUST");
}

TEST_F(SelectListTest, EmptyListEndsAtTheFirstRead) {
  auto list = openList("0");
  queue(reply(36));
  EXPECT_FALSE(list->brReadnext());
  EXPECT_TRUE(list->brEOL());
  EXPECT_TRUE(list->brBOL());  // batch mode counts the read that found the end
}

TEST_F(SelectListTest, CountTextThatIsNotANumberGivesZero) {
  queueTcl("[401] No items present.");
  queueOk("4");
  auto list = conn_->brOpenSelectList(u"SELECT CUST WITH A1 = \"X\"");
  EXPECT_EQ(list->brCount(), 0);
}

TEST_F(SelectListTest, OpenFailureRaisesUnderTheConnection) {
  queueTcl("Active list: 1 items selected.");
  queue(reply(34));
  const TarnError e = errorOf([&] { (void)conn_->brOpenSelectList(u"SELECT CUST"); });
  EXPECT_EQ(e.number(), serverStatusError(34));
  EXPECT_EQ(e.source(), kSource + u"clsTarnConnection.brOpenSelectList SELECT CUST");
}

TEST_F(SelectListTest, FileListCountsThenSnapshotsTheFile) {
  queueOk("7");
  auto file = conn_->brOpenFile(u"CUST");
  queueTcl("Count: 2 items.");
  queueOk("5");
  auto list = file->brSelect();
  EXPECT_EQ(list->brCount(), 2);
  EXPECT_EQ(list->brName(), u"CUST");
  queue(reply(36, "X" + AM + "Y"));
  EXPECT_EQ(readAll(*list), (std::vector<String>{u"X", u"Y"}));
  EXPECT_EQ(sent(), (std::vector<std::string>{"O" + AM + "CUST", "E" + AM + "COUNT CUST",
                                              "S" + AM + "7", "n" + AM + "5"}));
}

TEST_F(SelectListTest, DynamicArrayListsStartOnTheFirstElement) {
  auto array = env_->brOpenDynamicArray(text("A" + AM + "B" + AM + "C"));
  auto list = array->brSelect();
  EXPECT_EQ(list->brItemId(), u"A");
  EXPECT_EQ(list->brItemIndex(), 1);
  EXPECT_TRUE(list->brBOL());
  EXPECT_EQ(list->brCount(), 3);
  EXPECT_EQ(readAll(*list), (std::vector<String>{u"B", u"C"}));
  EXPECT_TRUE(list->brEOL());

  auto trailing = env_->brOpenDynamicArray(text("A" + AM))->brSelect();
  EXPECT_EQ(trailing->brItemId(), u"A");
  EXPECT_FALSE(trailing->brReadnext());  // the empty last attribute is not an id
  EXPECT_TRUE(sent().empty());

  EXPECT_TRUE(list->brReselect());
  EXPECT_EQ(list->brItemId(), u"A");
  EXPECT_EQ(readAll(*list), (std::vector<String>{u"B", u"C"}));
}

TEST_F(SelectListTest, ReselectRerunsTheListsOwnCommandAfterClosingTheOldList) {
  auto list = openList();
  queueTcl("");
  conn_->brExecute(u"WHO");  // the connection's last command is now another one
  (void)sent();
  queueOk();                                   // close of list 4
  queueTcl("Active list: 2 items selected.");  // the select again
  queueOk("6");
  EXPECT_TRUE(list->brReselect());
  EXPECT_EQ(sent(),
            (std::vector<std::string>{"c" + AM + "4", "E" + AM + "SELECT CUST", "S" + AM + "-1"}));
  EXPECT_EQ(list->brCount(), 2);
  EXPECT_EQ(list->brName(), u"SELECT CUST");
  queue(reply(36, "Q"));
  EXPECT_EQ(readAll(*list), std::vector<String>{u"Q"});
  EXPECT_EQ(sent(), std::vector<std::string>{"n" + AM + "6"});

  queueOk();
  queue(reply(9));  // the select fails: reselect answers false and raises nothing
  EXPECT_FALSE(list->brReselect());
}

}  // namespace
}  // namespace tarn::wiretest
