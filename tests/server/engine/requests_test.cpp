// Item, handle, lock, list and system-value requests against one or two ports of a process.
#include <gtest/gtest.h>

#include <set>

#include "server/engine/session.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

using ItemRequests = EngineTest;

TEST_F(ItemRequests, WholeItemsAndSingleAttributesRoundTrip) {
  std::string f = openFile("CUST");
  std::string body = joinMarks({"Smith", joinMarks({"a", "b"}, VM), "", "42"});
  ASSERT_EQ(run(req("W", {f, "100", body})).status, 0);

  EXPECT_EQ(run(req("R", {f, "100", "0"})).data, body);
  EXPECT_EQ(run(req("R", {f, "100", "1"})).data, "Smith");
  EXPECT_EQ(run(req("R", {f, "100", "2"})).data, joinMarks({"a", "b"}, VM));
  EXPECT_EQ(run(req("R", {f, "100", "3"})).data, "");
  EXPECT_EQ(run(req("R", {f, "100", "4"})).data, "42");
  Reply past = run(req("R", {f, "100", "9"}));
  EXPECT_EQ(past.status, 0);
  EXPECT_EQ(past.data, "");
  // Three fields: the dictionary-style read of the whole item.
  EXPECT_EQ(run(req("R", {f, "100"})).data, body);
  EXPECT_EQ(run(req("R", {f, "101", "0"})).status, status::kItemMissing);

  // The body is the rest of the request, marks and all; overwriting replaces it.
  ASSERT_EQ(run(req("W", {f, "100", "short"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "100", "0"})).data, "short");
}

TEST_F(ItemRequests, ItemIdsIgnoreCaseUnlessTheFileWasMadeCaseSensitive) {
  std::string f = openFile("CUST");
  ASSERT_EQ(run(req("W", {f, "Abc", "one"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "aBC", "0"})).data, "one");
  ASSERT_EQ(run(req("W", {f, "ABC", "two"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "abc", "0"})).data, "two");

  ASSERT_EQ(tcl("CREATE-FILE EXACT 3 (s").returned, "417");
  std::string e = openFile("EXACT");
  ASSERT_EQ(run(req("W", {e, "Abc", "one"})).status, 0);
  ASSERT_EQ(run(req("W", {e, "ABC", "two"})).status, 0);
  EXPECT_EQ(run(req("R", {e, "Abc", "0"})).data, "one");
  EXPECT_EQ(run(req("R", {e, "abc", "0"})).status, status::kItemMissing);
  // A select list keeps each id as it was written.
  ASSERT_EQ(run(req("W", {f, "lower", "x"})).status, 0);
  Reply list = run(req("S", {f}));
  EXPECT_EQ(run(req("n", {list.data})).data, joinMarks({"ABC", "lower"}));
}

TEST_F(ItemRequests, AttributeWritesReplaceOrPad) {
  std::string f = openFile("CUST");
  ASSERT_EQ(run(req("W", {f, "1", joinMarks({"a", "b", "c"})})).status, 0);
  ASSERT_EQ(run(req("V", {f, "1", "2", "B"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "1", "0"})).data, joinMarks({"a", "B", "c"}));
  ASSERT_EQ(run(req("v", {f, "1", "5", "e"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "1", "0"})).data, joinMarks({"a", "B", "c", "", "e"}));
  // A missing item is created by its first attribute write.
  ASSERT_EQ(run(req("V", {f, "2", "3", "x"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "2", "0"})).data, joinMarks({"", "", "x"}));
  // The value may itself hold marks: it is the last field.
  ASSERT_EQ(run(req("V", {f, "2", "1", joinMarks({"p", "q"})})).status, 0);
  EXPECT_EQ(run(req("R", {f, "2", "0"})).data, joinMarks({"p", "q", "", "x"}));
}

TEST_F(ItemRequests, DeleteAndClear) {
  std::string f = openFile("CUST");
  for (const char* id : {"1", "2", "3"}) ASSERT_EQ(run(req("W", {f, id, "x"})).status, 0);
  EXPECT_EQ(run(req("D", {f, "2"})).status, 0);
  EXPECT_EQ(run(req("R", {f, "2", "0"})).status, status::kItemMissing);
  EXPECT_EQ(run(req("D", {f, "2"})).status, status::kItemMissing);
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 2 items.");
  EXPECT_EQ(run(req("d", {f})).status, 0);
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 0 items.");
  EXPECT_EQ(run(req("R", {f, "1", "0"})).status, status::kItemMissing);
}

