// A port's transactions: all or nothing, locks held to the end, rolled back by errors and by the
// port's end; and the engine's words on a failure, which travel beside the reply.
#include <gtest/gtest.h>

#include <optional>

#include "server/engine/session.h"
#include "tests/server/engine/child_process.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

// The two spellings of each transaction verb.
struct Spelling {
  const char* start;
  const char* commit;
  const char* abort;
};
constexpr Spelling kSpellings[] = {
    {"TRANSACTION START", "TRANSACTION COMMIT", "TRANSACTION ABORT"},
    {"BEGIN TRANSACTION", "COMMIT WORK", "ROLLBACK"},
};

class Transactions : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    cust_ = openFile("CUST");
    for (const char* id : {"1", "2", "3"})
      ASSERT_EQ(run(req("W", {cust_, id, std::string("old") + id})).status, 0);
    other_ = system_.open();
    otherCust_ = openFile("CUST", other_.get());
  }
  std::string read(const std::string& id, Port* p = nullptr) {
    Reply r = run(req("R", {p ? otherCust_ : cust_, id, "0"}), p);
    return r.status == 0 ? r.data : "(" + std::to_string(r.status) + ")";
  }
  // Locks items 1 and 2 and changes all three kinds of way inside a transaction.
  void changeInside(const char* start) {
    ASSERT_EQ(tcl(start).returned, "270");
    for (const char* id : {"1", "2", "3"}) ASSERT_EQ(run(req("r", {cust_, id, "0"})).status, 0);
    ASSERT_EQ(run(req("W", {cust_, "1", "new1"})).status, 0);
    ASSERT_EQ(run(req("V", {cust_, "2", "2", "two"})).status, 0);
    ASSERT_EQ(run(req("D", {cust_, "3"})).status, 0);
  }

  std::string cust_;
  std::unique_ptr<Port> other_;
  std::string otherCust_;
};

TEST_F(Transactions, CommitAppliesEveryChangeAtOnceAndOnlyThen) {
  for (const Spelling& s : kSpellings) {
    SCOPED_TRACE(s.start);
    changeInside(s.start);
    // The port reads its own changes; every other port reads what was there before.
    EXPECT_EQ(read("1"), "new1");
    EXPECT_EQ(read("2"), "old2" + std::string(1, AM) + "two");
    EXPECT_EQ(read("3"), "(2)");
    EXPECT_EQ(read("1", other_.get()), "old1");
    EXPECT_EQ(read("3", other_.get()), "old3");
    EXPECT_EQ(tcl(s.commit).returned, "271");
    EXPECT_EQ(read("1", other_.get()), "new1");
    EXPECT_EQ(read("2", other_.get()), "old2" + std::string(1, AM) + "two");
    EXPECT_EQ(read("3", other_.get()), "(2)");
    // The commit released the locks taken inside.
    EXPECT_EQ(run(req("r", {otherCust_, "1", "0"}), other_.get()).status, 0);
    ASSERT_EQ(run(req("W", {otherCust_, "1", "old1"}), other_.get()).status, 0);
    ASSERT_EQ(run(req("W", {otherCust_, "3", "old3"}), other_.get()).status, 0);
    ASSERT_EQ(run(req("W", {otherCust_, "2", "old2"}), other_.get()).status, 0);
  }
}

TEST_F(Transactions, AbortDropsEveryChangeAndReleasesItsLocks) {
  for (const Spelling& s : kSpellings) {
    SCOPED_TRACE(s.start);
    changeInside(s.start);
    EXPECT_EQ(tcl(s.abort).returned, "272");
    for (const char* id : {"1", "2", "3"}) {
      EXPECT_EQ(read(id), std::string("old") + id);
      EXPECT_EQ(run(req("r", {otherCust_, id, "0"}), other_.get()).status, 0);
    }
    EXPECT_EQ(run(req("A"), other_.get()).status, 0);
  }
}

TEST_F(Transactions, VerbsOutOfOrderSaySoAndChangeNothing) {
  EXPECT_EQ(tcl("TRANSACTION COMMIT").returned, "274");
  EXPECT_EQ(tcl("ROLLBACK").returned, "274");
  EXPECT_EQ(tcl("TRANSACTION START").returned, "270");
  EXPECT_EQ(tcl("BEGIN TRANSACTION").returned, "273");
  EXPECT_EQ(tcl("TRANSACTION ABORT").returned, "272");
  // A transaction verb without its word says how it is spelled.
  EXPECT_EQ(tcl("TRANSACTION").returned, "203");
  EXPECT_EQ(tcl("BEGIN CASE").returned, "203");
  EXPECT_EQ(tcl("COMMIT EVERYTHING").returned, "203");
}

