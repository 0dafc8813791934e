// Query sentences through the "E" request against one fixed account: dictionaries, criteria,
// orders, reports, saved lists, index plans and the everyday file verbs.
#include <gtest/gtest.h>

#include "server/engine/tcl/query/sentence.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

// The captured lines of a reply, one string per line, for readable expectations.
std::vector<std::string> lines(const std::string& captured) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t mark = captured.find(AM, start);
    out.push_back(captured.substr(start, mark - start));
    if (mark == std::string::npos) return out;
    start = mark + 1;
  }
}

std::string vm(std::initializer_list<std::string_view> parts) {
  return joinMarks(parts, VM);
}

class Query : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    f_ = openFile("CUST");
    d_ = openFile("DICT CUST");
    // id: name, city and zip (associated, multi-valued), balance in cents, since (a date), state
    put(f_, "1", {"Smith", vm({"Oslo", "Rome"}), vm({"0150", "0042"}), "1000", "20000", "NY"});
    put(f_, "2", {"Jones", "Paris", "75001", "250", "19000", "CA"});
    put(f_, "10", {"smithers", "Berlin", "10115", "12050", "20100", "NY"});
    put(f_, "11", {"Brown", "", "", "-500", "", "TX"});
    put(f_, "100",
        {"Adams", vm({"Lima", "Quito", "Cusco"}), vm({"15", "17", "08"}), "99", "21000", "NY"});
    put(d_, "@ID", {"D", "0", "", "Cust", "5R"});
    put(d_, "NAME", {"D", "1", "", "Name", "10L", "S"});
    put(d_, "CITY", {"D", "2", "", "City", "6L", "M", "PLACE"});
    put(d_, "ZIP", {"D", "3", "", "Zip", "5R", "M", "PLACE"});
    put(d_, "BALANCE", {"D", "4", "MD2", "Balance", "9R", "S"});
    put(d_, "SINCE", {"A", "5", "", "", "", "", "D2/", "", "L", "10"});
    put(d_, "STATE", {"D", "6", "", "St", "2L", "S"});
    put(d_, "UPNAME", {"I", "UPCASE(NAME)", "", "Upper", "10L", "S"});
    put(d_, "OLD", {"A", "1", "Old name", "", "", "", "MCU", "", "L", "8"});
  }
  void put(const std::string& file, const char* id, std::initializer_list<std::string_view> attrs) {
    ASSERT_EQ(run(req("W", {file, id, joinMarks(attrs)})).status, 0);
  }
  std::string f_, d_;
};

struct Case {
  const char* sentence;
  std::vector<std::string> lines;
};

