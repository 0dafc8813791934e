// File indexes in the engine: the TCL verbs that make and drop them, the "I" and "K" requests,
// and the index kept equal to its items through writes, deletes and clears.
#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

class IndexTest : public EngineTest {
 protected:
  void write(const std::string& id, const std::string& body, Port* p = nullptr) {
    Reply r = run(req("W", {file(p), id, body}), p);
    ASSERT_EQ(r.status, 0) << id;
  }
  const std::string& file(Port* p) {
    std::string& number = p ? otherFile_ : file_;
    if (number.empty()) number = openFile("CUST", p);
    return number;
  }
  std::string openIndex(const std::string& corr, Port* p = nullptr) {
    Reply r = run(req("I", {"CUST", corr}), p);
    EXPECT_EQ(r.status, 0) << corr;
    return r.data;
  }
  Reply key(const std::string& index, const std::string& code, const std::string& k = "",
            const std::string& id = "", const std::string& vc = "0", Port* p = nullptr) {
    return run(req("K", {code, index, k, id, vc}), p);
  }
  // Every entry, stepping with code from the first ("N") or the last ("P") entry.
  std::vector<std::string> walk(const std::string& index, const std::string& code) {
    std::vector<std::string> seen;
    Reply r = code == "N" ? key(index, "N") : key(index, "L");
    while (r.status == 0 && seen.size() < 100000) {
      seen.push_back(r.data);
      std::string_view d = r.data;
      const std::size_t first = d.find(AM), second = d.find(AM, first + 1);
      r = key(index, code, std::string(d.substr(0, first)), std::string(d.substr(second + 1)),
              std::string(d.substr(first + 1, second - first - 1)));
    }
    EXPECT_EQ(r.status, 22);
    return seen;
  }
  std::string file_, otherFile_;
};

std::string entry(std::string_view k, std::string_view vc, std::string_view id) {
  return joinMarks({k, vc, id});
}

TEST_F(IndexTest, KeyCodesWalkAndSearchMultiValuedKeys) {
  write("1", joinMarks({"x", joinMarks({"PEAR", "APPLE"}, VM)}));
  write("2", joinMarks({"y", "FIG"}));
  write("3", joinMarks({"z", joinMarks({"APPLE", "", "KIWI"}, VM)}));
  write("4", "no second attribute");
  TclReply made = tcl("CREATE-INDEX CUST A2 (s");
  EXPECT_EQ(made.returned, "172") << made.captured;
  const std::string ix = openIndex("a2");
  struct Case {
    const char* code;
    const char* key;
    std::string id;
    const char* vc;
    int status;
    std::string data;
  };
  const Case cases[] = {
      {"N", "", "", "0", 0, entry("APPLE", "2", "1")},
      {"N", "APPLE", "1", "2", 0, entry("APPLE", "1", "3")},
      {"N", "APPLE", "3", "1", 0, entry("FIG", "1", "2")},
      {"N", "KIWI", "3", "3", 0, entry("PEAR", "1", "1")},
      {"N", "PEAR", "1", "1", 22, ""},
      {"P", "FIG", "2", "1", 0, entry("APPLE", "1", "3")},
      {"P", "APPLE", "1", "2", 22, ""},
      {"C", "B", "", "0", 0, entry("FIG", "1", "2")},
      {"C", "Q", "", "0", 22, ""},
      {"L", "", "", "0", 0, entry("PEAR", "1", "1")},
      {"L", "G", "", "0", 0, entry("FIG", "1", "2")},
      {"L", "A", "", "0", 22, ""},
      {"X", "APP", "", "0", 0, entry("APPLE", "2", joinMarks({"1", "3"}))},
      {"N", "APPLE", joinMarks({"1", "3"}), "2", 0, entry("FIG", "1", "2")},
      {"P", "FIG", joinMarks({"2", "9"}), "1", 0, entry("APPLE", "1", "3")},
      {"R", "KIWI", "", "0", 0, entry("KIWI", "3", "3")},
      {"R", "KIW", "", "0", 22, ""},
      {"V", "APPLE", "3", "0", 0, entry("APPLE", "1", "3")},
      {"V", "APPLE", "2", "0", 22, ""},
      {"Q", "", "", "0", 34, ""},
  };
  for (const Case& c : cases) {
    Reply r = key(ix, c.code, c.key, c.id, c.vc);
    EXPECT_EQ(r.status, c.status) << c.code << " " << c.key;
    if (c.status == 0) {
      EXPECT_EQ(r.data, c.data) << c.code << " " << c.key;
    }
  }
}