TEST_F(ItemRequests, MalformedRequestsGetAStatus) {
  std::string f = openFile("CUST");
  struct Case {
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"", status::kInvalidCall},
      {"Q", status::kInvalidCall},
      {"?" + std::string(1, AM) + "1", status::kInvalidCall},
      {"RX", status::kBadParameters},
      {req("R", {f}), status::kBadParameters},
      {req("R", {f, "id", "0", "extra"}), status::kBadParameters},
      {req("R", {"abc", "id", "0"}), status::kBadParameters},
      {req("R", {"", "id", "0"}), status::kBadParameters},
      {req("R", {"99999999999", "id", "0"}), status::kBadParameters},
      {req("R", {"+1", "id", "0"}), status::kBadParameters},
      {req("R", {"99", "id", "0"}), status::kFileNotPresent},
      {req("R", {"0", "id", "0"}), status::kFileNotPresent},
      {req("R", {f, "id", "abc"}), status::kNotANumber},
      {req("R", {f, "id", "-1"}), status::kBadAttribute},
      {req("W", {f, "id"}), status::kBadParameters},
      {req("W", {f, "", "body"}), status::kBadParameters},
      {req("V", {f, "id", "0", "x"}), status::kBadAttribute},
      {req("V", {f, "id", "x", "x"}), status::kNotANumber},
      {req("V", {f, "id", "1"}), status::kBadParameters},
      {req("D", {f}), status::kBadParameters},
      {req("U", {f}), status::kBadParameters},
      {req("F", {}), status::kBadParameters},
      {req("d", {"7"}), status::kFileNotPresent},
      {req("O", {}), status::kBadParameters},
      {req("O", {"NOSUCH"}), status::kFileNotPresent},
      {req("O", {"CUST", "x"}), status::kBadParameters},
      {req("C", {"77"}), status::kFileNotPresent},
      {req("C", {"x"}), status::kBadParameters},
      {req("Z", {}), status::kBadParameters},
      {req("Z", {"x"}), status::kBadParameters},
      {req("A", {"x"}), status::kBadParameters},
      {req("S", {"x"}), status::kBadParameters},
      {req("S", {"55"}), status::kFileNotPresent},
      {req("n", {"9"}), status::kBadParameters},
      {req("N", {"-1"}), status::kBadParameters},
      {req("c", {"9"}), status::kBadParameters},
      {req("1", {"NOT-A-CODE", "x"}), status::kBadConversion},
      {req("1", {"D"}), status::kBadParameters},
      {req("E", {}), status::kBadParameters},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.request).status, c.status) << c.request;
}

using Handles = EngineTest;

TEST_F(Handles, ReferencesResolveToTheRightSection) {
  std::string data = openFile("CUST");
  std::string dict = openFile("DICT CUST");
  ASSERT_NE(data, dict);
  ASSERT_EQ(run(req("W", {data, "ID", "in data"})).status, 0);
  ASSERT_EQ(run(req("W", {dict, "ID", "in dict"})).status, 0);
  ASSERT_EQ(tcl("CREATE-FILE DATA CUST,OLD 3 (").returned, "417");
  std::string old = openFile("CUST,OLD");
  ASSERT_EQ(run(req("W", {old, "ID", "in old"})).status, 0);

  const std::pair<std::string, std::string> cases[] = {
      {"CUST", "in data"},           {" CUST", "in data"},
      {"cust", "in data"},           {"DATA CUST", "in data"},
      {"  data   CUST ", "in data"}, {"CUST,CUST", "in data"},
      {"CUST, CUST", "in data"},     {"CUST,", "in data"},
      {"DICT CUST", "in dict"},      {"D CUST", "in dict"},
      {"dict  cust", "in dict"},     {"dict DICT CUST", "in dict"},
      {"CUST,OLD", "in old"},        {"SALES,CUST", "in data"},
      {"SALES,CUST,OLD", "in old"},  {"DICT SALES,CUST", "in dict"},
      {"sales,cust,", "in data"},
  };
  for (const auto& [reference, expected] : cases) {
    Reply opened = run(req("O", {reference}));
    ASSERT_EQ(opened.status, 0) << reference;
    EXPECT_EQ(run(req("R", {opened.data, "ID", "0"})).data, expected) << reference;
  }
  for (const char* bad : {"NOSUCH", "CUST,NOSEC", "NOACCT,CUST", "a,b,c,d", "", "  ", "DICT",
                          "DICT NOSUCH", "SALES,NOSUCH"})
    EXPECT_EQ(run(req("O", {bad})).status, status::kFileNotPresent) << bad;
}

