// COMPILE, CATALOG and the "L", "M" and "C" requests, and file statements under a port's locks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "server/engine/session.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

class Modules : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(tcl("CREATE-FILE BP 1 (").status, 0);
    bp_ = openFile("BP");
    cust_ = openFile("CUST");
  }
  void source(const std::string& name, const std::string& text) {
    ASSERT_EQ(run(req("W", {bp_, name, text})).status, 0);
  }
  void compileAndCatalog(const std::string& name) {
    EXPECT_EQ(tcl("COMPILE SALES,BP, " + name + " (o").returned, "241");
    EXPECT_EQ(tcl("CATALOG SALES,BP, " + name).returned, "244");
  }
  std::string load(const std::string& reference, Port* p = nullptr) {
    Reply r = run(req("L", {reference}), p);
    EXPECT_EQ(r.status, 0) << reference;
    return r.data;
  }

  std::string bp_;
  std::string cust_;
  std::atomic<bool> done_{false};
};

TEST_F(Modules, CompileReportsErrorsByLineAndCatalogNeedsObjectCode) {
  source("BAD", joinMarks({"SUBROUTINE BAD(A)", "A = (1", "IF A CRT 1", "RETURN"}));
  TclReply t = tcl("COMPILE SALES,BP, BAD (o");
  EXPECT_EQ(t.captured, joinMarks({"Line 2: ')' expected, found the end of the line.",
                                   "Line 3: THEN or ELSE expected, found 'CRT'.",
                                   "[242] 'BAD' did not compile: 2 errors."}));
  EXPECT_EQ(t.returned, "242");
  EXPECT_EQ(tcl("CATALOG SALES,BP, BAD").captured, "[245] 'BAD' has not been compiled.");
  EXPECT_EQ(tcl("COMPILE SALES,BP, NONE (o").returned, "243");
  EXPECT_EQ(tcl("COMPILE SALES,NOFILE, X (o").returned, "201");
  EXPECT_EQ(tcl("COMPILE NOACCT,BP, X (o").returned, "210");
  EXPECT_EQ(tcl("COMPILE X").returned, "203");
  EXPECT_EQ(run(req("L", {"BAD"})).status, status::kItemMissing);
  EXPECT_EQ(run(req("L", {"BP, BAD"})).status, status::kNotCompiled);
  EXPECT_EQ(run(req("L", {"BP, NONE"})).status, status::kItemMissing);
}

