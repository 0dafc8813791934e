// Requests through the real unixODBC as the class library sends them: reply shape and length,
// marks as bytes, the DAO shape, replies read in pieces, prepared requests, bad statements, and
// several connections on several threads.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <latch>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/odbc/odbc_fixture.h"

namespace tarn::testing {
namespace {

std::string api(std::initializer_list<std::string_view> parts) {
  return ".-" + request(parts);
}

// Opens MD on the session and returns its file number.
std::string openMd(LibrarySession& s) {
  std::string reply = s.cmd(api({"O", "MD"}));
  EXPECT_EQ(reply.substr(0, 5), "0000 ") << reply;
  return reply.size() > 5 ? reply.substr(5) : "";
}

std::string getChar(SQLHSTMT stmt, SQLUSMALLINT column) {
  char buffer[1024];
  SQLLEN n = 0;
  EXPECT_EQ(SQLGetData(stmt, column, SQL_C_CHAR, buffer, sizeof buffer, &n), SQL_SUCCESS);
  return std::string(buffer, static_cast<std::size_t>(std::max<SQLLEN>(n, 0)));
}

TEST(DriverRequest, ReplyIsStatusBlankDataWithItsExactLength) {
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS) << s.state();
  const std::string port = s.cmd(api({"Z", "22"}));
  EXPECT_TRUE(std::regex_match(port, std::regex("0000 [0-9]+"))) << port;
  EXPECT_EQ(s.lastColumnLength(), static_cast<SQLLEN>(port.size()));
  // An operation the engine does not know is a status, not a driver error.
  const std::string unknown = s.cmd(".-?");
  EXPECT_EQ(s.lastExec(), SQL_SUCCESS);
  EXPECT_EQ(unknown.substr(0, 5), "0006 ");
  // The same statement handle serves request after request.
  EXPECT_EQ(s.cmd(api({"Z", "22"})), port);
}

// On a UTF-8 connection U+00FB..U+00FF belong to the marks: written as two-byte text they would
// read back as marks everywhere else, so the driver refuses them, and the same id with another
// accented letter goes through.
TEST(DriverRequest, Utf8ConnectionsRefuseTheMarkCodePointsAsText) {
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;Encoding=UTF-8"), SQL_SUCCESS) << s.state();
  const std::string md = openMd(s);
  EXPECT_EQ(s.cmd(api({"W", md, "X\xC3\xBAY", "ok"})).substr(0, 4), "0000");  // U+00FA
  for (unsigned char second = 0xBB; second <= 0xBF; ++second) {
    const std::string id = std::string("X\xC3") + static_cast<char>(second) + "Y";
    SCOPED_TRACE(static_cast<int>(second));
    (void)s.cmd(api({"W", md, id, "body"}));
    EXPECT_EQ(s.lastExec(), SQL_ERROR);
    EXPECT_EQ(diagState(SQL_HANDLE_STMT, s.stmt()), "22005");  // 22018 as ODBC 2.x names it
    (void)s.cmd(
        api({"W", md, "plain", std::string("in a body too: \xC3") + static_cast<char>(second)}));
    EXPECT_EQ(diagState(SQL_HANDLE_STMT, s.stmt()), "22005");  // 22018 as ODBC 2.x names it
  }
  EXPECT_EQ(s.cmd(api({"R", md, "X\xC3\xBAY", "0"})), "0000 ok");
}

TEST(DriverRequest, MarksTravelAsSingleBytesBothWays) {
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS) << s.state();
  const std::string md = openMd(s);
  const std::string body =
      "a\xFD"
      "b\xFC"
      "c\xFEline two\xFE\xE9t\xE9";
  EXPECT_EQ(s.cmd(api({"W", md, "DRV.MARKS", body})).substr(0, 4), "0000");
  const std::string reply = s.cmd(api({"R", md, "DRV.MARKS", "0"}));
  EXPECT_EQ(reply, "0000 " + body);
  EXPECT_EQ(s.lastColumnLength(), static_cast<SQLLEN>(5 + body.size()));
  EXPECT_EQ(s.cmd(api({"R", md, "DRV.NO.SUCH.ITEM", "0"})).substr(0, 4), "0002");
}

