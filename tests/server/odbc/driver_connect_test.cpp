// Connecting through the real unixODBC: by DSN, by connection string, the failures a client
// sees, and handles that free cleanly.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/server/odbc/odbc_fixture.h"
#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

namespace tarn::testing {
namespace {

const std::regex kPortReply("0000 [0-9]+");

TEST(DriverConnect, ByDsnByConnectionStringAndBySqlConnect) {
  const DriverConfig& config = driverConfig();
  {
    LibrarySession s;
    ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS) << s.state();
    EXPECT_TRUE(std::regex_match(s.cmd(".-" + request({"Z", "22"})), kPortReply));
    EXPECT_EQ(s.close(), SQL_SUCCESS);
  }
  {
    // No DSN at all: the driver and the settings come from the string alone.
    LibrarySession s;
    ASSERT_EQ(s.open("DRIVER=Tarn;System=" + config.system + ";Account=DM"), SQL_SUCCESS)
        << s.state();
    EXPECT_TRUE(std::regex_match(s.cmd(".-" + request({"Z", "22"})), kPortReply));
  }
  {
    SQLHENV env;
    SQLHDBC dbc;
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), SQL_SUCCESS);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
    EXPECT_EQ(SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(const_cast<char*>("TarnTest")), SQL_NTS,
                         nullptr, 0, nullptr, 0),
              SQL_SUCCESS)
        << diagState(SQL_HANDLE_DBC, dbc);
    SQLCHAR name[64];
    SQLSMALLINT length = 0;
    EXPECT_EQ(SQLGetInfo(dbc, SQL_DATA_SOURCE_NAME, name, sizeof name, &length), SQL_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "TarnTest");
    EXPECT_EQ(SQLDisconnect(dbc), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
  }
}

TEST(DriverConnect, LimitsInTheConnectionStringReachTheEngine) {
  LibrarySession s;
  ASSERT_EQ(s.open("DSN=TarnTest;MaxStackedCommands=1;MaxItemSize=8"), SQL_SUCCESS) << s.state();
  EXPECT_EQ(s.cmd(".-" + request({"E", "WHO", "WHO", "WHO"})).substr(0, 4), "0040");
  EXPECT_EQ(s.cmd(".-" + request({"E", "WHO", "WHO"})).substr(0, 4), "0000");
  LibrarySession bad;
  EXPECT_NE(bad.open("DSN=TarnTest;MaxItemSize=lots"), SQL_SUCCESS);
  EXPECT_EQ(bad.state(), "08001");
}

TEST(DriverConnect, CompletedConnectionStringEchoesTheInputAndWarnsWhenCut) {
  Odbc3Connection c("DSN=TarnTest;");
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);

  SQLHENV env;
  SQLHDBC dbc;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  std::string in = "DSN=TarnTest;Account=DM;";
  SQLCHAR out[8];
  SQLSMALLINT outLength = 0;
  EXPECT_EQ(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS, out,
                             sizeof out, &outLength, SQL_DRIVER_NOPROMPT),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(diagState(SQL_HANDLE_DBC, dbc), "01004");
  EXPECT_EQ(outLength, static_cast<SQLSMALLINT>(in.size()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), in.substr(0, 7));
  EXPECT_EQ(SQLDisconnect(dbc), SQL_SUCCESS);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}

TEST(DriverConnect, EngineFailureGives08001AndFreesEverything) {
  (void)driverConfig();
  TempDir dir;
  // A system directory that cannot be made: its parent is a regular file. On PostgreSQL, a
  // server socket that is not there.
  const std::string blocker = dir.path() + "/plain-file";
  std::ofstream(blocker) << "x";
  const std::string system =
      onPostgres() ? "host=" + dir.path() + " port=1 dbname=none" : blocker + "/system";
  const std::string connect = "DRIVER=Tarn;System=" + system + ";Account=DM;CreateAccount=Yes;";

  // Read with SQLError, as the class library reads it; SQLGetDiagRec's reading is the next test's.
  LibrarySession s;
  EXPECT_EQ(s.open(connect), SQL_ERROR);
  EXPECT_EQ(s.state(), "08001");
  EXPECT_EQ(s.close(), SQL_SUCCESS);
}

// Every diagnostic of a failed connect, joined.
std::string diagnostics(SQLHDBC dbc) {
  std::string all;
  SQLCHAR state[6];
  SQLINTEGER native;
  SQLCHAR message[1024];
  SQLSMALLINT length;
  for (SQLSMALLINT i = 1; SQLGetDiagRec(SQL_HANDLE_DBC, dbc, i, state, &native, message,
                                        sizeof message, &length) == SQL_SUCCESS;
       ++i)
    all +=
        std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message) + "\n";
  return all;
}