TEST_F(Modules, LoadByEveryReferenceFormAndCallWithMarks) {
  source("SWAP", joinMarks({"SUBROUTINE SWAP(A, B, C)", "T = A; A = B; B = T", "C<-1> = LEN(A)",
                            "RETURN", "END"}));
  compileAndCatalog("SWAP");
  ASSERT_EQ(tcl("CREATE-ACCOUNT OTHER").returned, "213");
  for (const char* reference : {"SALES,BP, SWAP", "BP, SWAP", "SWAP", "SALES,SWAP"}) {
    SCOPED_TRACE(reference);
    std::string m = load(reference);
    std::string marks = joinMarks({"x", joinMarks({"y", "z"}, VM)}) + "\xFC\xFB";
    Reply r = run(callRequest(m, {marks, "", "k"}));
    ASSERT_EQ(r.status, 0) << r.data;
    EXPECT_EQ(callResults(r.data), (std::vector<std::string>{"", marks, joinMarks({"k", "0"})}));
    EXPECT_EQ(run(req("C", {m})).status, 0);
    EXPECT_EQ(run(callRequest(m, {})).status, status::kFileNotPresent);
  }
  // Module numbers are no file handles, and file handles are no modules.
  std::string m = load("SWAP");
  EXPECT_EQ(run(req("R", {m, "X"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(callRequest(bp_, {})).status, status::kFileNotPresent);
  EXPECT_EQ(run(callRequest(m, {"1", "2", "3", "4"})).status, status::kBadParameters);
  // The count must be a number that matches the arguments that follow it.
  for (const char* count : {"", "x", "1x", "+1", " 1", "-1", "256", "2", "0"})
    EXPECT_EQ(run(req("M", {m, count, "1", "a"})).status, status::kBadParameters) << count;
  EXPECT_EQ(run(req("M", {m})).status, status::kBadParameters);
  EXPECT_EQ(run(req("M", {m, "1", "1", "a"})).status, 0);
}

TEST_F(Modules, ProgramsRunTimeErrorsAndCalls) {
  source("MAIN", joinMarks({"PROGRAM MAIN", "CRT 1"}));
  source("FAILS", joinMarks({"SUBROUTINE FAILS(A)", "CRT 'about to'", "A = A + 'x'", "RETURN"}));
  source("TWICE", joinMarks({"SUBROUTINE TWICE(N)", "CALL SWAP(N, M, K)", "N = M * 2"}));
  source("SWAP", joinMarks({"SUBROUTINE SWAP(A, B, C)", "T = A; A = B; B = T"}));
  for (const char* name : {"MAIN", "FAILS", "TWICE", "SWAP"}) compileAndCatalog(name);
  EXPECT_EQ(run(callRequest(load("MAIN"), {})).status, status::kMainProgram);
  Reply failed = run(callRequest(load("FAILS"), {"1"}));
  EXPECT_EQ(failed.status, status::kRunFailed);
  EXPECT_EQ(failed.data, joinMarks({"FAILS line 3: 'x' is not a number", "about to"}));
  Reply twice = run(callRequest(load("TWICE"), {"21"}));
  ASSERT_EQ(twice.status, 0) << twice.data;
  EXPECT_EQ(callResults(twice.data), std::vector<std::string>{"42"});
}

TEST_F(Modules, ObjectCodeSurvivesANewPort) {
  source("ONE", joinMarks({"SUBROUTINE ONE(A)", "A = 1"}));
  compileAndCatalog("ONE");
  port_.reset();
  std::unique_ptr<Port> again = system_.open();
  Reply r = run(callRequest(load("ONE", again.get()), {"0"}), again.get());
  EXPECT_EQ(callResults(r.data), std::vector<std::string>{"1"});
}

TEST_F(Modules, FileStatementsTakeTheirClausesUnderThePortsLocks) {
  source(
      "FILES",
      joinMarks(
          {"SUBROUTINE FILES(OP, ID, REC)", "OPEN 'CUST' TO F ELSE REC = 'no file'; RETURN",
           "IF OP = 'R' THEN READ REC FROM F, ID THEN REC := '!' ELSE REC = 'missing'",
           "IF OP = 'U' THEN READU REC FROM F, ID LOCKED REC = 'locked' THEN NULL ELSE REC = 'new'",
           "IF OP = 'V' THEN READV REC FROM F, ID, 2 ELSE REC = 'missing'",
           "IF OP = 'W' THEN WRITE REC ON F, ID LOCKED REC = 'locked'",
           "IF OP = 'WV' THEN WRITEV REC ON F, ID, 3",
           "IF OP = 'WU' THEN WRITEU REC ON F, ID LOCKED REC = 'locked'",
           "IF OP = 'D' THEN DELETE F, ID ELSE REC = 'gone already'",
           "IF OP = 'X' THEN RELEASE F, ID",
           "IF OP = 'O' THEN OPEN 'NOPE' TO G ELSE REC = 'no such file'", "RETURN"}));
  compileAndCatalog("FILES");
  std::string m = load("FILES");
  auto call = [&](const std::string& op, const std::string& id, const std::string& rec = "",
                  Port* p = nullptr) {
    Reply r = run(callRequest(p ? load("FILES", p) : m, {op, id, rec}), p);
    EXPECT_EQ(r.status, 0) << r.data;
    return callResults(r.data).at(2);
  };
  EXPECT_EQ(call("R", "1"), "missing");
  EXPECT_EQ(call("W", "1", joinMarks({"a", "b"})), joinMarks({"a", "b"}));
  EXPECT_EQ(call("R", "1"), joinMarks({"a", "b"}) + "!");
  EXPECT_EQ(call("V", "1"), "b");
  EXPECT_EQ(call("WV", "1", "c"), "c");
  EXPECT_EQ(run(req("R", {cust_, "1"})).data, joinMarks({"a", "b", "c"}));
  EXPECT_EQ(call("O", "1"), "no such file");
  // A lock taken by READU holds against another port until this one writes or releases.
  std::unique_ptr<Port> other = system_.open();
  EXPECT_EQ(call("U", "1"), joinMarks({"a", "b", "c"}));
  EXPECT_EQ(call("U", "1", "", other.get()), "locked");
  EXPECT_EQ(call("W", "1", "x", other.get()), "locked");
  EXPECT_EQ(call("X", "1"), "");
  EXPECT_EQ(call("U", "2", "", other.get()), "new");
  EXPECT_EQ(call("W", "2", "y", other.get()), "y");
  EXPECT_EQ(call("U", "2"), "y");
  EXPECT_EQ(call("D", "2"), "");
  EXPECT_EQ(call("D", "2"), "gone already");
  // WRITEU keeps the lock that READU took; a WRITE gives it up.
  EXPECT_EQ(call("U", "3"), "new");
  EXPECT_EQ(call("WU", "3", "kept"), "kept");
  EXPECT_EQ(call("U", "3", "", other.get()), "locked");
  EXPECT_EQ(call("W", "3", "given"), "given");
  EXPECT_EQ(call("U", "3", "", other.get()), "given");
}

// Select lists, EXECUTE, ON ERROR, MATREAD/MATWRITE and READVU/WRITEU on the port's files.
TEST_F(Modules, ListsExecuteArraysAndErrorClausesOnTheStore) {
  source("LISTS",
         joinMarks({"SUBROUTINE LISTS(OUT)",
                    "OPEN 'CUST' TO F ELSE OUT = 'no file'; RETURN",
                    "WRITE 'a' ON F, 'K1'; WRITE 'b' ON F, 'K2'",
                    "SELECT F TO L; N = 0",
                    "LOOP",
                    "  READNEXT ID FROM L ELSE EXIT",
                    "  N += 1",
                    "REPEAT",
                    "OUT<1> = N",
                    "SELECT F",
                    "READLIST ALL ELSE ALL = 'none'",
                    "OUT<2> = CONVERT(@AM, ',', ALL)",
                    "SELECT F TO 3",
                    "CLEARSELECT ALL",
                    "READNEXT ID FROM 3 ELSE OUT<3> = 'empty'",
                    "EXECUTE 'SELECT CUST' CAPTURING SAID RETURNING CODES",
                    "READNEXT ID THEN OUT<4> = ID",
                    "OUT<5> = (SAID # '') : (CODES # '')",
                    "X = 1",
                    "READ R FROM X, 'K1' ON ERROR OUT<6> = 'error' ELSE OUT<6> = 'missing'",
                    "DIM A(3)",
                    "MATREAD A FROM F, 'K1' ELSE A(1) = 'none'",
                    "A(2) = 'two'",
                    "MATWRITE A ON F, 'K3'",
                    "READ R FROM F, 'K3' THEN OUT<7> = CONVERT(@AM, ',', R)",
                    "READVU V FROM F, 'K3', 2 LOCKED V = 'locked' ELSE V = 'missing'",
                    "WRITEU 'kept' ON F, 'K3'",
                    "OUT<8> = V",
                    "OUT<9> = @ACCOUNT",
                    "OPEN 'DICT', 'CUST' TO D ELSE RETURN",
                    "WRITE 'T' ON D, 'NAME'",
                    "READ R FROM F, 'NAME' ELSE OUT<10> = 'apart'",
                    "RETURN"}));
  compileAndCatalog("LISTS");
  Reply r = run(callRequest(load("LISTS"), {""}));
  ASSERT_EQ(r.status, 0) << r.data;
  EXPECT_EQ(callResults(r.data).at(0), joinMarks({"2", "K1,K2", "empty", "K1", "11", "error",
                                                  "a,two", "two", "SALES", "apart"}));
  // WRITEU kept the lock that READVU took: another port's READU finds the item locked.
  source("TRYLOCK",
         joinMarks({"SUBROUTINE TRYLOCK(OUT)", "OPEN 'CUST' TO F ELSE RETURN",
                    "READU OUT FROM F, 'K3' LOCKED OUT = 'locked' ELSE OUT = 'missing'",
                    // A MATREADU that meets the lock leaves nothing of the item it read before.
                    "DIM A(2)", "FOR I = 1 TO 2", "ID = 'K1'; IF I = 2 THEN ID = 'K3'",
                    "MATREADU A FROM F, ID LOCKED NULL", "NEXT I", "OUT = OUT : ',' : A(1)"}));
  compileAndCatalog("TRYLOCK");
  std::unique_ptr<Port> other = system_.open();
  Reply held = run(callRequest(load("TRYLOCK", other.get()), {""}), other.get());
  EXPECT_EQ(callResults(held.data).at(0), "locked,");
}

// $INCLUDE from the same file and from another; COMMON /name/ lasts from one call to the next
// on a port, the unnamed block only within one call.
TEST_F(Modules, IncludesAndNamedCommonAcrossCalls) {
  source("DEFS", joinMarks({"EQU INC TO 5", "COMMON /TALLY/ TOTAL"}));
  ASSERT_EQ(run(req("W", {cust_, "MORE", "COMMON SCRATCH"})).status, 0);
  source("COUNTER", joinMarks({"SUBROUTINE COUNTER(OUT)", "$INCLUDE DEFS", "$INSERT CUST MORE",
                               "TOTAL += INC; SCRATCH += 1", "OUT = TOTAL : ',' : SCRATCH"}));
  compileAndCatalog("COUNTER");
  std::string m = load("COUNTER");
  EXPECT_EQ(callResults(run(callRequest(m, {""})).data).at(0), "5,1");
  EXPECT_EQ(callResults(run(callRequest(m, {""})).data).at(0), "10,1");
  std::unique_ptr<Port> other = system_.open();
  EXPECT_EQ(
      callResults(run(callRequest(load("COUNTER", other.get()), {""}), other.get()).data).at(0),
      "5,1");
  source("NOINC", joinMarks({"SUBROUTINE NOINC", "X = 1", "$INCLUDE NOWHERE"}));
  TclReply t = tcl("COMPILE SALES,BP, NOINC (o");
  EXPECT_EQ(t.captured, joinMarks({"Line 3: $INCLUDE NOWHERE: no such source item.",
                                   "[242] 'NOINC' did not compile: 1 errors."}));
}

// A turn that builds a 10 MB string takes milliseconds: the limit and a cancel must still
// stop the call, not thousands of turns later.
TEST_F(Modules, HeavyTurnsAreStoppedByTheTimeLimitAndByCancel) {
  source("HEAVY",
         joinMarks({"SUBROUTINE HEAVY(A)", "LOOP", "S = STR('x', 10000000)", "A += 1", "REPEAT"}));
  compileAndCatalog("HEAVY");
  PortConfig limited{system_.path(), "SALES", std::chrono::milliseconds(1000)};
  std::unique_ptr<Port> p = Port::open(limited);
  auto began = std::chrono::steady_clock::now();
  Reply r = run(callRequest(load("HEAVY", p.get()), {"0"}), p.get());
  const auto limitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - began)
                           .count();
  EXPECT_EQ(r.status, status::kCallStopped);
  EXPECT_EQ(r.data, "HEAVY line 3: the call was stopped");

  std::string m = load("HEAVY");
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 2000 && !done_; ++i) {
      port_->cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  began = std::chrono::steady_clock::now();
  r = run(callRequest(m, {"0"}));
  done_ = true;
  stopper.join();
  const auto cancelMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - began)
                            .count();
  EXPECT_EQ(r.status, status::kCallStopped);
  RecordProperty("stopped_by_1s_limit_after_ms", static_cast<int>(limitMs));
  RecordProperty("stopped_by_cancel_at_300ms_after_ms", static_cast<int>(cancelMs));
}

TEST_F(Modules, MemoryAndObjectSizeStayWithinThePortsLimits) {
  source("GREEDY", joinMarks({"SUBROUTINE GREEDY(A)", "X = STR('y', 6000000)", "FOR I = 1 TO 40",
                              "  A<I> = X", "NEXT I"}));
  compileAndCatalog("GREEDY");
  Limits small;
  small.callMemory = std::size_t{64} << 20;
  std::unique_ptr<Port> p = Port::open({system_.path(), "SALES"}, small);
  Reply r = run(callRequest(load("GREEDY", p.get()), {""}), p.get());
  EXPECT_EQ(r.status, status::kCallStopped);
  EXPECT_EQ(r.data,
            "GREEDY line 4: the call needed more than its 67108864 bytes of memory "
            "(MaxCallMemory)");
  // The port goes on.
  EXPECT_EQ(run(req("L", {"GREEDY"}), p.get()).status, 0);

  // Object code is bigger than its source: over MaxItemSize it is refused, not written.
  std::string text = "SUBROUTINE LONG(A)";
  for (int i = 0; i < 200; ++i) text += std::string(1, AM) + "A = A + 1";
  source("LONG", text);
  Limits tight;
  tight.itemBytes = 8192;
  std::unique_ptr<Port> q = Port::open({system_.path(), "SALES"}, tight);
  TclReply t = tcl("COMPILE SALES,BP, LONG (o", q.get());
  EXPECT_NE(t.captured.find("[450] The object code of 'LONG' ("), std::string::npos) << t.captured;
  EXPECT_NE(t.captured.find("bytes) is over the item size limit of 8192 bytes."), std::string::npos)
      << t.captured;
  EXPECT_EQ(run(req("L", {"BP, LONG"}), q.get()).status, status::kNotCompiled);
}

}  // namespace
}  // namespace tarn::server::testing
