// Requests the engine must refuse without writing: marks where a request's fields cannot hold
// them, requests over the port's limits, storage failures, and odd files in a system directory.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "server/engine/session.h"
#include "server/engine/store/fault_store.h"
#include "server/engine/store/sqlite/sqlite_system.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

using Marks = EngineTest;

TEST_F(Marks, IdsAndNamesHoldingMarksAreRefusedAndNothingIsWritten) {
  std::string f = openFile("CUST");
  ASSERT_EQ(run(req("W", {f, "GUD", "kept"})).status, 0);
  const std::string withMarks[] = {
      "GUD\xFD"
      "7",
      "GUD\xFC", "\xFBGUD",
      "GU\xFF"
      "D"};
  for (const std::string& id : withMarks) {
    for (const std::string& request :
         {req("W", {f, id, "body"}), req("w", {f, id, "body"}), req("V", {f, id, "1", "x"}),
          req("R", {f, id, "0"}), req("r", {f, id}), req("D", {f, id}), req("U", {f, id}),
          req("O", {"CUST" + id})}) {
      EXPECT_EQ(run(request).status, status::kBadParameters) << request;
    }
  }
  // An attribute mark inside an id shows itself where the request has a fixed field count.
  EXPECT_EQ(run(req("D", {f, "GUD", "X"})).status, status::kBadParameters);
  EXPECT_EQ(run(req("U", {f, "GUD", "X"})).status, status::kBadParameters);
  EXPECT_EQ(run(req("R", {f, "GUD", "OR", "0"})).status, status::kBadParameters);
  EXPECT_EQ(run(req("R", {f, "GUD", "0"})).data, "kept");
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: 1 items.");
}

// A port whose limits are small enough that nothing big is built to meet them.
class Limited : public ::testing::Test {
 protected:
  void SetUp() override {
    Limits limits;
    limits.itemBytes = 100;
    limits.elementNumber = 50;
    limits.replyBytes = 300;
    limits.stackedCommands = 3;
    port_ = Port::open(system_.config(), limits);
    ASSERT_EQ(tclOn(*port_, {"CREATE-FILE CUST 7"}).status, 0);
    file_ = runOn(*port_, req("O", {"CUST"})).data;
  }
  Reply run(const std::string& request) { return runOn(*port_, request); }

  TempSystem system_;
  std::unique_ptr<Port> port_;
  std::string file_;
};

TEST_F(Limited, EachLimitRefusesWithStatusAndMessageAndThePortGoesOn) {
  const std::string f = file_;
  ASSERT_EQ(run(req("W", {f, "A", std::string(100, 'a')})).status, 0);
  ASSERT_EQ(run(req("W", {f, "B", std::string(60, 'b')})).status, 0);
  struct Case {
    std::string request;
    std::string message;  // what the reply's data starts with
  };
  const Case cases[] = {
      {req("W", {f, "A", std::string(101, 'x')}), "An item of 101 bytes"},
      {req("V", {f, "A", "51", "x"}), "Element number 51"},
      {req("R", {f, "A", "51"}), "Element number 51"},
      // Padding counts: attribute 45 of a 60-byte item needs 44 marks.
      {req("V", {f, "B", "45", "x"}), "An item of 105 bytes"},
      {req("V", {f, "A", "1", std::string(101, 'x')}), "An item of 101 bytes"},
  };
  for (const Case& c : cases) {
    Reply r = run(c.request);
    EXPECT_EQ(r.status, status::kOverLimit) << c.request;
    EXPECT_EQ(r.data.rfind(c.message, 0), 0u) << r.data;
  }
  EXPECT_EQ(run(req("R", {f, "A", "0"})).data, std::string(100, 'a'));
  EXPECT_EQ(run(req("R", {f, "B", "0"})).data, std::string(60, 'b'));
  // Attribute 40 of B fits exactly: 60 + 39 marks + 1.
  EXPECT_EQ(run(req("V", {f, "B", "40", "x"})).status, 0);
  ASSERT_EQ(run(req("W", {f, "C", std::string(100, 'c')})).status, 0);

  struct TclCase {
    std::string command;
    std::string stacked;
  };
  const TclCase commands[] = {
      {"LIST CUST A1", ""},                              // three items, over 300 bytes
      {"LIST CUST A1 \"A\" \"A\" \"A\"", ""},            // one item named again and again
      {"SELECT CUST WITH A51 = \"x\"", ""},              // an element number
      {"WHO", joinMarks({"WHO", "WHO", "WHO", "WHO"})},  // four stacked commands
  };
  for (const TclCase& c : commands) {
    std::string request = req("E", {c.command});
    if (!c.stacked.empty()) request += AM + c.stacked;
    TclReply t = parseTcl(port_->execute(request));
    EXPECT_EQ(t.status, status::kOverLimit) << c.command;
    EXPECT_EQ(t.returned.substr(t.returned.rfind(AM) + 1), "450") << c.command;
    EXPECT_LE(t.captured.size(), 400u);
  }
  TclReply ok = tclOn(*port_, {"LIST CUST A0", "WHO", "WHO"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.returned, "405");
  // A saved list is an item: over the item limit it is refused and stays active.
  for (char c : {'x', 'y', 'z'}) ASSERT_EQ(run(req("W", {f, std::string(40, c), "v"})).status, 0);
  TclReply saved = tclOn(*port_, {"SELECT CUST", "SAVE-LIST L"});
  EXPECT_EQ(saved.status, status::kOverLimit);
  EXPECT_EQ(saved.returned, joinMarks({"404", "450"}));
  EXPECT_EQ(tclOn(*port_, {"COUNT CUST"}).captured, "Count: 6 items.");
}

// A second port on the same system whose store fails as plan_ says.
class StorageFailures : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    faulty_ = std::make_unique<Session>(
        store::faultySystem(store::openSystem(system_.path()), plan_), "SALES");
    f_ = run(req("O", {"CUST"}), faulty_.get()).data;
  }
  std::shared_ptr<store::FaultPlan> plan_ = std::make_shared<store::FaultPlan>();
  std::unique_ptr<Session> faulty_;
  std::string f_;
};

