// The session under the real driver manager, with the scripted driver answering.
#include <sql.h>

#include <string>
#include <vector>

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/frame/variant.h"
#include "tests/channel/channel_test_support.h"
#include "tests/support/scripted_driver.h"

namespace tarn {
namespace {

using channeltest::errorOf;

constexpr char16_t kSource[] = u"Tarn Class Library (ODBC Only) (ODBC) clsTarnODBC.";

class SessionTest : public channeltest::ScriptedTest {
 protected:
  SessionTest() : ScriptedTest(u"ODBC") {}

  static std::vector<std::string> connectStrings() {
    std::vector<std::string> out;
    for (size_t i = 0; i < scripted_connect_count(); ++i) {
      size_t n = 0;
      const char* s = scripted_connect_string(i, &n);
      out.emplace_back(s, n);
    }
    return out;
  }

  static std::vector<std::string> statements() {
    std::vector<std::string> out;
    for (size_t i = 0; i < scripted_statement_count(); ++i) {
      size_t n = 0;
      const char* s = scripted_statement(i, &n);
      out.emplace_back(s, n);
    }
    return out;
  }

  static std::vector<std::string> calls() {
    std::vector<std::string> out;
    for (size_t i = 0; i < scripted_call_count(); ++i) out.emplace_back(scripted_call(i));
    return out;
  }

  static void reply(const std::string& bytes) { scripted_queue_reply(bytes.data(), bytes.size()); }
};

// ---- Opening ---------------------------------------------------------------------------------

TEST_F(SessionTest, ConnectStringsFollowTheDatabaseText) {
  {
    Ref<clsTarnODBC> s = open(u"Accounts");
    EXPECT_TRUE(s->rsConnected());
    EXPECT_TRUE(s->rsApiMode());
  }
  // The "DSN=" test ignores case, and the text goes to the driver manager as it is.
  { Ref<clsTarnODBC> s = open(u"dsn=Scripted;UID=clerk;PWD=secret"); }
  EXPECT_EQ(connectStrings(),
            (std::vector<std::string>{"DSN=Accounts;", "dsn=Scripted;UID=clerk;PWD=secret"}));
  // Every connect passes a 256-character output buffer and asks for no prompting.
  for (const std::string& c : calls()) {
    if (c.rfind("SQLDriverConnect", 0) == 0) {
      EXPECT_EQ(c, "SQLDriverConnect 256 0");
    }
  }
  expectAllHandlesFreed();
}

TEST_F(SessionTest, DataSourceNotFoundRetriesOnceAsFileDataSource) {
  // The driver manager itself does not know Ledger; the file data source names the driver.
  { Ref<clsTarnODBC> s = open(u"Ledger"); }
  ASSERT_EQ(connectStrings().size(), 1u);
  EXPECT_NE(connectStrings()[0].find("FROMFILE=Ledger"), std::string::npos);

  // The driver saying IM002 gets the same retry.
  scripted_reset();
  scripted_next_connect(SQL_ERROR, "IM002");
  { Ref<clsTarnODBC> s = open(u"Accounts"); }
  const std::vector<std::string> seen = connectStrings();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "DSN=Accounts;");
  EXPECT_NE(seen[1].find("FROMFILE=Accounts"), std::string::npos);

  // A failed retry reports its own state unless it is S1000. No retry for any other state, nor
  // for a database text that is already a "DSN=" string.
  const struct {
    const char16_t* database;
    const char* first;
    const char* second;  // nullptr: no retry
    std::int32_t expected;
  } cases[] = {
      {u"Accounts", "IM002", "S1000", err::kDriverManager},
      {u"Accounts", "IM002", "28000", err::kConnectRefused},
      {u"Accounts", "IM002", "08S01", err::kConnectFailed},
      {u"Accounts", "08001", nullptr, err::kConnectFailed},
      {u"DSN=Accounts;", "IM002", nullptr, err::kDriverManager},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " " + (c.second ? c.second : "-"));
    scripted_reset();
    scripted_next_connect(SQL_ERROR, c.first);
    if (c.second) scripted_next_connect(SQL_ERROR, c.second);
    EXPECT_EQ(openFails(c.database).number(), c.expected);
    EXPECT_EQ(scripted_connect_count(), c.second ? 2u : 1u);
  }
  expectAllHandlesFreed();
}