TEST_F(Transactions, AChangeToAnItemNotLockedIsRefused) {
  ASSERT_EQ(tcl("TRANSACTION START").returned, "270");
  for (const std::string& request :
       {req("W", {cust_, "1", "x"}), req("V", {cust_, "1", "1", "x"}), req("D", {cust_, "1"})}) {
    EXPECT_EQ(run(request).status, status::kNotLocked) << request;
    EXPECT_NE(port_->message().find("Item '1' of CUST is not locked by this port"),
              std::string_view::npos)
        << port_->message();
  }
  // Another port's lock answers as it always does, naming the holder.
  ASSERT_EQ(run(req("r", {otherCust_, "2", "0"}), other_.get()).status, 0);
  EXPECT_EQ(run(req("r", {cust_, "2", "0"})).status, status::kLocked);
  EXPECT_EQ(tcl("TRANSACTION COMMIT").returned, "271");
  EXPECT_EQ(read("1", other_.get()), "old1");
}

TEST_F(Transactions, LocksTakenInsideAreHeldToTheEnd) {
  ASSERT_EQ(tcl("TRANSACTION START").returned, "270");
  ASSERT_EQ(run(req("r", {cust_, "1", "0"})).status, 0);
  ASSERT_EQ(run(req("r", {cust_, "2", "0"})).status, 0);
  // An upper-case write and a release would give the lock back outside a transaction.
  ASSERT_EQ(run(req("W", {cust_, "1", "new1"})).status, 0);
  ASSERT_EQ(run(req("U", {cust_, "2"})).status, 0);
  for (const char* id : {"1", "2"}) {
    EXPECT_EQ(run(req("r", {otherCust_, id, "0"}), other_.get()).status, status::kLocked);
    EXPECT_EQ(other_->message(), "Item '" + std::string(id) + "' of CUST is locked by port " +
                                     std::to_string(port_->number()) + " (account SALES).");
  }
  ASSERT_EQ(tcl("TRANSACTION COMMIT").returned, "271");
  EXPECT_EQ(run(req("r", {otherCust_, "1", "0"}), other_.get()).data, "new1");
  EXPECT_EQ(run(req("r", {otherCust_, "2", "0"}), other_.get()).status, 0);
}

TEST_F(Transactions, ACallThatFailsRollsBackAndTheStatementsWorkInCorvex) {
  ASSERT_EQ(tcl("CREATE-FILE BP 1 (").status, 0);
  const std::string bp = openFile("BP");
  const std::string source = joinMarks(
      {"SUBROUTINE TX(ID, HOW)", "OPEN 'CUST' TO F ELSE RETURN",
       "IF HOW = 'nest' THEN TRANSACTION START", "BEGIN TRANSACTION ELSE HOW = 'nested'",
       "READU X FROM F, ID ELSE X = ''", "WRITE 'new' : ID TO F, ID",
       "READ Y FROM F, ID THEN HOW = HOW : ',' : Y", "IF HOW[1,4] = 'fail' THEN Z = 1 / 0",
       "IF HOW[1,5] = 'abort' THEN TRANSACTION ABORT",
       "IF HOW[1,6] = 'commit' THEN COMMIT ELSE HOW = 'refused'", "RETURN"});
  ASSERT_EQ(run(req("W", {bp, "TX", source})).status, 0);
  ASSERT_EQ(tcl("COMPILE SALES,BP, TX (o").returned, "241");
  ASSERT_EQ(tcl("CATALOG SALES,BP, TX").returned, "244");
  const std::string tx = run(req("L", {"TX"})).data;
  auto call = [&](const std::string& id, const std::string& how) {
    return run(req("M", {tx, "2", std::to_string(id.size()), id, std::to_string(how.size()), how}));
  };

  Reply failed = call("1", "fail");
  EXPECT_EQ(failed.status, status::kRunFailed);
  EXPECT_NE(port_->message().find("division by zero"), std::string_view::npos);
  EXPECT_NE(port_->message().find("The transaction was rolled back."), std::string_view::npos);
  EXPECT_EQ(read("1", other_.get()), "old1");
  EXPECT_EQ(run(req("r", {otherCust_, "1", "0"}), other_.get()).status, 0);
  ASSERT_EQ(run(req("U", {otherCust_, "1"}), other_.get()).status, 0);

  EXPECT_EQ(call("1", "abort").status, 0);
  EXPECT_EQ(read("1", other_.get()), "old1");
  Reply committed = call("2", "commit");
  EXPECT_EQ(committed.status, 0);
  // The read inside saw the transaction's own write.
  EXPECT_NE(committed.data.find("commit,new2"), std::string::npos) << committed.data;
  EXPECT_EQ(read("2", other_.get()), "new2");
  // A transaction the caller opened stays one: the subroutine's start takes its ELSE.
  Reply nested = call("3", "nest");
  EXPECT_NE(nested.data.find("nested"), std::string::npos) << nested.data;
  EXPECT_EQ(tcl("TRANSACTION ABORT").returned, "272");
  EXPECT_EQ(read("3", other_.get()), "old3");
}

