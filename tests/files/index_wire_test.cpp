#include "tarn/files/index.h"

#include "tests/support/wire_fixture.h"

namespace tarn::wiretest {
namespace {

class IndexWireTest : public WireTest {
 protected:
  // CUST as file 7 and its index A2 as index 3.
  void SetUp() override {
    WireTest::SetUp();
    queueOk("7");
    file_ = conn_->brOpenFile(u"CUST");
    queueOk("3");
    index_ = file_->brRoot(u"A2");
    EXPECT_EQ(sent(), (std::vector<std::string>{"O" + AM + "CUST", "I" + AM + "CUST" + AM + "A2"}));
  }
  static std::string k(const std::string& code, const std::string& key, const std::string& id,
                       const std::string& vc = "0") {
    return "K" + AM + code + AM + "3" + AM + key + AM + id + AM + vc;
  }
  static std::string hit(const std::string& key, const std::string& vc, const std::string& id) {
    return key + AM + vc + AM + id;
  }
  void expectPosition(const std::string& key, const std::string& id, std::int32_t vc) {
    EXPECT_EQ(index_->brIndexKey(), text(key));
    EXPECT_EQ(index_->brIndexId(), text(id));
    EXPECT_EQ(index_->brIndexVC(), vc);
  }
  Ref<clsTarnFile> file_;
  Ref<clsTarnIndex> index_;
};

TEST_F(IndexWireTest, OpenedCursorStartsEmpty) {
  EXPECT_EQ(index_->brName(), u"A2");
  expectPosition("", "", 0);
  EXPECT_TRUE(index_->brIsODBC());
  EXPECT_EQ(index_->brHandle().substr(0, 8), u"B66BF600");
}

TEST_F(IndexWireTest, MovesAndFindsSendTheirRequestsFromThePosition) {
  struct Case {
    std::function<bool(clsTarnIndex&)> call;
    std::string replyData;
    std::string request;
    bool result;
    std::string key, id;
    std::int32_t vc;
  };
  const std::vector<Case> cases = {
      {[](clsTarnIndex& i) { return i.brMoveFirst(); }, hit("APPLE", "2", "10"), k("N", "", ""),
       true, "APPLE", "10", 2},
      {[](clsTarnIndex& i) { return i.brMoveNext(); }, hit("FIG", "1", "11"),
       k("N", "APPLE", "10", "2"), true, "FIG", "11", 1},
      {[](clsTarnIndex& i) { return i.brMovePrevious(); }, hit("APPLE", "2", "10"),
       k("P", "FIG", "11", "1"), true, "APPLE", "10", 2},
      {[](clsTarnIndex& i) { return i.brMoveLast(); }, hit("PEAR", "1", "12"), k("L", "", ""), true,
       "PEAR", "12", 1},
      // Lower case finds upper case; a key not containing the sought one answers false.
      {[](clsTarnIndex& i) { return i.brFindFirst(u"ig"); }, hit("FIG", "1", "11"),
       k("C", "ig", ""), true, "FIG", "11", 1},
      {[](clsTarnIndex& i) { return i.brFindNext(u"ig"); }, hit("PEAR", "1", "12"),
       k("N", "FIG", "11", "1"), false, "PEAR", "12", 1},
      {[](clsTarnIndex& i) { return i.brFindPrevious(u"ig"); }, hit("FIG", "1", "11"),
       k("P", "PEAR", "12", "1"), true, "FIG", "11", 1},
      // A new key restarts: brFindNext from the key, brFindPrevious from the last at or before.
      {[](clsTarnIndex& i) { return i.brFindNext(u"pe"); }, hit("PEAR", "1", "12"),
       k("C", "pe", ""), true, "PEAR", "12", 1},
      {[](clsTarnIndex& i) { return i.brFindPrevious(u"ap"); }, hit("APPLE", "2", "10"),
       k("L", "ap", ""), true, "APPLE", "10", 2},
      {[](clsTarnIndex& i) { return i.brFindLast(u"z"); }, hit("PEAR", "1", "12"), k("L", "z", ""),
       false, "PEAR", "12", 1},
  };
  for (const Case& c : cases) {
    queueOk(c.replyData);
    EXPECT_EQ(c.call(*index_), c.result) << c.request;
    EXPECT_EQ(sent(), std::vector<std::string>{c.request});
    expectPosition(c.key, c.id, c.vc);
  }
}

TEST_F(IndexWireTest, NoEntryLeavesThePositionOrClearsIt) {
  struct Case {
    std::function<bool(clsTarnIndex&, Variant&)> call;
    bool clears;
  };
  const std::vector<Case> cases = {
      {[](clsTarnIndex& i, Variant& v) { return i.brMoveNext(v); }, false},
      {[](clsTarnIndex& i, Variant& v) { return i.brMovePrevious(v); }, false},
      {[](clsTarnIndex& i, Variant& v) { return i.brMoveLast(v); }, false},
      {[](clsTarnIndex& i, Variant& v) { return i.brMoveFirst(v); }, true},
      {[](clsTarnIndex& i, Variant& v) { return i.brFindFirst(u"A", v); }, true},
      {[](clsTarnIndex& i, Variant& v) { return i.brFindLast(u"A", v); }, true},
      {[](clsTarnIndex& i, Variant& v) { return i.brFindNext(u"B", v); }, true},
      {[](clsTarnIndex& i, Variant& v) { return i.brFindPrevious(u"B", v); }, true},
  };
  for (const Case& c : cases) {
    queueOk(hit("KEY", "4", "ID"));
    ASSERT_TRUE(index_->brMoveFirst());
    queue(reply(22));
    gLastError = 99;
    Variant id = u"stale";
    EXPECT_FALSE(c.call(*index_, id));
    EXPECT_EQ(gLastError, 0);
    if (c.clears) {
      expectPosition("", "", 0);
    } else {
      expectPosition("KEY", "ID", 4);
    }
    EXPECT_EQ(id.toString(), index_->brIndexId());
    (void)sent();
  }
}

TEST_F(IndexWireTest, KeyPassesCodesAndSplitsTheReply) {
  String key = u"K", id = u"I";
  std::int32_t vc = 5;
  queueOk(hit("KEY", "7", "A" + AM + "B"));
  EXPECT_TRUE(index_->brKey(u"R", key, id, vc));
  EXPECT_EQ(sent(), std::vector<std::string>{k("R", "K", "I", "5")});
  EXPECT_EQ(key, u"KEY");
  EXPECT_EQ(id, text("A" + AM + "B"));  // marks after the second stay in the id
  EXPECT_EQ(vc, 7);
  expectPosition("KEY", "A" + AM + "B", 7);

  // "X": every id under the key, the caller's key untouched.
  String sought = u"ap";
  std::int32_t count = 0;
  queueOk(hit("APPLE", "2", "10" + AM + "12"));
  auto ids = index_->brKeyX(sought, u"", count);
  EXPECT_EQ(sent(), std::vector<std::string>{k("X", "ap", "")});
  EXPECT_EQ(ids->brCString(), text("10" + AM + "12"));
  EXPECT_EQ(sought, u"ap");
  EXPECT_EQ(count, 2);
  EXPECT_EQ(index_->brIndexKey(), u"APPLE");
  queue(reply(22));
  count = 9;
  ids = index_->brKeyX(sought, u"given", count);
  EXPECT_EQ(ids->brCString(), u"given");
  EXPECT_EQ(count, 9);
}

TEST_F(IndexWireTest, FailuresNameTheOperation) {
  String key = u"K", id = u"I";
  queue(reply(34));
  TarnError e = errorOf([&] { (void)index_->brKey(u"N", key, id); });
  EXPECT_EQ(e.number(), serverStatusError(34));
  EXPECT_EQ(e.source(), kSource + u"clsTarnIndex.brKey A2 K I");
  EXPECT_EQ(key, u"K");
  queueOk("KEY" + AM + "1");  // one mark only
  e = errorOf([&] { (void)index_->brMoveNext(); });
  EXPECT_EQ(e.number(), 9);
  EXPECT_EQ(e.source(), kSource + u"clsTarnIndex.brKey A2  ");
  queue(reply(19));
  e = errorOf([&] { (void)file_->brRoot(u"A9"); });
  EXPECT_EQ(e.number(), serverStatusError(19));
  EXPECT_EQ(e.source(), kSource + u"clsTarnFile.brRoot CUST A9");
  (void)sent();
}

TEST_F(IndexWireTest, CreateAndDeleteRunCommandsAndNeverRaise) {
  struct Case {
    bool overwrite;
    std::string replyBytes;
    bool result;
  };
  const Case cases[] = {
      {false, tclReply("171", "171"), false},
      {true, tclReply("[172] Index built.", "172"), true},
      {false, tclReply("1710"), true},
      {false, reply(6), false},
  };
  for (const Case& c : cases) {
    queue(c.replyBytes);
    EXPECT_EQ(file_->brCreateIndex(u"A3", c.overwrite), c.result);
    const std::string command =
        c.overwrite ? "CREATE-INDEX CUST A3 (so" : "CREATE-INDEX CUST A3 (s";
    EXPECT_EQ(sent(), std::vector<std::string>{"E" + AM + command});
  }
  queue(reply(6));
  file_->brDeleteIndex(u"A3");
  EXPECT_EQ(sent(), std::vector<std::string>{"E" + AM + "DELETE-INDEX CUST A3"});
  EXPECT_EQ(gLastError, 0);
}

TEST_F(IndexWireTest, CursorKeepsItsFileAndClosesNothing) {
  file_.reset();
  EXPECT_TRUE(sent().empty());  // the cursor still holds the file open
  queueOk(hit("A", "1", "1"));
  EXPECT_TRUE(index_->brMoveFirst());
  (void)sent();
  queueOk();
  index_.reset();
  EXPECT_EQ(sent(), std::vector<std::string>{"C" + AM + "7"});  // the file's close, nothing else
}

}  // namespace
}  // namespace tarn::wiretest