TEST_F(SessionTest, ConnectFailuresRaiseByStateAndFreeEveryHandle) {
  struct Case {
    short rc;
    const char* state;
    std::int32_t code;
  };
  const Case cases[] = {
      {SQL_ERROR, "08004", 1284},
      {SQL_ERROR, "28000", 1284},
      {SQL_ERROR, "08001", 1285},
      {SQL_ERROR, "08S01", 1285},
      {SQL_ERROR, "S1T00", 1286},
      {SQL_ERROR, "IM001", 1287},
      {SQL_ERROR, "IM006", 1287},
      {SQL_ERROR, "IM010", 1287},
      {SQL_ERROR, "IM012", 1287},
      {SQL_ERROR, "IM013", 1285},
      {SQL_ERROR, "im003", 1285},
      {SQL_ERROR, "42000", 1285},
      {SQL_ERROR, nullptr, 1285},
      // Success with information is failure too, and the code follows the state it carries.
      {SQL_SUCCESS_WITH_INFO, "01000", 1285},
      {SQL_SUCCESS_WITH_INFO, "28000", 1284},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state ? c.state : "(no state)");
    scripted_next_connect(c.rc, c.state);
    const TarnError e = openFails(u"DSN=Accounts");
    EXPECT_EQ(e.number(), libraryError(c.code));
    EXPECT_EQ(e.source(), kSource);  // the operation text is still empty
    EXPECT_EQ(e.description(), u"");
    expectAllHandlesFreed();
  }
}

TEST_F(SessionTest, FailedOpenLeavesTheSessionClosed) {
  Ref<clsTarnODBC> session = clsTarnODBC::create();
  scripted_next_connect(SQL_ERROR, "08001");
  EXPECT_EQ(errorOf([&] { session->rsInitialize(u"ODBC", u"DSN=Accounts"); }).number(),
            err::kConnectFailed);
  EXPECT_FALSE(session->rsConnected());
  String request = u"Z\u00FE0";
  const TarnError e = errorOf([&] { session->rsCmd(request); });
  EXPECT_EQ(e.number(), err::kInternal);
  EXPECT_EQ(scripted_statement_count(), 0u);
  expectAllHandlesFreed();
}

TEST_F(SessionTest, StatementAllocationFailureRaises1281AndDisconnects) {
  scripted_fail_next_alloc_stmt("S1001");
  const TarnError e = openFails(u"Accounts");
  EXPECT_EQ(e.number(), err::kInternal);
  EXPECT_EQ(e.sqlState(), u"S1001");
  const std::vector<std::string> c = calls();
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c.back(), "SQLDisconnect");
  expectAllHandlesFreed();
}

TEST_F(SessionTest, CommandBeforeInitializeRaises1281NamingTheRequest) {
  Ref<clsTarnODBC> session = clsTarnODBC::create();
  String request = u"R\u00FE3\u00FEitem";
  const TarnError e = errorOf([&] { session->rsCmd(request); });
  EXPECT_EQ(e.number(), err::kInternal);
  EXPECT_EQ(e.source(), String(kSource) + u"rsCmd R\u00FE3\u00FEitem");
  EXPECT_EQ(e.description(), u"Unidentified Internal Error");
  EXPECT_EQ(gLastError, err::kInternal);
}

TEST_F(SessionTest, TeardownFreesInOrder) {
  {
    Ref<clsTarnODBC> s = open(u"Accounts");
    scripted_reset();
  }
  EXPECT_EQ(calls(), (std::vector<std::string>{"SQLFreeStmt 1", "SQLDisconnect"}));
  expectAllHandlesFreed();
}

// ---- Requests --------------------------------------------------------------------------------