TEST_F(StorageFailures, EachKindHasItsOwnStatusAndNothingIsWritten) {
  ASSERT_EQ(run(req("W", {f_, "kept", "x"}), faulty_.get()).status, 0);
  const struct {
    store::StoreFailure kind;
    int status;
  } cases[] = {
      {store::StoreFailure::kFull, status::kDiskFull},
      {store::StoreFailure::kReadOnly, status::kReadOnly},
      {store::StoreFailure::kCorrupt, status::kCorrupt},
      {store::StoreFailure::kBusy, status::kBusy},
      {store::StoreFailure::kIo, status::kStorageFailure},
      {store::StoreFailure::kNoSection, status::kFileNotPresent},
      {store::StoreFailure::kOther, status::kInvalidCall},
  };
  // Each request fails at its write, after its checks have run.
  const std::pair<std::string, const char*> writes[] = {
      {req("W", {f_, "1", "x"}), "writeItem*"},
      {req("V", {f_, "1", "2", "x"}), "writeItem"},
      {req("D", {f_, "kept"}), "deleteItem"},
      {req("d", {f_}), "clearSection"},
  };
  for (const auto& c : cases) {
    for (const auto& [request, operation] : writes) {
      plan_->arm(operation, c.kind);
      EXPECT_EQ(run(request, faulty_.get()).status, c.status) << request << " " << c.status;
      EXPECT_EQ(plan_->nth, 0) << "the fault was never met: " << request;
    }
    EXPECT_EQ(run(req("R", {f_, "1", "0"}), faulty_.get()).status, status::kItemMissing);
    EXPECT_EQ(run(req("R", {f_, "kept", "0"}), faulty_.get()).data, "x");
  }
  // A failure after the write, inside the same transaction, takes the write back with it.
  ASSERT_EQ(run(req("r", {f_, "1"}), faulty_.get()).status, status::kItemMissing);
  plan_->arm("unlockItem", store::StoreFailure::kIo);
  EXPECT_EQ(run(req("W", {f_, "1", "x"}), faulty_.get()).status, status::kStorageFailure);
  EXPECT_EQ(run(req("R", {f_, "1", "0"}), faulty_.get()).status, status::kItemMissing);

  EXPECT_FALSE(faulty_->lost());
  plan_->arm("readItem", store::StoreFailure::kLost);
  EXPECT_EQ(run(req("R", {f_, "kept", "0"}), faulty_.get()).status, status::kStorageFailure);
  EXPECT_TRUE(faulty_->lost());
}