TEST_F(IndexTest, BadRequestsGetStatuses) {
  ASSERT_EQ(tcl("CREATE-INDEX CUST A1").returned, "172");
  const std::string ix = openIndex("A1");
  EXPECT_EQ(run(req("I", {"CUST", "A9"})).status, 19);
  EXPECT_EQ(run(req("I", {"CUST", "B1"})).status, 19);
  EXPECT_EQ(run(req("I", {"NOFILE", "A1"})).status, 9);
  EXPECT_EQ(run(req("I", {"CUST"})).status, 34);
  EXPECT_EQ(key("7", "N").status, 19);
  EXPECT_EQ(key(ix, "N", "", "", "x").status, 34);
  EXPECT_EQ(key(ix, "NN").status, 34);
  EXPECT_EQ(key(ix, "C", std::string(2000, 'K')).status, 34);
  EXPECT_EQ(run(req("K", {"N", ix, ""})).status, 34);
  // A value longer than a key may be is indexed by its start.
  write("long", joinMarks({std::string(3000, 'L')}));
  Reply r = key(ix, "N");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data, entry(std::string(1024, 'L'), "1", "long"));
  // Dropped by another port while this one holds it open.
  ASSERT_EQ(tcl("DELETE-INDEX CUST A1").returned, "174");
  EXPECT_EQ(key(ix, "N").status, 19);
}

TEST_F(IndexTest, CreateAndDeleteIndexOutputs) {
  write("a", joinMarks({"mixed Case"}));
  struct Case {
    const char* command;
    const char* captured;  // exact, or the start when it ends with '*'
    const char* returned;
  };
  const Case cases[] = {
      {"CREATE-INDEX CUST A1(MCU) (s", "[172] Index 'A1(MCU)' built on file 'CUST' over 1 items.",
       "172"},
      {"CREATE-INDEX CUST a1(MCU) (s", "171", "171"},
      {"CREATE-INDEX CUST A1(MCU) (so", "[172]*", "172"},
      {"CREATE-INDEX CUST A1(XYZ) (s", "[173] 'A1(XYZ)' is not a valid index correlative.", "173"},
      {"CREATE-INDEX CUST A (s", "[173]*", "173"},
      {"CREATE-INDEX NOFILE A1 (s", "[201] 'NOFILE' is not a file name.", "201"},
      {"CREATE-INDEX CUST", "[203]*", "203"},
      {"DELETE-INDEX CUST A2", "[175] File 'CUST' has no index 'A2'.", "175"},
  };
  for (const Case& c : cases) {
    TclReply t = tcl(c.command);
    EXPECT_EQ(t.status, 0) << c.command;
    std::string expected = c.captured;
    if (!expected.empty() && expected.back() == '*') {
      expected.pop_back();
      EXPECT_EQ(t.captured.substr(0, expected.size()), expected) << c.command;
    } else {
      EXPECT_EQ(t.captured, expected) << c.command;
    }
    EXPECT_EQ(t.returned, c.returned) << c.command;
  }
  const std::string ix = openIndex("A1(MCU)");
  EXPECT_EQ(key(ix, "N").data, entry("MIXED CASE", "1", "a"));
  EXPECT_EQ(tcl("DELETE-INDEX CUST A1(MCU)").returned, "174");
  EXPECT_EQ(run(req("I", {"CUST", "A1(MCU)"})).status, 19);
}