TEST_F(Query, ReportsFollowTheDictionary) {
  const Case cases[] = {
      // The default listing: the dictionary's fields in attribute order, conversions applied,
      // associated values on lines of their own, right-justified columns aligned on the right.
      {"LIST CUST \"1\" \"100\" \"11\"",
       {" Cust Name       City     Zip   Balance SINCE      St",
        "    1 Smith      Oslo    0150     10.00 10/03/22   NY", "                 Rome    0042",
        "  100 Adams      Lima      15      0.99 06/29/25   NY", "                 Quito     17",
        "                 Cusco     08", "   11 Brown                       -5.00            TX",
        "[405] 3 items listed."}},
      // SORT orders right-justified ids as numbers; I items and A correlatives compute values.
      {"SORT CUST UPNAME OLD",
       {" Cust Upper      Old name", "    1 SMITH      SMITH", "    2 JONES      JONES",
        "   10 SMITHERS   SMITHERS", "   11 BROWN      BROWN", "  100 ADAMS      ADAMS",
        "[405] 5 items listed."}},
      {"SORT CUST BY STATE BREAK-ON STATE TOTAL BALANCE",
       {" Cust St   Balance", "    2 CA      2.50", "      ***      2.50", "", "    1 NY     10.00",
        "   10       120.50", "  100         0.99", "      ***    131.49", "", "   11 TX     -5.00",
        "      ***     -5.00", "", "  ===       128.99", "[405] 5 items listed."}},
      {"SORT CUST BY-EXP-DSND CITY WITH CITY CITY ZIP",
       {" Cust City     Zip", "    1 Rome    0042", "  100 Quito     17", "    2 Paris  75001",
        "    1 Oslo    0150", "  100 Lima      15", "  100 Cusco     08", "   10 Berlin 10115",
        "[405] 7 items listed."}},
      {"LIST CUST \"2\" \"10\" HEADING \"Customers 'P'\" ID-SUPP NAME DBL-SPC",
       {"Customers 1", "", "Name", "Jones", "", "smithers", "", "[405] 2 items listed."}},
      {"SORT CUST BY-DSND BALANCE BALANCE COL-HDR-SUPP SAMPLE 2",
       {"   10    120.50", "    1     10.00", "[405] 2 items listed."}},
      {"LIST CUST \"2\" NAME FOOTING \"end\" HDR-SUPP",
       {" Cust Name", "    2 Jones", "[405] 1 items listed."}},
      // CSV repeats single values on each value's row; JSON nests associations.
      {"SORT CUST \"1\" \"11\" NAME CITY ZIP CSV",
       {"Cust,Name,City,Zip", "1,Smith,Oslo,0150", "1,Smith,Rome,0042", "11,Brown,,"}},
      {"LIST CUST \"1\" NAME CITY BALANCE JSON",
       {R"({"@ID":"1","NAME":"Smith","PLACE":[{"CITY":"Oslo"},{"CITY":"Rome"}],"BALANCE":"10.00"})"}},
      {"SUM CUST BALANCE WITH STATE = \"NY\"", {"Total Balance: 131.49"}},
  };
  for (const Case& c : cases) {
    TclReply t = tcl(c.sentence);
    EXPECT_EQ(t.status, 0) << c.sentence;
    EXPECT_EQ(lines(t.captured), c.lines) << c.sentence;
  }
  // A left-justified column folds at its width, a text column at a blank.
  put(d_, "NOTE", {"D", "7", "", "Note", "8T"});
  put(f_, "N", {"Bartholomew-Smith", "", "", "", "", "", "one two three four"});
  EXPECT_EQ(
      lines(tcl("LIST CUST \"N\" NOTE NAME").captured),
      (std::vector<std::string>{" Cust Note     Name", "    N one two  Bartholome",
                                "      three    w-Smith", "      four", "[405] 1 items listed."}));
  // Quotes and commas in CSV fields, and controls in JSON strings, are escaped.
  put(f_, "Q", {"a,\"b\"", "x\ty"});
  EXPECT_EQ(lines(tcl("LIST CUST \"Q\" NAME ID-SUPP COL-HDR-SUPP CSV").captured)[0],
            "\"a,\"\"b\"\"\"");
  EXPECT_EQ(lines(tcl("LIST CUST \"Q\" CITY ID-SUPP JSON").captured)[0],
            R"({"PLACE":[{"CITY":"x\u0009y"}]})");
}

TEST_F(Query, CriteriaSelectTheirItems) {
  const std::pair<const char*, const char*> cases[] = {
      {"SSELECT CUST", "1 2 10 11 100"},  // ids right-justified by @ID: numeric order
      {"SSELECT CUST WITH STATE = \"NY\"", "1 10 100"},
      {"SSELECT CUST WITHOUT STATE = \"NY\"", "2 11"},
      {"SSELECT CUST WITH STATE = \"NY\" AND BALANCE > 100", "10"},  // dollars, kept as cents
      {"SSELECT CUST WITH STATE = \"CA\" OR WITH NAME = \"Brown\"", "2 11"},
      {"SSELECT CUST WITH CITY = \"Rome\"", "1"},
      {"SSELECT CUST WITH EVERY ZIP < \"100\"", "11 100"},  // 11 has no values at all
      {"SSELECT CUST WITH NO CITY", "11"},
      {"SSELECT CUST WITH CITY", "1 2 10 100"},
      {"SSELECT CUST WITH NAME LIKE \"Sm...\"", "1 10"},
      {"SSELECT CUST WITH NAME LIKE \"...s\"", "2 10 100"},
      {"SSELECT CUST WITH ZIP MATCHES \"5N\"", "2 10"},
      {"SSELECT CUST WITH ZIP LIKE \"0N'42'\"", "1"},
      {"SSELECT CUST WITH NAME LIKE \"5A\"", "1 2 11 100"},
      {"SSELECT CUST WITH NAME LIKE \"...m...t...h...s\"", "10"},
      {"SSELECT CUST WITH BALANCE BETWEEN 0 10", "1 2 100"},
      {"SSELECT CUST WITH NAME SAID \"smyth\"", "1"},
      {"SSELECT CUST WITH SINCE > \"01/01/23\"", "10 100"},  // typed in the field's conversion
      {"SSELECT CUST WITH UPNAME = \"SMITHERS\"", "10"},
      {"SSELECT CUST WITH NAME = \"Sm]\"", "1 10"},
      {"SSELECT CUST WITH NAME = no", ""},  // a bare value may be a word of the grammar
      {"SSELECT CUST BY STATE BY-DSND BALANCE", "2 10 1 100 11"},
      {"SSELECT CUST BY NAME", "100 11 2 1 10"},
  };
  for (const auto& [sentence, ids] : cases) EXPECT_EQ(selected(sentence), ids) << sentence;
}