TEST_F(Handles, MasterDictionariesOfThisAccountAndTheSystem) {
  std::string md = openFile("md");
  EXPECT_EQ(run(req("R", {md, "CUST", "1"})).data, "D");
  EXPECT_EQ(openFile("DICT MD").empty(), false);
  // "mds,," is the DM account's master dictionary, which does not list this account's files.
  std::string mds = openFile("mds,,");
  EXPECT_EQ(run(req("R", {mds, "CUST", "0"})).status, status::kItemMissing);
  std::string other = openFile("SALES,,");
  EXPECT_EQ(run(req("R", {other, "CUST", "1"})).data, "D");
}

TEST_F(Handles, NumbersAreSharedAndClosedHandlesStopWorking) {
  std::set<std::string> numbers;
  for (const char* r : {"CUST", "DICT CUST", "MD", "CUST"}) numbers.insert(openFile(r));
  EXPECT_EQ(numbers.size(), 4u);
  std::string f = *numbers.begin();
  EXPECT_EQ(run(req("C", {f})).status, 0);
  EXPECT_EQ(run(req("R", {f, "x", "0"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("C", {f})).status, status::kFileNotPresent);
}

TEST_F(Handles, ACaseSensitivePortNeedsExactFileNames) {
  ASSERT_EQ(tcl("CASE (n").status, 0);
  EXPECT_EQ(run(req("O", {"cust"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("O", {"CUST"})).status, 0);
  ASSERT_EQ(tcl("CASE (f").status, 0);
  EXPECT_EQ(run(req("O", {"cust"})).status, 0);
}

class Locks : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    other_ = system_.open();
    mine_ = openFile("CUST");
    theirs_ = openFile("CUST", other_.get());
    ASSERT_EQ(run(req("W", {mine_, "1", "one"})).status, 0);
  }
  int theirs(std::string_view op, std::initializer_list<std::string_view> rest) {
    std::string request(op);
    request.push_back(AM);
    request += theirs_;
    for (std::string_view f : rest) {
      request.push_back(AM);
      request.append(f);
    }
    return run(request, other_.get()).status;
  }
  std::unique_ptr<Port> other_;
  std::string mine_, theirs_;
};

TEST_F(Locks, AnItemLockStopsOtherPortsButNotPlainReads) {
  ASSERT_EQ(run(req("r", {mine_, "1", "0"})).data, "one");
  EXPECT_EQ(theirs("r", {"1", "0"}), status::kLocked);
  EXPECT_EQ(theirs("R", {"1", "0"}), 0);
  EXPECT_EQ(theirs("W", {"1", "x"}), status::kLocked);
  EXPECT_EQ(theirs("V", {"1", "1", "x"}), status::kLocked);
  EXPECT_EQ(theirs("D", {"1"}), status::kLocked);
  EXPECT_EQ(theirs("F", {}), status::kLocked);
  EXPECT_EQ(theirs("d", {}), status::kLocked);
  EXPECT_EQ(theirs("U", {"1"}), 0);  // releasing someone else's lock does nothing
  EXPECT_EQ(theirs("r", {"1", "0"}), status::kLocked);
  // The holder may read it locked again and write it.
  EXPECT_EQ(run(req("r", {mine_, "1", "0"})).status, 0);
  EXPECT_EQ(run(req("w", {mine_, "1", "two"})).status, 0);
  EXPECT_EQ(theirs("r", {"1", "0"}), status::kLocked);  // "w" kept it
  EXPECT_EQ(run(req("W", {mine_, "1", "three"})).status, 0);
  EXPECT_EQ(theirs("r", {"1", "0"}), 0);  // "W" released it
  EXPECT_EQ(run(req("r", {mine_, "1", "0"})).status, status::kLocked);
}

TEST_F(Locks, EachReleasingRequestReleases) {
  auto lockThenRelease = [&](const std::string& release) {
    ASSERT_EQ(run(req("r", {mine_, "1", "0"})).status, 0) << release;
    ASSERT_EQ(theirs("r", {"1", "0"}), status::kLocked) << release;
    EXPECT_EQ(run(release).status, 0) << release;
    EXPECT_NE(theirs("r", {"1", "0"}), status::kLocked) << release;
    EXPECT_EQ(theirs("U", {"1"}), 0);
  };
  lockThenRelease(req("U", {mine_, "1"}));
  lockThenRelease(req("V", {mine_, "1", "2", "x"}));
  lockThenRelease(req("A"));
  lockThenRelease(req("W", {mine_, "1", "one"}));
  lockThenRelease(req("D", {mine_, "1"}));
  // A lock on a missing item is still a lock; deleting the missing item releases it too.
  EXPECT_EQ(run(req("r", {mine_, "1", "0"})).status, status::kItemMissing);
  EXPECT_EQ(theirs("W", {"1", "x"}), status::kLocked);
  port_.reset();  // logging off releases
  EXPECT_EQ(theirs("W", {"1", "x"}), 0);
}

TEST_F(Locks, AFileLockExcludesItemLocksOfOthers) {
  ASSERT_EQ(run(req("F", {mine_})).status, 0);
  EXPECT_EQ(theirs("r", {"1", "0"}), status::kLocked);
  EXPECT_EQ(theirs("W", {"2", "x"}), status::kLocked);
  EXPECT_EQ(theirs("F", {}), status::kLocked);
  EXPECT_EQ(run(req("r", {mine_, "1", "0"})).status, 0);  // the holder still locks items
  EXPECT_EQ(run(req("W", {mine_, "1", "one"})).status, 0);
  ASSERT_EQ(run(req("f", {mine_})).status, 0);
  EXPECT_EQ(theirs("r", {"1", "0"}), 0);
  // ... and an item lock of another port keeps the file lock away.
  EXPECT_EQ(run(req("F", {mine_})).status, status::kLocked);
  EXPECT_EQ(theirs("U", {"1"}), 0);
  EXPECT_EQ(run(req("F", {mine_})).status, 0);
}

TEST_F(Locks, LocksAreKeptPerItemAndPerFile) {
  ASSERT_EQ(run(req("r", {mine_, "1", "0"})).status, 0);
  EXPECT_EQ(theirs("r", {"2", "0"}), status::kItemMissing);  // another item: not locked
  std::string dict = openFile("DICT CUST", other_.get());
  EXPECT_EQ(run(req("W", {dict, "1", "x"}), other_.get()).status, 0);  // another section
}

using Lists = EngineTest;

TEST_F(Lists, AFileListIsASnapshotReadInBatches) {
  std::string f = openFile("CUST");
  const std::size_t total = kBatchIds + 5;
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < total; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "K%06zu", i);
    ids.push_back(id);
    ASSERT_EQ(run(req("W", {f, id, "x"})).status, 0);
  }
  std::string list = run(req("S", {f})).data;
  ASSERT_EQ(run(req("W", {f, "ZZZ-after", "x"})).status, 0);
  Reply first = run(req("n", {list}));
  EXPECT_EQ(first.status, 0);
  Reply second = run(req("n", {list}));
  EXPECT_EQ(second.status, status::kEndOfList);
  std::string all = first.data + AM + second.data;
  std::string expected;
  for (const auto& id : ids) expected += (expected.empty() ? "" : std::string(1, AM)) + id;
  EXPECT_EQ(all, expected);
  EXPECT_EQ(std::count(first.data.begin(), first.data.end(), AM) + 1, static_cast<long>(kBatchIds));
  Reply after = run(req("n", {list}));
  EXPECT_EQ(after.status, status::kEndOfList);
  EXPECT_EQ(after.data, "");
}

