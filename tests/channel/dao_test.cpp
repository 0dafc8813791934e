// DAO mode: the session over the pass-through layer, and the layer's own rules.
#include <sql.h>

#include <string>
#include <vector>

#include "tarn/channel/dao_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/frame/variant.h"
#include "tests/channel/channel_test_support.h"
#include "tests/support/scripted_driver.h"

namespace tarn {
namespace {

using channeltest::errorOf;

constexpr char16_t kSource[] = u"Tarn Class Library (ODBC Only) (ODBC) clsTarnODBC.";

class DaoTest : public channeltest::ScriptedTest {
 protected:
  DaoTest() : ScriptedTest(u"ODBC;") {}
  // Queues a row; nullptr entries are SQL NULLs.
  static void row(std::vector<const char*> columns) {
    std::vector<size_t> lengths;
    for (const char* c : columns) lengths.push_back(c ? std::string(c).size() : 0);
    scripted_queue_row(columns.size(), columns.data(), lengths.data());
  }
};

TEST_F(DaoTest, FifthDomainCharacterSelectsPassThrough) {
  {
    Ref<clsTarnODBC> s = open(u"Accounts", u"ODBC;");
    EXPECT_FALSE(s->rsApiMode());
    EXPECT_TRUE(s->rsConnected());
    Ref<clsTarnODBC> t = open(u"Accounts", u"ODBC;UID=clerk");
    EXPECT_FALSE(t->rsApiMode());
    Ref<clsTarnODBC> u = open(u"Accounts", u"ODBCX");
    EXPECT_TRUE(u->rsApiMode());
  }
  ASSERT_EQ(scripted_connect_count(), 3u);
  EXPECT_EQ(std::string(scripted_connect_string(0, nullptr)), "DSN=Accounts;");
  EXPECT_EQ(std::string(scripted_connect_string(1, nullptr)), "DSN=Accounts;UID=clerk");
  expectAllHandlesFreed();
}

TEST_F(DaoTest, StatusIsFieldZeroAndDataJoinsTheRest) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  scripted_reset();
  row({"0000", "ab", "c\xFE", nullptr, "d"});
  String request = u"R\u00FE1\u00FEitem";
  s->rsCmd(request);
  EXPECT_EQ(request, u"abc\u00FEd");
  size_t n = 0;
  const char* sent = scripted_statement(0, &n);
  EXPECT_EQ(std::string(sent, n),
            ".R\xFE"
            "1\xFEitem");

  row({"0002", "partial"});
  request = u"R\u00FE1\u00FEgone";
  const TarnError e = errorOf([&] { s->rsCmd(request); });
  EXPECT_EQ(e.number(), err::kItemMissing);
  EXPECT_EQ(request, u"partial");

  row({"0036"});
  request = u"n\u00FE2";
  Variant status;
  s->rsCmd(request, status);
  EXPECT_EQ(status, Variant(u"0036"));
  EXPECT_EQ(request, u"");