TEST(DriverRequest, DaoShapeIsStatusThenData) {
  Odbc3Connection c("DSN=TarnTest;");
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  ASSERT_EQ(
      SQLExecDirect(c.stmt(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(".O\xFEMD")), SQL_NTS),
      SQL_SUCCESS);
  SQLSMALLINT columns = 0;
  EXPECT_EQ(SQLNumResultCols(c.stmt(), &columns), SQL_SUCCESS);
  EXPECT_EQ(columns, 2);
  ASSERT_EQ(SQLFetch(c.stmt()), SQL_SUCCESS);
  EXPECT_EQ(getChar(c.stmt(), 1), "0000");
  const std::string md = getChar(c.stmt(), 2);
  EXPECT_TRUE(std::regex_match(md, std::regex("[0-9]+"))) << md;
  EXPECT_EQ(SQLFetch(c.stmt()), SQL_NO_DATA);
  SQLCloseCursor(c.stmt());

  const std::string body = "x\xFEy\xFDz";
  std::string write = "." + request({"W", md, "DRV.DAO", body});
  ASSERT_EQ(SQLExecDirect(c.stmt(), reinterpret_cast<SQLCHAR*>(write.data()),
                          static_cast<SQLINTEGER>(write.size())),
            SQL_SUCCESS);
  SQLFreeStmt(c.stmt(), SQL_CLOSE);
  std::string read = "." + request({"R", md, "DRV.DAO", "0"});
  ASSERT_EQ(SQLExecDirect(c.stmt(), reinterpret_cast<SQLCHAR*>(read.data()),
                          static_cast<SQLINTEGER>(read.size())),
            SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(c.stmt()), SQL_SUCCESS);
  SQLLEN octets = 0;
  EXPECT_EQ(SQLColAttribute(c.stmt(), 2, SQL_DESC_OCTET_LENGTH, nullptr, 0, nullptr, &octets),
            SQL_SUCCESS);
  EXPECT_EQ(octets, static_cast<SQLLEN>(body.size()));
  SQLCHAR name[16];
  SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
  SQLULEN size = 0;
  EXPECT_EQ(
      SQLDescribeCol(c.stmt(), 1, name, sizeof name, &nameLength, &type, &size, &digits, &nullable),
      SQL_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(name), "STATUS");
  EXPECT_EQ(type, SQL_VARCHAR);
  EXPECT_EQ(size, 4u);
  // The status column also reads as a number.
  SQLINTEGER status = -1;
  EXPECT_EQ(SQLGetData(c.stmt(), 1, SQL_C_SLONG, &status, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(getChar(c.stmt(), 2), body);
}

// Reads column 1 in buffers of the given size; checks each short piece warns with 01004 and
// reports what is left.
std::string readInPieces(SQLHSTMT stmt, SQLSMALLINT cType, SQLLEN bufferSize, SQLLEN total) {
  std::string all;
  std::vector<char> buffer(static_cast<std::size_t>(bufferSize));
  const SQLLEN terminator = cType == SQL_C_CHAR ? 1 : 0;
  for (int guard = 0; guard < 1000; ++guard) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt, 1, cType, buffer.data(), bufferSize, &indicator);
    if (rc == SQL_NO_DATA) return all;
    EXPECT_EQ(indicator, total - static_cast<SQLLEN>(all.size()));
    if (rc == SQL_SUCCESS_WITH_INFO) {
      EXPECT_EQ(diagState(SQL_HANDLE_STMT, stmt), "01004");
      all.append(buffer.data(), static_cast<std::size_t>(bufferSize - terminator));
    } else {
      EXPECT_EQ(rc, SQL_SUCCESS);
      all.append(buffer.data(), static_cast<std::size_t>(indicator));
    }
  }
  ADD_FAILURE() << "SQLGetData never reached SQL_NO_DATA";
  return all;
}

TEST(DriverRequest, GetDataInPiecesForSmallBuffers) {
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS) << s.state();
  const std::string md = openMd(s);
  std::string body;
  for (int i = 0; i < 200; ++i)
    body.push_back(i % 10 == 9 ? '\xFE' : static_cast<char>('a' + i % 26));
  ASSERT_EQ(s.cmd(api({"W", md, "DRV.PIECES", body})).substr(0, 4), "0000");
  const std::string whole = "0000 " + body;
  const std::string read = api({"R", md, "DRV.PIECES", "0"});

  for (SQLSMALLINT cType : {SQL_C_CHAR, SQL_C_BINARY}) {
    SQLFreeStmt(s.stmt(), SQL_CLOSE);
    ASSERT_EQ(SQLExecDirect(s.stmt(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(read.data())),
                            static_cast<SQLINTEGER>(read.size())),
              SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(s.stmt()), SQL_SUCCESS);
    EXPECT_EQ(readInPieces(s.stmt(), cType, 16, static_cast<SQLLEN>(whole.size())), whole)
        << "C type " << cType;
  }
  // Moving to another column and back starts that column again.
  std::string dao = "." + request({"R", md, "DRV.PIECES", "0"});
  SQLFreeStmt(s.stmt(), SQL_CLOSE);
  ASSERT_EQ(SQLExecDirect(s.stmt(), reinterpret_cast<SQLCHAR*>(dao.data()), SQL_NTS), SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(s.stmt()), SQL_SUCCESS);
  char piece[11];
  SQLLEN n = 0;
  EXPECT_EQ(SQLGetData(s.stmt(), 2, SQL_C_CHAR, piece, sizeof piece, &n), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(getChar(s.stmt(), 1), "0000");
  EXPECT_EQ(getChar(s.stmt(), 2), body);
}