TEST_F(Lists, BatchesAreBoundedByBytes) {
  std::string f = openFile("CUST");
  const std::string pad(1000, 'p');
  const std::size_t total = kBatchBytes / 1000 + 10;
  for (std::size_t i = 0; i < total; ++i)
    ASSERT_EQ(run(req("W", {f, pad + std::to_string(1000 + i), "x"})).status, 0);
  std::string list = run(req("S", {f})).data;
  std::size_t seen = 0, batches = 0;
  for (;;) {
    Reply r = run(req("n", {list}));
    ASSERT_TRUE(r.status == 0 || r.status == status::kEndOfList);
    EXPECT_LE(r.data.size(), kBatchBytes);
    seen += std::count(r.data.begin(), r.data.end(), AM) + 1;
    ++batches;
    if (r.status == status::kEndOfList) break;
  }
  EXPECT_EQ(seen, total);
  EXPECT_GT(batches, 1u);
}

TEST_F(Lists, SingleReadsEndWithStatus36AfterTheLastId) {
  std::string f = openFile("CUST");
  for (const char* id : {"b", "a"}) ASSERT_EQ(run(req("W", {f, id, "x"})).status, 0);
  std::string list = run(req("S", {f})).data;
  EXPECT_EQ(run(req("N", {list})).data, "a");
  Reply second = run(req("N", {list}));
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.data, "b");
  Reply end = run(req("N", {list}));
  EXPECT_EQ(end.status, status::kEndOfList);
  EXPECT_EQ(end.data, "");
  EXPECT_EQ(run(req("c", {list})).status, 0);
  EXPECT_EQ(run(req("N", {list})).status, status::kBadParameters);
  EXPECT_EQ(run(req("c", {list})).status, status::kBadParameters);
}