  // Long fields arrive whole although the layer reads them in pieces.
  const std::string big(10000, 'x');
  row({"0000", big.c_str()});
  request = u"A";
  s->rsCmd(request);
  EXPECT_EQ(request.size(), big.size());
}

TEST_F(DaoTest, FailuresKeepTheirDaoNumbers) {
  scripted_next_connect(SQL_ERROR, "08001");
  TarnError e = errorOf([&] { (void)open(u"Accounts"); });
  EXPECT_EQ(e.number(), dao::daoerr::kConnectionFailed);
  EXPECT_EQ(e.source(), String(kSource) + u"rsOpen ODBC; Accounts");
  EXPECT_EQ(e.description(), u"");
  EXPECT_EQ(e.sqlState(), u"08001");  // what ODBC said travels with the DAO number
  expectAllHandlesFreed();

  Ref<clsTarnODBC> s = open(u"Accounts");
  scripted_next_execute(SQL_ERROR, "S1000");
  String request = u"R\u00FE1\u00FEx";
  e = errorOf([&] { s->rsCmd(request); });
  EXPECT_EQ(e.number(), dao::daoerr::kCallFailed);
  EXPECT_EQ(e.source(), String(kSource) + u"rsCmd R\u00FE1\u00FEx");
  EXPECT_EQ(e.sqlState(), u"S1000");

  scripted_queue_empty_result();  // no row: no current record
  request = u"A";
  e = errorOf([&] { s->rsCmd(request); });
  EXPECT_EQ(e.number(), dao::daoerr::kNoCurrentRecord);
  EXPECT_EQ(e.sqlState(), u"");  // the layer's own failure, not an ODBC call's
  row({nullptr, "x"});           // a NULL status cannot be a string
  EXPECT_EQ(errorOf([&] { s->rsCmd(request); }).number(), err::kInvalidUseOfNull);
  s.reset();
  expectAllHandlesFreed();
}

TEST_F(DaoTest, DirectOpenDatabaseReportsTheNameAndRejectsOtherConnects) {
  dao::Workspace& ws = dao::DBEngine::instance().workspace(0);
  scripted_next_connect(SQL_ERROR, "28000");
  TarnError e = errorOf([&] { (void)ws.openDatabase(u"Accounts", false, false, u"ODBC;"); });
  EXPECT_EQ(e.number(), dao::daoerr::kConnectionFailed);
  EXPECT_EQ(e.description(), u"ODBC--connection to 'Accounts' failed.");
  e = errorOf([&] { (void)ws.openDatabase(u"Accounts", false, false, u"dBASE IV;"); });
  EXPECT_EQ(e.number(), dao::daoerr::kInstallableIsam);
  EXPECT_EQ(errorOf([&] { (void)dao::DBEngine::instance().workspace(1); }).number(),
            dao::daoerr::kItemNotFound);

  auto db = ws.openDatabase(u"Accounts", false, false, u"odbc;");
  EXPECT_EQ(errorOf([&] { (void)db->openRecordset(u".A", dao::dbOpenDynaset, 0); }).number(),
            dao::daoerr::kInvalidArgument);
  db->close();
  EXPECT_EQ(errorOf([&] {
              (void)db->openRecordset(u".A", dao::dbOpenDynaset, dao::dbSQLPassThrough);
            }).number(),
            dao::daoerr::kCallFailed);
  expectAllHandlesFreed();
}

TEST(DaoConnectStringTest, NameAndConnectCombine) {
  struct Case {
    String name, connect, expected;
  };
  const Case cases[] = {
      {u"Accounts", u"ODBC;", u"DSN=Accounts;"},
      {u"Accounts", u"ODBC;UID=clerk;PWD=x", u"DSN=Accounts;UID=clerk;PWD=x"},
      {u"Ignored", u"ODBC;DSN=Other;UID=clerk", u"DSN=Other;UID=clerk"},
      {u"Ignored", u"odbc;driver=Scripted", u"driver=Scripted"},
      {u"DSN=Accounts;UID=clerk", u"ODBC;", u"DSN=Accounts;UID=clerk"},
      {u"dsn=Accounts", u"ODBC;PWD=x", u"dsn=Accounts;PWD=x"},
      {u"", u"ODBC;FILEDSN=Ledger", u"FILEDSN=Ledger"},
      // Blanks around a key do not hide it; the text goes on as written.
      {u"Ignored", u"ODBC; DSN = Other ;UID=clerk", u" DSN = Other ;UID=clerk"},
      {u"  dsn =Accounts", u"ODBC;PWD=x", u"  dsn =Accounts;PWD=x"},
      {u"Accounts", u"ODBC;UID =clerk; DSNX=y", u"DSN=Accounts;UID =clerk; DSNX=y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dao::Workspace::connectString(c.name, c.connect), c.expected);
  }
}

}  // namespace
}  // namespace tarn