// A commit that fails must not leave the transaction open: every later write of the port would
// land inside it and never be committed.
TEST_F(StorageFailures, AFailedCommitIsRolledBackAndLaterWritesStillCommit) {
  plan_->arm("commit", store::StoreFailure::kBusy);
  EXPECT_EQ(run(req("V", {f_, "1", "1", "lost"}), faulty_.get()).status, status::kBusy);
  ASSERT_EQ(run(req("V", {f_, "2", "1", "kept"}), faulty_.get()).status, 0);
  const std::string g = openFile("CUST");
  EXPECT_EQ(run(req("R", {g, "1", "0"})).status, status::kItemMissing);
  EXPECT_EQ(run(req("R", {g, "2", "0"})).data, "kept");
}

// What each SQLite result code means to a client.
TEST(StoreFailure, SqliteResultCodesMapToTheirKinds) {
  const struct {
    int code;
    store::StoreFailure kind;
  } cases[] = {
      {SQLITE_FULL, store::StoreFailure::kFull},
      {SQLITE_READONLY, store::StoreFailure::kReadOnly},
      {SQLITE_READONLY_DBMOVED, store::StoreFailure::kReadOnly},
      {SQLITE_PERM, store::StoreFailure::kReadOnly},
      {SQLITE_CORRUPT, store::StoreFailure::kCorrupt},
      {SQLITE_NOTADB, store::StoreFailure::kCorrupt},
      {SQLITE_BUSY, store::StoreFailure::kBusy},
      {SQLITE_LOCKED, store::StoreFailure::kBusy},
      {SQLITE_IOERR_WRITE, store::StoreFailure::kIo},
      {SQLITE_CANTOPEN, store::StoreFailure::kIo},
      {SQLITE_CONSTRAINT_FOREIGNKEY, store::StoreFailure::kNoSection},
      {SQLITE_CONSTRAINT_UNIQUE, store::StoreFailure::kOther},
      {SQLITE_MISUSE, store::StoreFailure::kOther},
  };
  for (const auto& c : cases)
    EXPECT_EQ(store::sqliteError(c.code, "x").failure(), c.kind) << c.code;
}

TEST(StoreFailure, ARealFullDatabaseReadsAsDiskFull) {
  TARN_SKIP_ON_POSTGRES("fills an account file to its page limit");
  TempSystem s;
  store::SqliteSystem system(s.path(), true);
  auto account = system.open("FULL", true);
  ASSERT_TRUE(account->createDataSection("CUST", "CUST", 1, true));
  auto section = account->findSection("CUST", false, {}, false);
  store::exec(account->db(), "PRAGMA max_page_count=40");
  const std::string body(4000, 'x');
  int written = 0;
  try {
    for (; written < 1000; ++written) account->writeItem(*section, std::to_string(written), body);
    FAIL() << "the page limit never stopped a write";
  } catch (const store::StoreError& e) {
    EXPECT_EQ(statusFor(e), status::kDiskFull) << e.what();
  }
  std::string out;
  EXPECT_TRUE(account->readItem(*section, "0", out));
  EXPECT_EQ(account->countItems(*section), written);
}

// --- odd files in a system directory