TEST_F(Lists, EmptySourcesEndAtOnce) {
  std::string f = openFile("CUST");
  Reply n = run(req("n", {run(req("S", {f})).data}));
  EXPECT_EQ(n.status, status::kEndOfList);
  EXPECT_EQ(n.data, "");
  EXPECT_EQ(run(req("N", {run(req("S", {f})).data})).status, status::kEndOfList);
  // No SELECT yet: the active list is empty.
  EXPECT_EQ(run(req("n", {run(req("S", {"-1"})).data})).status, status::kEndOfList);
}

TEST_F(Lists, TheActiveListIsTakenOnce) {
  std::string f = openFile("CUST");
  for (const char* id : {"1", "2", "3"}) ASSERT_EQ(run(req("W", {f, id, "x"})).status, 0);
  EXPECT_EQ(selected("SSELECT CUST BY-DSND A0"), "3 2 1");
  EXPECT_EQ(run(req("n", {run(req("S", {"-1"})).data})).data, "");  // taken
}

using SystemValues = EngineTest;

TEST_F(SystemValues, SelectorsAnswer) {
  auto z = [&](const char* selector, Port* p = nullptr) {
    Reply r = run(req("Z", {selector}), p);
    EXPECT_EQ(r.status, 0) << selector;
    return r.data;
  };
  EXPECT_EQ(z("0"), "0");
  EXPECT_EQ(z("22"), std::to_string(port_->number()));
  auto other = system_.open();
  EXPECT_NE(z("22", other.get()), z("22"));
  EXPECT_EQ(z("18"), "2");
  long ms = std::stol(z("12"));
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 86400000L);
  std::string a = z("19"), b = z("19");
  EXPECT_NE(a, b);
  EXPECT_TRUE(hasShape(a, std::string(32, 'X'))) << a;
  EXPECT_EQ(z("27"), "0");
  ASSERT_EQ(tcl("CASE (n").status, 0);
  EXPECT_EQ(z("27"), "1");
  EXPECT_EQ(z("27", other.get()), "0");  // the flag is the port's own
  EXPECT_EQ(z("33"), "SALES");
  EXPECT_EQ(z("99"), "");
  EXPECT_EQ(z("-1"), "");
  // The internal date agrees with the DATE verb's sixth word and with the date conversion.
  std::string today = z("21");
  std::string date = tcl("DATE").captured;
  EXPECT_EQ(date.substr(date.rfind(' ') + 1), today);
  EXPECT_EQ(run(req("2", {"D", run(req("1", {"D4/", today})).data})).data, today);
}

TEST_F(SystemValues, ConversionsUseThePortsNumberFormat) {
  EXPECT_EQ(run(req("1", {"MD2,$", "123456"})).data, "$1,234.56");
  ASSERT_EQ(tcl("SET-NUM-FORMAT /./").status, 0);
  ASSERT_EQ(tcl("SET-NUM-FORMAT //,").status, 0);
  ASSERT_EQ(tcl("SET-NUM-FORMAT EUR//").status, 0);
  EXPECT_EQ(run(req("1", {"MD2,$", "123456"})).data, "EUR1.234,56");
  // Empty positions keep what they held.
  ASSERT_EQ(tcl("SET-NUM-FORMAT //").status, 0);
  EXPECT_EQ(run(req("1", {"MD2,$", "123456"})).data, "EUR1.234,56");
  auto other = system_.open();
  EXPECT_EQ(run(req("1", {"MD2,$", "123456"}), other.get()).data, "$1,234.56");
}

}  // namespace
}  // namespace tarn::server::testing