TEST_F(SessionTest, RequestTravelsPrefixedInTheWireCodePage) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  scripted_reset();
  reply("0000 ");
  reply("0000 ");
  reply("0000 ");
  String a = envelope::buildRequest(u'D', {3, u"100"});
  s->rsCmd(a);
  String b = envelope::buildRequest(u'S', {-1});
  s->rsCmd(b);
  // Marks, the euro sign and the undefined byte 0x81 have bytes; U+0100 and U+0080 do not.
  String c = u"W\u00FB\u00FC\u00FD\u00FE\u00FF\u20AC\u0081\u0100\u0080\u00E9";
  s->rsCmd(c);
  EXPECT_EQ(statements(),
            (std::vector<std::string>{".-D\xFE"
                                      "3\xFE"
                                      "100",
                                      ".-S\xFE-1", ".-W\xFB\xFC\xFD\xFE\xFF\x80\x81??\xE9"}));
}

// Encoding=UTF-8: marks travel as their single bytes, every other character as UTF-8, and the
// reply comes back the same way.
TEST_F(SessionTest, Utf8ConnectionsSendMarksAsBytesAndTextAsUtf8) {
  Ref<clsTarnODBC> s = open(u"DSN=Accounts;Encoding=UTF-8");
  scripted_reset();
  reply("0000 \xE4\xB8\xAD\xFE\xF0\x9F\x98\x80\xC3\xA9");
  String c = u"W\u00FE\u4E2D\u00FD\U0001F600\u00E9\u20AC";
  s->rsCmd(c);
  EXPECT_EQ(
      statements(),
      (std::vector<std::string>{".-W\xFE\xE4\xB8\xAD\xFD\xF0\x9F\x98\x80\xC3\xA9\xE2\x82\xAC"}));
  EXPECT_EQ(c, u"\u4E2D\u00FE\U0001F600\u00E9");
}

// Refusals name the character, the part of the request the caller passed it in and its position
// there (the caller never sees the request), and nothing reaches the driver.
TEST_F(SessionTest, UnsendableCharactersAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char16_t* database;
    String request;
    const char16_t* words;
  };
  const String am(1, u'\xFE');
  const Case cases[] = {
      {u"DSN=Accounts;Encoding=UTF-8", u"R" + am + u"3" + am + String(u"ab\xD800", 3) + am + u"0",
       u"U+D800 at position 3 of the item-id"},
      // An item's position counts across the marks it holds.
      {u"DSN=Accounts;Encoding=UTF-8",
       u"W" + am + u"3" + am + u"1" + am + u"x" + am + String(u"\xDC00\xD800", 2),
       u"U+DC00 at position 3 of the item"},
      {u"DSN=Accounts;Strict=Yes", u"E" + am + u"LIST \u00E9\u20AC\u4E2Dy",
       u"U+4E2D \"\u4E2D\" at position 8 of the command line"},
      {u"DSN=Accounts;Strict=Yes",
       u"M" + am + u"1" + am + u"2" + am + u"1" + am + u"a" + am + u"3" + am + u"a\U0001F600",
       u"U+1F600 \"\U0001F600\" at position 2 of argument 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.database));
    Ref<clsTarnODBC> s = open(c.database);
    scripted_reset();
    String request = c.request;
    const TarnError e = errorOf([&] { s->rsCmd(request); });
    EXPECT_EQ(e.number(), 5);
    EXPECT_NE(e.description().find(c.words), String::npos) << toUtf8(e.description());
    EXPECT_NE(e.description().find(u"nothing was sent"), String::npos);
    EXPECT_EQ(scripted_statement_count(), 0u);
  }
  // Without strictness the same text is sent with its stand-in.
  Ref<clsTarnODBC> s = open(u"DSN=Accounts");
  scripted_reset();
  reply("0000 ");
  String request = u"Wx\u4E2D";
  s->rsCmd(request);
  EXPECT_EQ(statements(), (std::vector<std::string>{".-Wx?"}));
}