// Criteria, sorts and totals read numbers as the engine does everywhere: a sign, digits and one
// point. "NAN", "INF" and "1e5" are text (a C++ reader would take them, and NAN would then equal
// every number); "12abc" adds nothing to a total and "+5" adds 5.
TEST_F(Query, OnlyStrictNumbersCompareAndAddAsNumbers) {
  ASSERT_EQ(tcl("CREATE-FILE NUMS 1").status, 0);
  const std::string f = openFile("NUMS");
  const std::pair<const char*, const char*> items[] = {{"a", "NAN"},   {"b", "INF"}, {"c", "+5"},
                                                       {"d", "12abc"}, {"e", "1e5"}, {"f", "5.0"}};
  for (const auto& [id, v] : items) put(f, id, {v});
  put(openFile("DICT NUMS"), "V", {"D", "1", "", "V", "6R", "S"});
  EXPECT_EQ(selected("SSELECT NUMS WITH V = 5"), "c f");
  EXPECT_EQ(lines(tcl("SUM NUMS V").captured), std::vector<std::string>{"Total V: 10"});
}

// JSON is UTF-8: a sub-value mark inside a value is escaped, not passed through as its byte.
TEST_F(Query, JsonEscapesAMarkInsideAValue) {
  put(f_, "7",
      {"A\xFC"
       "B\"\x01"});
  EXPECT_EQ(tcl("LIST CUST \"7\" NAME JSON").captured, R"({"@ID":"7","NAME":"A\u00fcB\"\u0001"})");
}

TEST_F(Query, TheActiveListFeedsTheNextSentenceOnce) {
  ASSERT_EQ(tcl("SELECT CUST WITH STATE = \"NY\"").captured, "Active list: 3 items selected.");
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 3 items.");
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 5 items.");  // used up
  // A selection of nothing leaves no list behind, not even an older one.
  ASSERT_EQ(tcl("SELECT CUST WITH STATE = \"NY\"").returned, "404");
  ASSERT_EQ(tcl("SELECT CUST \"nobody\"").returned, "401");
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 5 items.");
  ASSERT_EQ(tcl("SSELECT CUST WITH STATE = \"NY\"").returned, "404");
  ASSERT_EQ(tcl("SELECT CUST WITH BALANCE > 5").captured, "Active list: 2 items selected.");
  EXPECT_EQ(lines(tcl("LIST CUST NAME").captured),
            (std::vector<std::string>{" Cust Name", "    1 Smith", "   10 smithers",
                                      "[405] 2 items listed."}));
}

TEST_F(Query, EveryWordNotUnderstoodIsNamed) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"SELECT CUST WITH STATE = \"NY\" FOOBAR", "203", "'FOOBAR'"},
      {"LIST CUST FOOBAR", "202", "'FOOBAR'"},
      {"LIST CUST WITH", "203", "'WITH'"},
      {"LIST CUST WITH NAME =", "203", "'='"},
      {"LIST CUST WITH NAME BETWEEN \"a\"", "203", "'BETWEEN'"},
      {"LIST CUST BY", "203", "'BY'"},
      {"LIST CUST BREAK-ON", "203", "'BREAK-ON'"},
      {"LIST CUST HEADING", "203", "'HEADING'"},
      {"LIST CUST HEADING NAME", "203", "'HEADING'"},
      {"LIST CUST SAMPLE x", "203", "'SAMPLE'"},
      {"LIST CUST = \"x\"", "203", "'='"},
      {"LIST CUST WITH NO NAME = \"x\"", "203", "'NO'"},
      {"SELECT CUST NAME", "203", "'NAME'"},
      {"COUNT CUST CSV", "203", "'CSV'"},
      {"SUM CUST", "203", "SUM"},
      {"LIST CUST AND NAME", "203", "'AND'"},
      {"LIST NOSUCH", "201", "'NOSUCH'"},
      {"LIST CUST WITH NAME LIKE "
       "\"...a...a...a...a...a...a...a...a...a...a...a...a...a...a...a...a...a\"",
       "203", "'...a...a"},
  };
  for (const auto& [sentence, number, word] : cases) {
    TclReply t = tcl(sentence);
    EXPECT_EQ(t.status, 0) << sentence;
    EXPECT_EQ(t.returned, number) << sentence;
    EXPECT_EQ(t.captured.rfind(std::string("[") + number + "] ", 0), 0u) << t.captured;
    EXPECT_NE(t.captured.find(word), std::string::npos) << sentence << " -> " << t.captured;
  }
}