TEST_F(IndexTest, AnotherPortsWritesDeletesAndClearsAreSeen) {
  ASSERT_EQ(tcl("CREATE-INDEX CUST A1").returned, "172");
  auto other = system_.open();
  const std::string ix = openIndex("A1");
  write("k1", "BETA", other.get());
  write("k2", "ALPHA", other.get());
  EXPECT_EQ(key(ix, "N").data, entry("ALPHA", "1", "k2"));
  write("k2", "GAMMA", other.get());
  EXPECT_EQ(key(ix, "N").data, entry("BETA", "1", "k1"));
  EXPECT_EQ(key(ix, "L").data, entry("GAMMA", "1", "k2"));
  ASSERT_EQ(run(req("D", {file(other.get()), "k1"}), other.get()).status, 0);
  EXPECT_EQ(key(ix, "N").data, entry("GAMMA", "1", "k2"));
  // Attribute writes and the lock-checked path keep the index too.
  ASSERT_EQ(run(req("V", {file(other.get()), "k2", "1", "DELTA"}), other.get()).status, 0);
  EXPECT_EQ(key(ix, "N").data, entry("DELTA", "1", "k2"));
  ASSERT_EQ(tcl("CLEAR-FILE CUST", other.get()).returned, "420");
  EXPECT_EQ(key(ix, "N").status, 22);
  // A file deleted and made again does not inherit the old index.
  ASSERT_EQ(tcl("DELETE-FILE CUST (u").returned, "418");
  ASSERT_EQ(tcl("CREATE-FILE CUST 1").returned, "417");
  EXPECT_EQ(run(req("I", {"CUST", "A1"})).status, 19);
}

TEST_F(IndexTest, IndexSurvivesReopeningTheAccount) {
  write("a", "ONE");
  ASSERT_EQ(tcl("CREATE-INDEX CUST A1").returned, "172");
  port_.reset();
  port_ = system_.open();
  file_.clear();
  write("b", "TWO");
  const std::string ix = openIndex("A1");
  EXPECT_EQ(key(ix, "N").data, entry("ONE", "1", "a"));
  EXPECT_EQ(key(ix, "L").data, entry("TWO", "1", "b"));
}

// The engine's index against a plain sorted set over random writes and deletes, in a file that
// folds item-ids and one that does not; the rebuild at the end fills more entries than one batch.
TEST_F(IndexTest, MatchesASortedModelOverRandomChanges) {
  ASSERT_EQ(tcl("CREATE-FILE EXACT 1 (s").returned, "417");
  for (const char* name : {"CUST", "EXACT"}) {
    const bool fold = std::string(name) == "CUST";
    const std::string f = openFile(name);
    ASSERT_EQ(tcl(std::string("CREATE-INDEX ") + name + " A2").returned, "172");
    Reply opened = run(req("I", {name, "A2"}));
    ASSERT_EQ(opened.status, 0);
    const std::string ix = opened.data;
    std::mt19937 rng(7);
    using Entry = std::tuple<std::string, std::string, long>;  // key, stored id, value count
    std::map<std::string, std::vector<Entry>> byItem;          // by folded id
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int step = 0; step < 900; ++step) {
      std::string id = std::string(1, "abAB"[pick(4)]) + std::to_string(pick(200));
      std::string folded = id;
      if (fold)
        for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (pick(4) == 0) {
        Reply r = run(req("D", {f, id}));
        EXPECT_EQ(r.status, byItem.count(folded) ? 0 : 2);
        byItem.erase(folded);
        continue;
      }
      std::string values;
      std::vector<Entry> entries;
      const int count = pick(4);
      for (int v = 1; v <= count; ++v) {
        std::string value =
            pick(5) == 0 ? "" : std::string(1, "KLMkl"[pick(5)]) + std::to_string(pick(3));
        if (v > 1) values.push_back(VM);
        values += value;
        if (!value.empty()) entries.emplace_back(value, id, v);
      }
      ASSERT_EQ(run(req("W", {f, id, joinMarks({"x", values})})).status, 0);
      byItem[folded] = entries;
    }
    std::set<std::tuple<std::string, std::string, long, std::string>> model;
    for (const auto& [folded, entries] : byItem)
      for (const auto& [k, id, vc] : entries) model.emplace(k, folded, vc, id);
    std::vector<std::string> expected;
    for (const auto& [k, folded, vc, id] : model)
      expected.push_back(entry(k, std::to_string(vc), id));
    ASSERT_GT(expected.size(), 300u) << name;  // more than one batch of a bulk fill
    EXPECT_EQ(walk(ix, "N"), expected) << name;
    std::vector<std::string> backward = walk(ix, "P");
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(backward, expected) << name;
    // A rebuild from the items gives the same entries as the maintained index.
    ASSERT_EQ(tcl(std::string("CREATE-INDEX ") + name + " A2 (o").returned, "172");
    EXPECT_EQ(walk(ix, "N"), expected) << name;
  }
}

}  // namespace
}  // namespace tarn::server::testing