TEST(DriverConnect, FailuresSayWhatToDoAndNeverShowAPassword) {
  (void)driverConfig();
  TempDir dir;
  struct Case {
    std::string connect;
    std::string secret;
    std::vector<std::string> says;
  };
  const std::string nowhere = "host=" + dir.path() + " port=1 dbname=none";
  const std::string blocker = dir.path() + "/plain-file";
  std::ofstream(blocker) << "x";
  const Case cases[] = {
      {"DRIVER=Tarn;System=" + (onPostgres() ? nowhere : blocker + "/system") +
           ";Account=DM;CreateAccount=Yes;PWD=Sekrit-0",
       "Sekrit-0",
       {"08001", "[tarnodbc]"}},
      {"DSN=TarnTest;Account=SALSE;CreateAccount=No;UID=u;PWD=Sekrit-1a",
       "Sekrit-1a",
       {"08001", "SALSE", "CreateAccount=Yes"}},
      {"DSN=TarnTest;Account=SALSE;CreateAccount=0;UID=u;PWD={Sek;rit-1b}",
       "rit-1b",
       {"08001", "SALSE"}},
      {"DRIVER=Tarn;System=" + dir.path() + "/typo;Account=DM;PWD=Sekrit-1c",
       "Sekrit-1c",
       {"08001", "No system in", "CreateAccount=Yes"}},
      {"DRIVER=Tarn;System={" + nowhere + " password=Sekrit-2a};CreateAccount=Yes",
       "Sekrit-2a",
       {"08001"}},
      {"DRIVER=Tarn;System=postgresql://me:Sekrit-3a@/none?host=" + dir.path() +
           "&port=1;CreateAccount=Yes",
       "Sekrit-3a",
       {"08001"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connect);
    Odbc3Connection conn(c.connect);
    EXPECT_EQ(conn.connectResult(), SQL_ERROR);
    const std::string said = diagnostics(conn.dbc());
    EXPECT_EQ(said.substr(0, 6), "08001 ") << said;  // the first record's state
    EXPECT_EQ(said.find(c.secret), std::string::npos) << said;
    for (const std::string& words : c.says) EXPECT_NE(said.find(words), std::string::npos) << said;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/typo"));
}

TEST(DriverConnect, EveryHandleFreesAndAConnectedHandleCannotBeFreed) {
  for (int round = 0; round < 3; ++round) {
    LibrarySession s;
    ASSERT_EQ(s.open("DSN=TarnTest;"), SQL_SUCCESS);
    EXPECT_EQ(s.cmd(".-" + request({"Z", "0"})).substr(0, 4), "0000");
    EXPECT_EQ(s.close(), SQL_SUCCESS) << "round " << round;
  }
  Odbc3Connection c("DSN=TarnTest;");
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, c.dbc()), SQL_ERROR);
  // Statements left open are the driver's to free at disconnect.
  SQLHSTMT extra;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, c.dbc(), &extra), SQL_SUCCESS);
}

TEST(DriverConnect, InfoFunctionsAndCatalogsAnswer) {
  Odbc3Connection c("DSN=TarnTest;");
  ASSERT_EQ(c.connectResult(), SQL_SUCCESS);
  SQLCHAR text[64];
  SQLSMALLINT length = 0;
  ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_DBMS_NAME, text, sizeof text, &length), SQL_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text), length), "Tarn");
  ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_DRIVER_ODBC_VER, text, sizeof text, &length), SQL_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "03.52");
  SQLUINTEGER extensions = 0;
  ASSERT_EQ(SQLGetInfo(c.dbc(), SQL_GETDATA_EXTENSIONS, &extensions, 0, nullptr), SQL_SUCCESS);
  EXPECT_TRUE(extensions & SQL_GD_ANY_COLUMN);
  EXPECT_EQ(SQLGetInfo(c.dbc(), 9999, text, sizeof text, &length), SQL_ERROR);
  EXPECT_EQ(diagState(SQL_HANDLE_DBC, c.dbc()), "HY096");

  SQLUSMALLINT supported = SQL_FALSE;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetFunctions(c.dbc(), SQL_API_SQLCOLATTRIBUTES, &supported)));
  EXPECT_EQ(supported, SQL_TRUE);

  ASSERT_EQ(SQLTables(c.stmt(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), SQL_SUCCESS);
  SQLSMALLINT columns = 0;
  EXPECT_EQ(SQLNumResultCols(c.stmt(), &columns), SQL_SUCCESS);
  EXPECT_EQ(columns, 5);
  EXPECT_EQ(SQLFetch(c.stmt()), SQL_NO_DATA);
  EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT), SQL_SUCCESS);
}

}  // namespace
}  // namespace tarn::testing