TEST_F(Transactions, AKilledPortsTransactionIsUndoneAndItsCommitsSurvive) {
  const std::string path = system_.path();
  // The child commits item 1, then changes item 2 inside a second transaction and is killed.
  Child child([&](Child& self) {
    auto p = Port::open({path, "SALES"});
    const std::string f = runOn(*p, req("O", {"CUST"})).data;
    auto step = [&](const std::string& request) {
      if (runOn(*p, request).status != 0) _exit(2);
    };
    step(req("E", {"TRANSACTION START"}));
    step(req("r", {f, "1", "0"}));
    step(req("W", {f, "1", "committed"}));
    step(req("E", {"TRANSACTION COMMIT"}));
    step(req("E", {"TRANSACTION START"}));
    step(req("r", {f, "2", "0"}));
    step(req("W", {f, "2", "never"}));
    self.send("ready");
    for (;;) pause();
  });
  ASSERT_EQ(child.receive(), std::optional<std::string>("ready"));
  EXPECT_EQ(run(req("r", {cust_, "2", "0"})).status, status::kLocked);
  child.killNow();
  port_.reset();
  other_.reset();
  auto reopened = system_.open();
  const std::string f = runOn(*reopened, req("O", {"CUST"})).data;
  EXPECT_EQ(runOn(*reopened, req("R", {f, "1", "0"})).data, "committed");
  Reply second = runOn(*reopened, req("r", {f, "2", "0"}));
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.data, "old2");
}

TEST_F(Transactions, AHundredChangesCommitTogether) {
  ASSERT_EQ(tcl("TRANSACTION START").returned, "270");
  for (int i = 0; i < 100; ++i) {
    const std::string id = "T" + std::to_string(i);
    ASSERT_EQ(run(req("r", {cust_, id, "0"})).status, status::kItemMissing);
    ASSERT_EQ(run(req("W", {cust_, id, "v" + id})).status, 0);
  }
  EXPECT_EQ(tcl("COUNT CUST", other_.get()).captured, "Count: 3 items.");
  ASSERT_EQ(tcl("COMMIT").returned, "271");
  EXPECT_EQ(tcl("COUNT CUST", other_.get()).captured, "Count: 103 items.");
}

// The engine's words on a failure, for the requests a person most often gets wrong.
TEST_F(Transactions, FailuresCarryWordsThatNameWhatWentWrong) {
  ASSERT_EQ(run(req("r", {otherCust_, "1", "0"}), other_.get()).status, 0);
  struct Case {
    std::string request;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {req("R", {cust_, "42", "0"}), status::kItemMissing, "Item '42' is not in CUST."},
      {req("R", {"99", "1", "0"}), status::kFileNotPresent, "File number 99 is not open."},
      {req("O", {"NOFILE"}), status::kFileNotPresent,
       "'NOFILE' is not a file that account SALES can open."},
      {req("E", {"LSIT CUST"}), status::kInvalidCall, "unknown command LSIT"},
      {req("L", {"NOSUCH"}), status::kItemMissing, "No subroutine 'NOSUCH'"},
      {req("W", {cust_, "1", "x"}), status::kLocked,
       "Item '1' of CUST is locked by port " + std::to_string(other_->number()) +
           " (account SALES)."},
      {req("1", {"QQ", "1"}), status::kBadConversion, "Conversion 'QQ'"},
      {req("R", {cust_, "1", "0"}), 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.request).status, c.status) << c.request;
    EXPECT_EQ(std::string(port_->message()).substr(0, c.message.size()), c.message);
    if (c.message.empty()) {
      EXPECT_TRUE(port_->message().empty());
    }
  }
}

}  // namespace
}  // namespace tarn::server::testing
