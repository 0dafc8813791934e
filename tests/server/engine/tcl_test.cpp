// TCL verbs through the "E" request: fixed outputs, selections, file and account administration.
#include <gtest/gtest.h>

#include <sstream>

#include "server/engine/session.h"
#include "server/engine/tcl/tcl.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

class Tcl : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    f_ = openFile("CUST");
    d_ = openFile("DICT CUST");
    // id: name, city (multi-valued), balance
    put("100", joinMarks({"Smith", joinMarks({"Oslo", "Rome"}, VM), "10"}));
    put("101", joinMarks({"Jones", "Paris", "9"}));
    put("102", joinMarks({"smithers", "Berlin", "120"}));
    put("200", joinMarks({"Brown", "", "-5"}));
    ASSERT_EQ(run(req("W", {d_, "NAME", joinMarks({"A", "1"})})).status, 0);
    ASSERT_EQ(run(req("W", {d_, "BALANCE", joinMarks({"A", "3"})})).status, 0);
    ASSERT_EQ(run(req("W", {d_, "JUNK", joinMarks({"X", "3"})})).status, 0);
  }
  void put(const char* id, const std::string& body) {
    ASSERT_EQ(run(req("W", {f_, id, body})).status, 0);
  }
  std::string f_, d_;
};

TEST_F(Tcl, FixedOutputsHaveTheirWordsWhereTheLibraryReadsThem) {
  TclReply count = tcl("COUNT CUST");
  EXPECT_EQ(count.captured, "Count: 4 items.");
  EXPECT_EQ(words(count.captured)[1], "4");
  EXPECT_EQ(tcl("ESTIMATE-COUNT CUST").captured, "4");
  EXPECT_EQ(tcl("COUNT CUST WITH BALANCE > 9").captured, "Count: 2 items.");
  EXPECT_EQ(tcl("ESTIMATE-COUNT DICT CUST").captured, "3");
  TclReply select = tcl("SELECT CUST");
  EXPECT_EQ(select.captured, "Active list: 4 items selected.");
  EXPECT_EQ(words(select.captured)[2], "4");
  EXPECT_EQ(select.returned, "404");
  TclReply none = tcl("SELECT CUST WITH NAME = \"nobody\"");
  EXPECT_EQ(none.captured, "Active list: 0 items selected.");
  EXPECT_EQ(none.returned, "401");

  std::string date = tcl("DATE").captured;
  std::vector<std::string> d = words(date);
  ASSERT_EQ(d.size(), 6u) << date;
  EXPECT_TRUE(hasShape(date.substr(0, 20), "Aaa 99 Aaa 9999 day ")) << date;
  EXPECT_EQ(d[5], run(req("Z", {"21"})).data);
  std::string time = tcl("TIME").captured;
  EXPECT_TRUE(hasShape(time, "99:99:99 99 Aaa 9999")) << time;
  EXPECT_EQ(words(tcl("WHO").captured),
            (std::vector<std::string>{std::to_string(port_->number()), "SALES"}));
}

TEST_F(Tcl, SelectionCriteria) {
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT CUST WITH A1 = \"Jones\"", "101"},
      {"SELECT CUST WITH NAME = jones", "101"},  // bare value; case-insensitive port
      {"SELECT CUST WITH NAME = \"Smith]\"", "100 102"},
      {"SELECT CUST WITH NAME = \"[ERS\"", "102"},
      {"SELECT CUST WITH NAME = \"[s\"", "101 102"},
      {"SELECT CUST WITH NAME = \"[MIT]\"", "100 102"},
      {"SELECT CUST WITH NAME # \"Smith]\"", "101 200"},
      {"SELECT CUST WITH A2 = \"Rome\"", "100"},    // any value of a multi-valued attribute
      {"SELECT CUST WITH BALANCE > 9", "100 102"},  // numbers compare as numbers
      {"SELECT CUST WITH BALANCE < \"9\"", "200"},
      {"SELECT CUST WITH BALANCE >= 9", "100 101 102"},
      {"SELECT CUST WITH A2", "100 101 102"},  // present
      {"SELECT CUST WITH A1 = \"Jones\" \"Brown\"", "101 200"},
      {"SELECT CUST WITH A1 = \"Smith]\" AND WITH A3 > 50", "102"},
      {"SELECT CUST WITH A1 = \"Jones\" OR A1 = \"Brown\"", "101 200"},
      {"SELECT CUST WITH A0 = \"1]\"", "100 101 102"},
      {"SELECT CUST \"200\" \"101\" \"999\"", "200 101"},
      {"SSELECT CUST \"200\" \"101\"", "101 200"},
      {"SSELECT CUST BY BALANCE", "200 101 100 102"},
      {"SSELECT CUST BY-DSND A1", "102 100 101 200"},
      {"SELECT MD WITH A1 = D", "CUST"},
      {"SELECT MD WITH A1 = \"D]\"", "CUST"},
  };
  for (const auto& [command, ids] : cases) EXPECT_EQ(selected(command), ids) << command;

  ASSERT_EQ(tcl("CASE (n").status, 0);
  EXPECT_EQ(selected("SELECT CUST WITH NAME = \"smith]\""), "102");
  EXPECT_EQ(selected("SSELECT CUST BY A1"), "200 101 100 102");  // upper case sorts first
}