// The library takes the encoding from the driver's completed string and refuses to go on when the
// driver settled on another than the one asked for.
TEST_F(SessionTest, EncodingMismatchIsRefusedAtConnect) {
  struct Case {
    const char16_t* database;
    const char* completed;
    bool refused;
  };
  const Case cases[] = {
      {u"DSN=Accounts;Encoding=UTF-8", "DSN=Accounts", true},
      {u"DSN=Accounts;Encoding=UTF-8", "DSN=Accounts;Encoding=Windows-1252", true},
      {u"DSN=Accounts;Encoding=Windows-1252", "DSN=Accounts;Encoding=UTF-8", true},
      {u"DSN=Accounts", "DSN=Accounts;Encoding=EBCDIC", true},
      {u"DSN=Accounts", "DSN=Accounts;Encoding=UTF-8", false},  // the data source chose it
      {u"DSN=Accounts;encoding=utf8", "DSN=Accounts;ENCODING={UTF-8}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.completed);
    scripted_reset();
    snapshot();
    scripted_next_completion(c.completed);
    if (!c.refused) {
      EXPECT_NO_THROW((void)open(c.database));
      continue;
    }
    const TarnError e = openFails(c.database);
    EXPECT_EQ(e.number(), err::kConnectFailed);
    EXPECT_NE(e.description().find(u"Encoding"), String::npos) << toUtf8(e.description());
    expectAllHandlesFreed();
  }
}

TEST_F(SessionTest, EachRequestIsOneCloseExecuteFetchLengthAndRead) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  scripted_reset();
  reply("0000 abc");
  String request = u"Z\u00FE12";
  s->rsCmd(request);
  EXPECT_EQ(calls(), (std::vector<std::string>{"SQLFreeStmt 0", "SQLExecDirect", "SQLFetch",
                                               "SQLColAttributes 1 3 0", "SQLGetData 1 1 9"}));
  // A large reply's cursor is closed once it is read, before it is decoded, and the data is whole.
  scripted_reset();
  const std::string data(1 << 20, 'x');
  reply("0000 " + data);
  request = u"R\u00FE1\u00FEBIG";
  s->rsCmd(request);
  EXPECT_EQ(request.size(), data.size());
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "SQLFreeStmt 0", "SQLExecDirect", "SQLFetch", "SQLColAttributes 1 3 0",
                         "SQLGetData 1 1 " + std::to_string(data.size() + 6), "SQLFreeStmt 0"}));
}

TEST_F(SessionTest, RepliesSplitIntoStatusAndData) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  struct Case {
    std::string reply;
    String data;
    std::int32_t error;  // 0: nothing raised
  };
  const Case cases[] = {
      {"0000 abc", u"abc", 0},
      {"0000 ", u"", 0},
      {"0000", u"", 0},
      {"0002 ", u"", err::kItemMissing},
      {"0036 A\xFE"
       "B\xFE"
       "C",
       u"A\u00FEB\u00FEC", err::kEndOfList},
      {"  15 x", u"x", serverStatusError(15)},
      {"abcd data", u"data", 0},  // a status that is not a number counts as 0
      {"12", u"", serverStatusError(12)},
      {"", u"", 0},
      {std::string("0000 a\0b", 8), String(u"a\0b", 3), 0},  // NULs inside a reply are data
      {"0000 \xFB\xFC\xFD\xFE\xFF\x80\x81", u"\u00FB\u00FC\u00FD\u00FE\u00FF\u20AC\u0081", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    reply(c.reply);
    String request = u"R\u00FE1\u00FEx";
    if (c.error == 0) {
      s->rsCmd(request);
    } else {
      const TarnError e = errorOf([&] { s->rsCmd(request); });
      EXPECT_EQ(e.number(), c.error);
      EXPECT_EQ(e.source(), kSource);
    }
    // The data has arrived even when the status raised.
    EXPECT_EQ(request, c.data);
  }
}