TEST_F(Query, ExpressionsCompileOnceAndReportTheirFailures) {
  put(d_, "BAD", {"I", "NAME + (", "", "Bad"});
  TclReply bad = tcl("LIST CUST BAD");
  EXPECT_EQ(bad.returned, "204");
  EXPECT_NE(bad.captured.find("'BAD'"), std::string::npos) << bad.captured;
  // An expression cannot smuggle statements in after a ';'.
  put(d_, "SNEAK", {"I", "NAME; WRITE NAME ON F, 'X'", "", "Sneak"});
  EXPECT_EQ(tcl("LIST CUST SNEAK").returned, "204");
  put(d_, "RATIO", {"I", "1000 / BALANCE", "", "Ratio", "6R"});
  put(f_, "ZERO", {"Zed", "", "", "0"});
  TclReply failed = tcl("LIST CUST RATIO");
  EXPECT_EQ(failed.returned, "205");
  EXPECT_NE(failed.captured.find("'RATIO' failed on item 'ZERO'"), std::string::npos)
      << failed.captured;
  // An I item may read other fields, I items among them, and @ID; a changed item is compiled anew.
  put(d_, "TAG", {"I", "UPNAME : '-' : @ID : '-' : DOWNCASE(STATE)", "", "Tag", "14L"});
  EXPECT_EQ(lines(tcl("LIST CUST \"10\" TAG").captured)[1], "   10 SMITHERS-10-ny");
  put(d_, "TAG", {"I", "LEN(NAME)", "", "Tag", "4R"});
  EXPECT_EQ(lines(tcl("LIST CUST \"10\" TAG").captured)[1], "   10    8");
}

TEST_F(Query, SavedListsOutliveThePortAndServeSelectLists) {
  ASSERT_EQ(tcl("SSELECT CUST WITH STATE = \"NY\"").returned, "404");
  EXPECT_EQ(tcl("SAVE-LIST NEWYORK").captured, "[460] List 'NEWYORK' saved: 3 items.");
  EXPECT_EQ(tcl("SAVE-LIST AGAIN").returned, "463");  // the active list went into the file
  auto other = system_.open();
  TclReply got = tcl("GET-LIST NEWYORK", other.get());
  EXPECT_EQ(got.captured, "Active list: 3 items selected.");
  Reply list = run(req("n", {run(req("S", {"-1"}), other.get()).data}), other.get());
  EXPECT_EQ(list.data, joinMarks({"1", "10", "100"}));
  // The list file is a file of the account: readable as one, and a list feeds a sentence.
  EXPECT_EQ(run(req("R", {openFile("&SAVEDLISTS&"), "NEWYORK", "0"})).data,
            joinMarks({"1", "10", "100"}));
  ASSERT_EQ(tcl("GET-LIST NEWYORK").returned, "404");
  EXPECT_EQ(tcl("COUNT CUST WITH BALANCE > 5").captured, "Count: 2 items.");
  EXPECT_EQ(tcl("DELETE-LIST NEWYORK", other.get()).returned, "461");
  EXPECT_EQ(tcl("GET-LIST NEWYORK").returned, "462");
  EXPECT_EQ(tcl("DELETE-LIST NEWYORK").returned, "462");
  EXPECT_EQ(tcl("GET-LIST").returned, "203");
}