// An empty value is text, never the number 0; equal sort keys leave the items in item-id order
// (byte order, which here differs from the folded key order the file walks in).
TEST_F(Tcl, EmptyValuesAreTextAndSortTiesFollowTheItemIds) {
  ASSERT_EQ(tcl("CREATE-FILE T 1").returned, "417");
  const std::string t = openFile("T");
  for (const auto& [id, value] :
       {std::pair{"a", ""}, {"B", ""}, {"c", "-1"}, {"D", "0"}, {"e", "x"}, {"F", "x"}})
    ASSERT_EQ(run(req("W", {t, id, value})).status, 0);
  const std::pair<const char*, const char*> cases[] = {
      {"SSELECT T BY A1", "B a c D F e"},
      {"SSELECT T BY-DSND A1", "F e D c B a"},
      {"SELECT T WITH A1 = \"0\"", "D"},
      {"SELECT T WITH A1 = \"\"", "a B"},
  };
  for (const auto& [command, ids] : cases) EXPECT_EQ(selected(command), ids) << command;
}

TEST_F(Tcl, BadSelectionsReportMessagesNotStatuses) {
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT NOSUCH", "201"},
      {"SELECT", "203"},
      {"SELECT CUST WITH NOSUCH = 1", "202"},
      {"SELECT CUST WITH JUNK = 1", "202"},  // not an attribute-defining item
      {"SELECT CUST WITH A1 =", "203"},
      {"SELECT CUST BY", "203"},
      {"COUNT CUST WITH", "203"},
      {"SELECT CUST FOO", "203"},
  };
  for (const auto& [command, number] : cases) {
    TclReply t = tcl(command);
    EXPECT_EQ(t.status, 0) << command;
    EXPECT_EQ(t.returned, number) << command;
    EXPECT_TRUE(t.captured.rfind(std::string("[") + number + "] ", 0) == 0) << t.captured;
  }
}

TEST_F(Tcl, ListPrintsOneLinePerItem) {
  TclReply all = tcl("LIST CUST \"101\" \"200\"");
  EXPECT_EQ(all.captured, joinMarks({"CUST       NAME       BALANCE", "101        Jones      9",
                                     "200        Brown      -5", "[405] 2 items listed."}));
  TclReply some = tcl("LIST CUST NAME A3 WITH BALANCE > 100 COL-HDR-SUPP");
  EXPECT_EQ(some.captured, joinMarks({"102        smithers   120", "[405] 1 items listed."}));
  EXPECT_EQ(some.returned, "405");
}

TEST_F(Tcl, CreatingFiles) {
  EXPECT_EQ(tcl("CREATE-FILE DICT CUST 3 (").returned, "413");
  EXPECT_EQ(tcl("CREATE-FILE DATA CUST,CUST 3 (").returned, "413");
  EXPECT_EQ(tcl("CREATE-FILE DATA INV 0 (").returned, "421");
  EXPECT_EQ(tcl("CREATE-FILE DATA INV x (").returned, "421");
  EXPECT_EQ(tcl("CREATE-FILE DATA").returned, "203");
  EXPECT_EQ(tcl("CREATE-FILE DICT A,B 3").returned, "414");
  // A data section without a dictionary brings its dictionary with it.
  EXPECT_EQ(tcl("CREATE-FILE DATA INV 3 (").returned, "417");
  EXPECT_EQ(run(req("O", {"DICT INV"})).status, 0);
  EXPECT_EQ(run(req("O", {"INV"})).status, 0);
  // Without a section word both are made; the MD lists the file with "D".
  EXPECT_EQ(tcl("CREATE-FILE ORDERS 5").returned, "417");
  EXPECT_EQ(run(req("O", {"DICT ORDERS"})).status, 0);
  std::string md = openFile("MD");
  EXPECT_EQ(run(req("R", {md, "ORDERS", "0"})).data, joinMarks({"D", "5"}));
  EXPECT_EQ(selected("SSELECT MD WITH A1 = D"), "CUST INV ORDERS");
  EXPECT_EQ(tcl("COUNT MD").captured, "Count: 3 items.");
}