TEST(SystemDirectoryFiles, AnEmptyAccountFileIsRefusedAndLeftAlone) {
  TARN_SKIP_ON_POSTGRES("about account files in a system directory");
  TempSystem s;
  const std::string path = s.path() + "/EMPTY.account";
  std::ofstream(path).close();
  EXPECT_THROW((void)s.open("EMPTY"), EngineError);
  auto port = s.open("SALES");
  TclReply t = tclOn(*port, {"LOGTO EMPTY"});
  EXPECT_EQ(t.returned, "209");
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(SystemDirectoryFiles, SymbolicLinksAreNeverFollowed) {
  TARN_SKIP_ON_POSTGRES("about account files in a system directory");
  TempSystem s;
  TempSystem elsewhere;
  const std::string target = elsewhere.path() + "/made-here.account";
  std::filesystem::create_symlink(target, s.path() + "/DANGLING.account");
  EXPECT_THROW((void)s.open("DANGLING"), EngineError);
  EXPECT_FALSE(std::filesystem::exists(target));
  // A link to a real account elsewhere is refused too, by logon and by reference.
  (void)elsewhere.open("REAL");
  std::filesystem::create_symlink(elsewhere.path() + "/REAL.account", s.path() + "/LINKED.account");
  EXPECT_THROW((void)s.open("LINKED"), EngineError);
  auto port = s.open("SALES");
  EXPECT_EQ(tclOn(*port, {"LOGTO LINKED"}).returned, "210");
}

TEST(SystemDirectoryFiles, AGarbledPortRegisterIsRebuilt) {
  TARN_SKIP_ON_POSTGRES("about the port register file of a system directory");
  TempSystem s;
  auto first = s.open("SALES");
  ASSERT_EQ(tclOn(*first, {"CREATE-FILE CUST 3"}).status, 0);
  ASSERT_EQ(runOn(*first, req("O", {"CUST"})).status, 0);  // leaves an open mark
  const int held = first->number();
  for (const char* leftover : {"/ports.register-wal", "/ports.register-shm"})
    std::filesystem::remove(s.path() + leftover);
  {
    std::ofstream garbage(s.path() + "/ports.register", std::ios::trunc);
    garbage << std::string(8192, '\x5A');
  }
  auto second = s.open("SALES");
  EXPECT_NE(second->number(), held);  // the first port's number came back from its open mark
  auto third = s.open("OTHER");
  EXPECT_NE(third->number(), second->number());
  EXPECT_TRUE(std::filesystem::exists(s.path() + "/ports.register.damaged"));
}

// --- account files of the first layout

TEST(AccountLayout, FilesOfTheFirstLayoutAreBroughtUpToDate) {
  TARN_SKIP_ON_POSTGRES("writes account files of an older layout");
  TempSystem s;
  { (void)s.open("SALES"); }
  const std::string path = s.path() + "/OLD.account";
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* schema = R"sql(
      PRAGMA journal_mode=WAL;
      CREATE TABLE sections(id INTEGER PRIMARY KEY AUTOINCREMENT, file TEXT NOT NULL COLLATE NOCASE,
        kind INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE, casefold INTEGER NOT NULL,
        modulo INTEGER NOT NULL, UNIQUE(file, kind, name));
      CREATE TABLE items(section INTEGER NOT NULL REFERENCES sections(id), key BLOB NOT NULL,
        id BLOB, body BLOB NOT NULL, PRIMARY KEY(section, key)) WITHOUT ROWID;
      CREATE TABLE locks(section INTEGER NOT NULL, kind INTEGER NOT NULL, item BLOB NOT NULL,
        port INTEGER NOT NULL, pid INTEGER NOT NULL, start INTEGER NOT NULL,
        PRIMARY KEY(section, kind, item)) WITHOUT ROWID;
      INSERT INTO sections VALUES(1, 'MD', 1, 'MD', 1, 1), (2, 'CUST', 0, '', 1, 3),
        (3, 'CUST', 1, 'CUST', 1, 3);
      INSERT INTO items VALUES(1, CAST('CUST' AS BLOB), NULL, X'44FE33'),
        (3, CAST('ABC' AS BLOB), CAST('Abc' AS BLOB), CAST('one' AS BLOB)),
        (3, CAST('B' AS BLOB), NULL, CAST('two' AS BLOB));
    )sql";
    ASSERT_EQ(sqlite3_exec(db, schema, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  auto port = s.open("OLD");
  std::string f = runOn(*port, req("O", {"CUST"})).data;
  EXPECT_EQ(runOn(*port, req("R", {f, "abc", "0"})).data, "one");
  EXPECT_EQ(tclOn(*port, {"COUNT CUST"}).captured, "Count: 2 items.");
  ASSERT_EQ(runOn(*port, req("W", {f, "B", "again"})).status, 0);
  ASSERT_EQ(runOn(*port, req("W", {f, "C", "new"})).status, 0);
  std::string list = runOn(*port, req("S", {f})).data;
  EXPECT_EQ(runOn(*port, req("n", {list})).data, joinMarks({"Abc", "B", "C"}));
  EXPECT_EQ(tclOn(*port, {"COUNT CUST"}).captured, "Count: 3 items.");
  port.reset();

  // A file from a newer build is not touched.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_THROW((void)s.open("OLD"), EngineError);
}

}  // namespace
}  // namespace tarn::server::testing
