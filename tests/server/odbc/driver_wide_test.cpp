// The wide entry points: UTF-16 through the connection's code page (Windows-1252 unless it says
// Encoding=UTF-8), so a Unicode client writes and
// reads marks as U+00FB..U+00FF and a character the page lacks arrives as "?".
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <string>
#include <vector>

#include "tests/server/odbc/odbc_fixture.h"

namespace tarn::testing {
namespace {

std::vector<SQLWCHAR> wide(std::u16string_view s) {
  return {s.begin(), s.end()};
}

std::u16string narrowToU16(const SQLWCHAR* p, std::size_t n) {
  return std::u16string(p, p + n);
}

SQLRETURN execW(SQLHSTMT stmt, std::u16string_view text) {
  SQLFreeStmt(stmt, SQL_CLOSE);
  std::vector<SQLWCHAR> w = wide(text);
  return SQLExecDirectW(stmt, w.data(), static_cast<SQLINTEGER>(w.size()));
}

std::u16string fetchWide(SQLHSTMT stmt) {
  EXPECT_EQ(SQLFetch(stmt), SQL_SUCCESS);
  SQLWCHAR buffer[512];
  SQLLEN bytes = 0;
  EXPECT_EQ(SQLGetData(stmt, 1, SQL_C_WCHAR, buffer, sizeof buffer, &bytes), SQL_SUCCESS);
  return narrowToU16(buffer, static_cast<std::size_t>(bytes) / sizeof(SQLWCHAR));
}

TEST(DriverWide, MarksAreCharactersForUnicodeClients) {
  Odbc3Connection c("DSN=TarnTest;", /*wide=*/true);
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  ASSERT_EQ(execW(c.stmt(), u".-O\u00FEMD"), SQL_SUCCESS);
  const std::u16string open = fetchWide(c.stmt());
  ASSERT_EQ(open.substr(0, 5), u"0000 ");
  const std::u16string md = open.substr(5);

  const std::u16string body = u"x\u00FDy\u00FEz\u20AC\u0100";
  ASSERT_EQ(execW(c.stmt(), u".-W\u00FE" + md + u"\u00FEDRV.WIDE\u00FE" + body), SQL_SUCCESS);
  EXPECT_EQ(fetchWide(c.stmt()).substr(0, 4), u"0000");
  ASSERT_EQ(execW(c.stmt(), u".-R\u00FE" + md + u"\u00FEDRV.WIDE\u00FE0"), SQL_SUCCESS);
  EXPECT_EQ(fetchWide(c.stmt()), u"0000 x\u00FDy\u00FEz\u20AC?");

  // The ANSI side sees the same item as single bytes.
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS);
  const std::string ansiMd = s.cmd(".-" + request({"O", "MD"})).substr(5);
  EXPECT_EQ(s.cmd(".-" + request({"R", ansiMd, "DRV.WIDE", "0"})), "0000 x\xFDy\xFEz\x80?");
}

// On a UTF-8 connection the wide entry points lose nothing, a value cut by a small buffer is
// cut between characters, and a lone surrogate is refused.
TEST(DriverWide, Utf8ConnectionsCarryEveryCharacter) {
  Odbc3Connection c("DSN=TarnTest;Encoding=UTF-8", /*wide=*/true);
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  ASSERT_EQ(execW(c.stmt(), u".-O\u00FEMD"), SQL_SUCCESS);
  const std::u16string md = fetchWide(c.stmt()).substr(5);
  const std::u16string body = u"x\u00FDy\u4E2D\U0001F600\u0100";
  ASSERT_EQ(execW(c.stmt(), u".-W\u00FE" + md + u"\u00FEDRV.UTF8\u00FE" + body), SQL_SUCCESS);
  EXPECT_EQ(fetchWide(c.stmt()).substr(0, 4), u"0000");
  ASSERT_EQ(execW(c.stmt(), u".-R\u00FE" + md + u"\u00FEDRV.UTF8\u00FE0"), SQL_SUCCESS);
  EXPECT_EQ(fetchWide(c.stmt()), u"0000 " + body);

  // Eleven units of room (ten and the terminator) would split the surrogate pair: it waits.
  ASSERT_EQ(execW(c.stmt(), u".-R\u00FE" + md + u"\u00FEDRV.UTF8\u00FE0"), SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(c.stmt()), SQL_SUCCESS);
  SQLWCHAR part[11];
  SQLLEN bytes = 0;
  EXPECT_EQ(SQLGetData(c.stmt(), 1, SQL_C_WCHAR, part, sizeof part, &bytes), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(bytes, static_cast<SQLLEN>((5 + body.size()) * 2));
  EXPECT_EQ(narrowToU16(part, 8), u"0000 x\u00FDy");
  EXPECT_EQ(part[8], u'\u4E2D');
  EXPECT_EQ(SQLGetData(c.stmt(), 1, SQL_C_WCHAR, part, sizeof part, &bytes), SQL_SUCCESS);
  EXPECT_EQ(narrowToU16(part, 3), u"\U0001F600\u0100");

  const std::u16string lone(u"x\xD800", 2);
  EXPECT_EQ(execW(c.stmt(), u".-R\u00FE" + md + u"\u00FE" + lone), SQL_ERROR);
}

TEST(DriverWide, DescriptionsAndDiagnosticsInUtf16) {
  Odbc3Connection c("DSN=TarnTest;", /*wide=*/true);
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  ASSERT_EQ(execW(c.stmt(),
                  u".Z\u00FE"
                  u"22"),
            SQL_SUCCESS);

  SQLWCHAR name[16];
  SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
  SQLULEN size = 0;
  ASSERT_EQ(SQLDescribeColW(c.stmt(), 2, name, 16, &nameLength, &type, &size, &digits, &nullable),
            SQL_SUCCESS);
  EXPECT_EQ(narrowToU16(name, static_cast<std::size_t>(nameLength)), u"DATA");
  EXPECT_EQ(type, SQL_WVARCHAR);  // so that Unicode clients ask for SQL_C_WCHAR

  SQLWCHAR label[16];
  SQLSMALLINT labelBytes = 0;
  ASSERT_EQ(SQLColAttributeW(c.stmt(), 1, SQL_DESC_NAME, label, sizeof label, &labelBytes, nullptr),
            SQL_SUCCESS);
  EXPECT_EQ(labelBytes, 12);  // counted in bytes
  EXPECT_EQ(narrowToU16(label, 6), u"STATUS");

  SQLWCHAR dbms[16];
  SQLSMALLINT dbmsBytes = 0;
  ASSERT_EQ(SQLGetInfoW(c.dbc(), SQL_DBMS_NAME, dbms, sizeof dbms, &dbmsBytes), SQL_SUCCESS);
  EXPECT_EQ(narrowToU16(dbms, static_cast<std::size_t>(dbmsBytes) / 2), u"Tarn");

  EXPECT_EQ(execW(c.stmt(), u"select \u00FE"), SQL_ERROR);
  SQLWCHAR state[6];
  SQLINTEGER native = 0;
  SQLWCHAR message[256];
  SQLSMALLINT messageLength = 0;
  ASSERT_EQ(
      SQLGetDiagRecW(SQL_HANDLE_STMT, c.stmt(), 1, state, &native, message, 256, &messageLength),
      SQL_SUCCESS);
  EXPECT_EQ(narrowToU16(state, 5), u"42000");
  EXPECT_NE(narrowToU16(message, static_cast<std::size_t>(messageLength)).find(u"select \u00FE"),
            std::u16string::npos);
}

TEST(DriverWide, WideDataInPieces) {
  Odbc3Connection c("DSN=TarnTest;", /*wide=*/true);
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  ASSERT_EQ(execW(c.stmt(),
                  u".-Z\u00FE"
                  u"22"),
            SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(c.stmt()), SQL_SUCCESS);
  std::u16string all;
  SQLWCHAR piece[3];  // two characters and the terminator
  SQLLEN bytes = 0;
  SQLRETURN rc;
  while ((rc = SQLGetData(c.stmt(), 1, SQL_C_WCHAR, piece, sizeof piece, &bytes)) ==
         SQL_SUCCESS_WITH_INFO) {
    EXPECT_GT(bytes, 4);
    all += narrowToU16(piece, 2);
  }
  ASSERT_EQ(rc, SQL_SUCCESS);
  all += narrowToU16(piece, static_cast<std::size_t>(bytes) / 2);
  EXPECT_EQ(all.substr(0, 5), u"0000 ");
  EXPECT_GT(all.size(), 5u);
  EXPECT_EQ(SQLGetData(c.stmt(), 1, SQL_C_WCHAR, piece, sizeof piece, &bytes), SQL_NO_DATA);
}

}  // namespace
}  // namespace tarn::testing