// The counter of items read shows whether a sentence walked the index or the file; either way
// the answer is the same.
TEST_F(Query, IndexedCriteriaWalkTheIndex) {
  const char* sentences[] = {
      "SSELECT CUST WITH STATE = \"NY\"",
      "SSELECT CUST WITH STATE = \"ny\"",
      "SSELECT CUST WITH STATE = \"N]\"",
      "SSELECT CUST WITH STATE > \"CA\"",
      "SSELECT CUST WITH STATE BETWEEN \"A\" \"O\"",
      "SSELECT CUST WITH STATE = \"NY\" \"TX\"",
      "SSELECT CUST WITH STATE = \"NY\" AND BALANCE < 1000",
      "COUNT CUST WITH STATE <= \"ny\"",
  };
  std::vector<std::string> scanned;
  std::vector<std::uint64_t> scanReads;
  for (const char* s : sentences) {
    const std::uint64_t before = tcl::query::itemsRead();
    scanned.push_back(tcl(s).captured + run(req("n", {run(req("S", {"-1"})).data})).data);
    scanReads.push_back(tcl::query::itemsRead() - before);
  }
  ASSERT_EQ(tcl("CREATE-INDEX CUST A6").returned, "172");
  EXPECT_EQ(lines(tcl("LIST-INDEX CUST").captured),
            (std::vector<std::string>{"A6", "[176] File 'CUST' has 1 index."}));
  const std::uint64_t expectedReads[] = {0, 0, 0, 0, 0, 0, 3, 0};
  for (std::size_t i = 0; i < std::size(sentences); ++i) {
    const std::uint64_t before = tcl::query::itemsRead();
    EXPECT_EQ(tcl(sentences[i]).captured + run(req("n", {run(req("S", {"-1"})).data})).data,
              scanned[i])
        << sentences[i];
    EXPECT_EQ(tcl::query::itemsRead() - before, expectedReads[i]) << sentences[i];
    EXPECT_EQ(scanReads[i], 5u) << sentences[i];
  }
  // On a case-sensitive port the index answers for the exact spelling only.
  ASSERT_EQ(tcl("CASE (n").status, 0);
  std::uint64_t start = tcl::query::itemsRead();
  EXPECT_EQ(tcl("SELECT CUST WITH STATE = \"ny\"").captured, "Active list: 0 items selected.");
  EXPECT_EQ(tcl("COUNT CUST WITH STATE = \"NY\"").captured, "Count: 3 items.");
  EXPECT_EQ(tcl::query::itemsRead() - start, 0u);
  ASSERT_EQ(tcl("CASE (f").status, 0);
  // Numbers order differently from the index's bytes, so a numeric bound reads the file.
  const std::uint64_t before = tcl::query::itemsRead();
  EXPECT_EQ(tcl("COUNT CUST WITH STATE > 5").captured, "Count: 5 items.");
  EXPECT_EQ(tcl::query::itemsRead() - before, 5u);
}

TEST_F(Query, DefaultListingFollowsThePhraseItem) {
  put(d_, "@", {"PH", "NAME STATE"});
  EXPECT_EQ(lines(tcl("LIST CUST \"2\"").captured),
            (std::vector<std::string>{" Cust Name       St", "    2 Jones      CA",
                                      "[405] 1 items listed."}));
}

TEST_F(Query, EverydayFileVerbs) {
  ASSERT_EQ(tcl("CREATE-FILE ARCHIVE 3").returned, "417");
  EXPECT_EQ(tcl("COPY FROM CUST \"1\" 2 \"nine\" TO ARCHIVE").returned, joinMarks({"206", "408"}));
  const std::string archive = openFile("ARCHIVE");
  EXPECT_EQ(run(req("R", {archive, "2", "1"})).data, "Jones");
  put(f_, "2", {"Jonas"});
  EXPECT_EQ(tcl("COPY FROM CUST 2 TO ARCHIVE").returned, joinMarks({"409", "408"}));
  EXPECT_EQ(run(req("R", {archive, "2", "1"})).data, "Jones");
  EXPECT_EQ(tcl("COPY FROM CUST 2 TO ARCHIVE (O").captured, "[408] 1 items copied.");
  EXPECT_EQ(run(req("R", {archive, "2", "1"})).data, "Jonas");
  // The active list names the items when the sentence does not.
  ASSERT_EQ(tcl("SELECT ARCHIVE").returned, "404");
  EXPECT_EQ(tcl("DELETE ARCHIVE").captured, "[410] 2 items deleted.");
  EXPECT_EQ(tcl("COUNT ARCHIVE").captured, "Count: 0 items.");
  EXPECT_EQ(tcl("DELETE ARCHIVE").returned, "203");
  EXPECT_EQ(tcl("COPY FROM CUST 1").returned, "203");
  EXPECT_EQ(tcl("COPY FROM CUST 1 TO ARCHIVE X").returned, "203");

  EXPECT_EQ(lines(tcl("CT CUST 1").captured),
            (std::vector<std::string>{"1", "001 Smith", "002 Oslo]Rome", "003 0150]0042",
                                      "004 1000", "005 20000", "006 NY", ""}));
  EXPECT_EQ(lines(tcl("LISTF").captured),
            (std::vector<std::string>{"ARCHIVE", "CUST", "[411] 2 files listed."}));
}

}  // namespace
}  // namespace tarn::server::testing