TEST_F(SessionTest, SuppliedStatusReceivesTheTextAndNothingRaises) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  reply("0036 x");
  String request = u"N\u00FE4";
  Variant status;
  s->rsCmd(request, status);
  EXPECT_EQ(status, Variant(u"0036"));
  EXPECT_EQ(request, u"x");

  // A missing argument is an omitted one: the status raises again.
  reply("0002 y");
  request = u"N\u00FE4";
  Variant omitted = Variant::missing();
  const TarnError e = errorOf([&] { s->rsCmd(request, omitted); });
  EXPECT_EQ(e.number(), err::kItemMissing);
  EXPECT_EQ(e.description(), u"Item is missing");
  EXPECT_EQ(request, u"y");
}

TEST_F(SessionTest, ExecutionFailureRaises1281) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  for (short rc : {short(SQL_ERROR), short(SQL_SUCCESS_WITH_INFO)}) {
    SCOPED_TRACE(rc);
    scripted_next_execute(rc, "S1000");
    String request = u"A";
    EXPECT_EQ(errorOf([&] { s->rsCmd(request); }).number(), err::kInternal);
  }
  // The session goes on working after a failed request.
  reply("0000 ok");
  String request = u"A";
  s->rsCmd(request);
  EXPECT_EQ(request, u"ok");
}

TEST_F(SessionTest, MalformedRepliesGiveDefinedOutcomes) {
  Ref<clsTarnODBC> s = open(u"Accounts");
  auto send = [&] {
    String request = u"A";
    s->rsCmd(request);
    return request;
  };
  // No row, or a NULL where the reply should be: there is no reply, so the request failed.
  scripted_queue_empty_result();
  EXPECT_EQ(errorOf(send).number(), err::kInternal);
  scripted_queue_null_reply();
  EXPECT_EQ(errorOf(send).number(), err::kInternal);

  // A length that claims less than the data: the reply is cut at the claimed length.
  reply("0000 abcdef");
  scripted_set_reported_length(7);
  EXPECT_EQ(send(), u"ab");
  // A length that claims more: the reply is what the driver actually returned.
  reply("0000 abcdef");
  scripted_set_reported_length(1 << 20);
  EXPECT_EQ(send(), u"abcdef");
  // A negative length is no length: nothing is read, and an empty reply is an empty success.
  reply("0002 abcdef");
  scripted_set_reported_length(-5);
  EXPECT_EQ(send(), u"");
  // A length that ends inside the reply's front: the status is what arrived, the data empty.
  reply("0012 abcdef");
  scripted_set_reported_length(4);
  EXPECT_EQ(errorOf(send).number(), serverStatusError(12));
}

// ---- The real driver manager with no scripted driver behind it -------------------------------

TEST_F(SessionTest, MissingDataSourceTriesTheFileDataSourceThenRaises1287) {
  const TarnError e = openFails(u"NoSuchSource");
  EXPECT_EQ(e.number(), err::kDriverManager);  // IM002 for both the DSN and the FILEDSN try
  EXPECT_EQ(e.description(), u"");
  // The driver manager's own words travel with the number.
  EXPECT_EQ(e.sqlState(), u"IM002");
  EXPECT_NE(e.diagnostic().find(u"Data source name not found"), String::npos)
      << toUtf8(e.diagnostic());
  EXPECT_NE(std::string(e.what()).find("[IM002] "), std::string::npos) << e.what();
  EXPECT_EQ(scripted_connect_count(), 0u);
  const std::string trace = channeltest::driverManagerTrace();
  const std::size_t first = trace.find("[DSN=NoSuchSource;]");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(trace.find("[FILEDSN=NoSuchSource;]", first), std::string::npos);
}

TEST_F(SessionTest, DriverLibraryThatCannotLoadRaises1285) {
  // unixODBC says 01000 ("Can't open lib"), which the table sends to 1285.
  EXPECT_EQ(openFails(u"Broken").number(), err::kConnectFailed);
  const TarnError e = openFails(u"DSN=Broken");
  EXPECT_EQ(e.number(), err::kConnectFailed);
  EXPECT_EQ(e.sqlState(), u"01000");
  EXPECT_NE(e.diagnostic().find(u"open lib"), String::npos) << toUtf8(e.diagnostic());
}

}  // namespace
}  // namespace tarn