TEST(DriverRequest, PreparedRequestRunsAgainAndAgain) {
  Odbc3Connection c("DSN=TarnTest;");
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  std::string text = api({"Z", "22"});
  ASSERT_EQ(SQLPrepare(c.stmt(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS), SQL_SUCCESS);
  SQLSMALLINT columns = 0;
  EXPECT_EQ(SQLNumResultCols(c.stmt(), &columns), SQL_SUCCESS);
  EXPECT_EQ(columns, 1);
  std::string first;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(SQLExecute(c.stmt()), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(c.stmt()), SQL_SUCCESS);
    std::string reply = getChar(c.stmt(), 1);
    if (i == 0) first = reply;
    EXPECT_EQ(reply, first);
    EXPECT_TRUE(std::regex_match(reply, std::regex("0000 [0-9]+"))) << reply;
    EXPECT_EQ(SQLFetch(c.stmt()), SQL_NO_DATA);
    SQLLEN rows = 0;
    EXPECT_EQ(SQLRowCount(c.stmt(), &rows), SQL_SUCCESS);
    EXPECT_EQ(rows, 1);
    SQLFreeStmt(c.stmt(), SQL_CLOSE);
  }
}

TEST(DriverRequest, BadStatementsAndBadCallsGiveDiagnostics) {
  Odbc3Connection c("DSN=TarnTest;");
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  for (const char* bad : {"SELECT 1", "", "-.Z"}) {
    SQLRETURN rc =
        SQLExecDirect(c.stmt(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(bad)), SQL_NTS);
    if (*bad == '\0') {
      EXPECT_EQ(rc, SQL_ERROR);  // the driver manager refuses an empty text itself
      continue;
    }
    EXPECT_EQ(rc, SQL_ERROR) << bad;
    EXPECT_EQ(diagState(SQL_HANDLE_STMT, c.stmt()), "42000") << bad;
    EXPECT_EQ(SQLPrepare(c.stmt(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(bad)), SQL_NTS),
              SQL_ERROR);
  }
  ASSERT_EQ(SQLExecDirect(c.stmt(),
                          reinterpret_cast<SQLCHAR*>(const_cast<char*>(".-Z\xFE"
                                                                       "0")),
                          SQL_NTS),
            SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(c.stmt()), SQL_SUCCESS);
  char buffer[16];
  SQLLEN n = 0;
  EXPECT_EQ(SQLGetData(c.stmt(), 2, SQL_C_CHAR, buffer, sizeof buffer, &n), SQL_ERROR);
  EXPECT_EQ(diagState(SQL_HANDLE_STMT, c.stmt()), "07009");
  SQL_DATE_STRUCT date;
  EXPECT_EQ(SQLGetData(c.stmt(), 1, SQL_C_TYPE_DATE, &date, sizeof date, &n), SQL_ERROR);
  EXPECT_EQ(diagState(SQL_HANDLE_STMT, c.stmt()), "07006");
  SQLLEN value = 0;
  EXPECT_EQ(SQLColAttribute(c.stmt(), 1, 31999, nullptr, 0, nullptr, &value), SQL_ERROR);
  EXPECT_EQ(diagState(SQL_HANDLE_STMT, c.stmt()), "HY091");

  // The class library's ODBC 2.x session: a failed execute is reported through SQLError.
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS);
  EXPECT_EQ(s.cmd("SELECT 1"), "");
  EXPECT_EQ(s.lastExec(), SQL_ERROR);
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[256];
  SQLSMALLINT length = 0;
  EXPECT_EQ(SQLError(SQL_NULL_HENV, SQL_NULL_HDBC, s.stmt(), state, &native, message, 256, &length),
            SQL_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(state), "37000");  // 42000 as ODBC 2.x names it
}

TEST(DriverRequest, ConnectionsOnSeveralThreadsKeepTheirOwnPorts) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 30;
  std::vector<std::string> ports(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::string> states(kThreads);
  {
    // The system is made on first use; these threads test requests, not that first use.
    LibrarySession first;
    ASSERT_EQ(first.open("DSN=TarnTest;"), SQL_SUCCESS) << first.state();
  }
  std::vector<std::thread> threads;
  // Port numbers are unique among live ports: every session stays open until all have one.
  std::latch allOpen(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ports, &failures, &states, &allOpen] {
      LibrarySession s;
      const bool opened = s.open("DSN=TarnTest;") == SQL_SUCCESS;
      states[t] = s.state();
      if (opened) ports[t] = s.cmd(api({"Z", "22"}));
      allOpen.arrive_and_wait();
      if (!opened) {
        ++failures[t];
        return;
      }
      const std::string md = s.cmd(api({"O", "MD"})).substr(5);
      const std::string id = "DRV.THREAD." + std::to_string(t);
      for (int r = 0; r < kRounds; ++r) {
        const std::string body = std::to_string(t) + "\xFE" + std::to_string(r);
        if (s.cmd(api({"W", md, id, body})).substr(0, 4) != "0000") ++failures[t];
        if (s.cmd(api({"R", md, id, "0"})) != "0000 " + body) ++failures[t];
        if (s.cmd(api({"Z", "22"})) != ports[t]) ++failures[t];
      }
      if (s.close() != SQL_SUCCESS) ++failures[t];
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> distinct;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t << " connect state " << states[t];
    EXPECT_TRUE(std::regex_match(ports[t], std::regex("0000 [0-9]+"))) << ports[t];
    distinct.insert(ports[t]);
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace tarn::testing