TEST_F(Tcl, DeletingAndClearingFiles) {
  auto other = system_.open();
  std::string theirs = openFile("CUST", other.get());
  // Open elsewhere: only the forced delete goes through.
  EXPECT_EQ(tcl("DELETE-FILE CUST").returned, "419");
  EXPECT_EQ(run(req("R", {f_, "100", "1"})).data, "Smith");
  EXPECT_EQ(tcl("DELETE-FILE MD (u").returned, "416");
  EXPECT_EQ(tcl("DELETE-FILE NOSUCH").returned, "201");
  EXPECT_EQ(tcl("DELETE-FILE CUST (u").returned, "418");
  EXPECT_EQ(run(req("O", {"CUST"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("O", {"DICT CUST"})).status, status::kFileNotPresent);
  std::string md = openFile("MD");
  EXPECT_EQ(run(req("R", {md, "CUST", "0"})).status, status::kItemMissing);
  // A handle left on the deleted file can neither read nor write anything back into life.
  EXPECT_EQ(run(req("W", {theirs, "1", "x"}), other.get()).status, status::kFileNotPresent);
  ASSERT_EQ(tcl("CREATE-FILE CUST 3").returned, "417");
  EXPECT_EQ(run(req("R", {theirs, "1", "0"}), other.get()).status, status::kItemMissing);
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 0 items.");

  // A locked file cannot be deleted even with (u; one section can go alone.
  ASSERT_EQ(tcl("CREATE-FILE DATA CUST,OLD 3").returned, "417");
  std::string f = openFile("CUST,OLD", other.get());
  ASSERT_EQ(run(req("F", {f}), other.get()).status, 0);
  EXPECT_EQ(tcl("DELETE-FILE CUST,OLD (u").returned, "419");
  ASSERT_EQ(run(req("f", {f}), other.get()).status, 0);
  other.reset();
  EXPECT_EQ(tcl("DELETE-FILE CUST,OLD").returned, "418");
  EXPECT_EQ(run(req("O", {"CUST,OLD"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("O", {"CUST"})).status, 0);

  // CLEAR-FILE empties one section only.
  std::string data = openFile("CUST"), dict = openFile("DICT CUST");
  ASSERT_EQ(run(req("W", {data, "1", "x"})).status, 0);
  ASSERT_EQ(run(req("W", {dict, "1", "x"})).status, 0);
  EXPECT_EQ(tcl("CLEAR-FILE DICT CUST").returned, "420");
  EXPECT_EQ(run(req("R", {dict, "1", "0"})).status, status::kItemMissing);
  EXPECT_EQ(run(req("R", {data, "1", "0"})).data, "x");
  EXPECT_EQ(tcl("CLEAR-FILE CUST").returned, "420");
  EXPECT_EQ(run(req("R", {data, "1", "0"})).status, status::kItemMissing);
  EXPECT_EQ(tcl("CLEAR-FILE NOSUCH").returned, "201");
}

TEST_F(Tcl, DeleteFileBySectionWordAndAfterTheLastClose) {
  ASSERT_EQ(tcl("CREATE-FILE T 1").returned, "417");
  ASSERT_EQ(tcl("CREATE-FILE DATA T,OLD 1").returned, "417");
  // DATA takes the data sections and leaves the dictionary.
  EXPECT_EQ(tcl("DELETE-FILE DATA T").returned, "418");
  EXPECT_EQ(run(req("O", {"T"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("O", {"T,OLD"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("O", {"DICT T"})).status, 0);
  // DICT takes the whole file, MD entry included.
  ASSERT_EQ(tcl("CREATE-FILE DATA T 1").returned, "417");
  EXPECT_EQ(tcl("DELETE-FILE DICT T").returned, "418");
  EXPECT_EQ(run(req("O", {"DICT T"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("O", {"T"})).status, status::kFileNotPresent);
  EXPECT_EQ(run(req("R", {openFile("MD"), "T", "0"})).status, status::kItemMissing);

  // A file open on another port is in use until that port closes its last handle on it.
  auto other = system_.open();
  const std::string first = openFile("CUST", other.get());
  const std::string second = openFile("CUST", other.get());
  ASSERT_EQ(run(req("C", {first}), other.get()).status, 0);
  EXPECT_EQ(tcl("DELETE-FILE CUST").returned, "419");
  ASSERT_EQ(run(req("C", {second}), other.get()).status, 0);
  EXPECT_EQ(tcl("DELETE-FILE CUST").returned, "418");
}

TEST_F(Tcl, TheMasterDictionaryCannotBeMadeAgain) {
  for (const char* command : {"CREATE-FILE MD 1", "CREATE-FILE DATA MD 1", "CREATE-FILE DICT MD 1",
                              "CREATE-FILE DATA MD,MD 1", "CREATE-FILE md 1"})
    EXPECT_NE(tcl(command).returned, "417") << command;
  EXPECT_EQ(tcl("COUNT MD").captured, "Count: 1 items.");
}

TEST_F(Tcl, AccountsAndStackedCommands) {
  EXPECT_EQ(tcl("LOGTO NOWHERE").returned, "210");
  EXPECT_EQ(run(req("Z", {"33"})).data, "SALES");
  EXPECT_EQ(tcl("CREATE-ACCOUNT acme").returned, "213");
  EXPECT_EQ(tcl("CREATE-ACCOUNT ACME").returned, "214");
  EXPECT_EQ(tcl("CREATE-ACCOUNT ../x").returned, "215");

  // The stacked lines run as commands, in order, with one reply for all of them.
  TclReply t = tclOn(*port_, {"LOGTO DM", "UPDATE-MD ACME (n", "LOGTO SALES"});
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.returned, joinMarks({"211", "212", "211"}));
  EXPECT_EQ(run(req("Z", {"33"})).data, "SALES");
  std::string acmeMd = openFile("ACME,,");
  EXPECT_EQ(run(req("R", {acmeMd, "COUNT", "0"})).data, joinMarks({"V", "COUNT"}));
  // (n keeps entries that are there; without it they are written afresh.
  ASSERT_EQ(run(req("W", {acmeMd, "COUNT", joinMarks({"V", "ESTIMATE-COUNT"})})).status, 0);
  EXPECT_EQ(tcl("UPDATE-MD ACME (n").captured, "[212] 0 verbs updated in account ACME.");
  ASSERT_EQ(tcl("LOGTO ACME").returned, "211");
  // A verb entry may name another verb; the built-in verbs come first.
  ASSERT_EQ(tcl("CREATE-FILE X 1").returned, "417");
  EXPECT_EQ(tcl("COUNT X").captured, "Count: 0 items.");
  std::string md = openFile("MD");
  ASSERT_EQ(run(req("W", {md, "HOWMANY", joinMarks({"V", "ESTIMATE-COUNT"})})).status, 0);
  ASSERT_EQ(run(req("W", {md, "NOTAVERB", joinMarks({"D", "1"})})).status, 0);
  EXPECT_EQ(tcl("NOTAVERB X").status, status::kInvalidCall);
  EXPECT_EQ(tcl("HOWMANY X").captured, "0");
  EXPECT_EQ(tcl("howmany X").captured, "0");
  EXPECT_EQ(tcl("UPDATE-MD ACME").captured, "[212] " + std::to_string(tcl::builtInVerbs().size()) +
                                                " verbs updated in account ACME.");
  // Files opened before a LOGTO stay with their account.
  EXPECT_EQ(run(req("R", {f_, "100", "1"})).data, "Smith");
  EXPECT_EQ(run(req("O", {"CUST"})).status, status::kFileNotPresent);
}

TEST_F(Tcl, UnknownVerbsAndEmptyCommands) {
  TclReply bad = tcl("FROBNICATE CUST");
  EXPECT_EQ(bad.status, status::kInvalidCall);
  TclReply later = tclOn(*port_, {"COUNT CUST", "NOPE", "WHO"});
  EXPECT_EQ(later.status, status::kInvalidCall);
  EXPECT_EQ(later.captured, "Count: 4 items.");  // what ran before the bad verb is kept
  TclReply empty = tcl("");
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.captured, "");
  EXPECT_EQ(empty.returned, "");
  EXPECT_EQ(tclOn(*port_, {"  ", ""}).status, 0);
}

TEST_F(Tcl, CaseAndNumberFormatCommands) {
  EXPECT_EQ(tcl("CASE").returned, "431");
  EXPECT_EQ(tcl("CASE").captured, "[431] Case sensitivity is off.");
  ASSERT_EQ(tcl("case (N").status, 0);
  EXPECT_EQ(tcl("CASE").captured, "[431] Case sensitivity is on.");
  // A blank is a valid grouping character: the argument is taken as sent.
  ASSERT_EQ(tcl("SET-NUM-FORMAT / /").status, 0);
  EXPECT_EQ(run(req("1", {"MD2,", "123456"})).data, "1 234.56");
}

TEST(CommandWords, QuotesAndOptions) {
  tcl::CommandLine c = tcl::splitCommand("CUST  \"a b\" 'c' \\d e\\ WITH X (Su)");
  ASSERT_EQ(c.words.size(), 6u);
  EXPECT_EQ(c.words[1].text, "a b");
  EXPECT_TRUE(c.words[1].quoted);
  EXPECT_EQ(c.words[2].text, "c");
  EXPECT_EQ(c.words[3].text, "d e");
  EXPECT_FALSE(c.words[4].quoted);
  EXPECT_EQ(c.options, "SU");
  EXPECT_EQ(tcl::splitCommand("X \"unterminated").words.back().text, "unterminated");
  EXPECT_EQ(tcl::splitCommand("(n").options, "N");
}

}  // namespace
}  // namespace tarn::server::testing
