// Protected accounts: credentials at logon and at LOGTO, grants for references from other
// accounts, the system dictionary written only from DM, failures counted, hashes only on disk.
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "server/engine/store/protection.h"
#include "server/engine/store/store.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

class ProtectionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const TclReply r = tcl(joinMarks({"PROTECT-ACCOUNT SALES", "ann", "s3cret-Pass"}));
    ASSERT_EQ(r.returned, "231") << r.captured;
    other_ = system_.open("OTHER");
  }
  TclReply tclOn(Port& p, std::initializer_list<std::string_view> lines) {
    return parseTcl(p.execute(req("E", {joinMarks(lines)})));
  }
  long failures() {
    auto account = store::openSystem(system_.path())->openAccount("SALES", false);
    return account->failedLogons("process " + std::to_string(getpid()));
  }
  std::unique_ptr<Port> other_;
};

TEST_F(ProtectionTest, LogonNeedsTheCredentialsAndCountsFailures) {
  EXPECT_THROW((void)Port::open({system_.path(), "SALES"}), AccessDenied);
  EXPECT_THROW((void)Port::open({system_.path(), "SALES"}, {"ann", "wrong"}), AccessDenied);
  EXPECT_THROW((void)Port::open({system_.path(), "SALES"}, {"bob", "s3cret-Pass"}), AccessDenied);
  EXPECT_EQ(failures(), 3);
  EXPECT_NE(Port::open({system_.path(), "SALES"}, {"ANN", "s3cret-Pass"}), nullptr);
  EXPECT_EQ(failures(), 0);
  // Unprotected accounts ask for nothing.
  EXPECT_NE(Port::open({system_.path(), "OTHER"}), nullptr);
}

TEST_F(ProtectionTest, OnlyTheSaltedHashIsOnDisk) {
  TARN_SKIP_ON_POSTGRES("reads the account files themselves");
  port_.reset();
  other_.reset();
  std::string disk;
  for (const char* suffix : {".account", ".account-wal"}) {
    std::ifstream in(system_.path() + "/SALES" + suffix, std::ios::binary);
    disk.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(disk.find("s3cret-Pass"), std::string::npos);
  EXPECT_NE(disk.find("$argon2id$"), std::string::npos);
}

TEST_F(ProtectionTest, LogtoTakesTheCredentialsFromStackedInput) {
  EXPECT_EQ(tclOn(*other_, {"LOGTO SALES"}).returned, "230");
  EXPECT_EQ(tclOn(*other_, {"LOGTO SALES", "ann", "nope"}).returned, "230");
  EXPECT_EQ(tclOn(*other_, {"WHO"}).captured, std::to_string(other_->number()) + " OTHER");
  // The lines after the credentials are commands again.
  const TclReply r = tclOn(*other_, {"LOGTO SALES", "ann", "s3cret-Pass", "WHO"});
  EXPECT_EQ(r.returned, "211");
  EXPECT_NE(r.captured.find(std::to_string(other_->number()) + " SALES"), std::string::npos);
}

TEST_F(ProtectionTest, OtherAccountsReachFilesOnlyWhenGranted) {
  ASSERT_EQ(run(req("W", {openFile("CUST"), "1", "x"})).status, 0);
  struct Attempt {
    std::string what;
    std::function<bool()> allowed;
  };
  const std::vector<Attempt> attempts = {
      {"O", [&] { return run(req("O", {"SALES,CUST"}), other_.get()).status == 0; }},
      {"CLEAR-FILE", [&] { return tclOn(*other_, {"CLEAR-FILE SALES,CUST"}).returned == "420"; }},
      {"UPDATE-MD", [&] { return tclOn(*other_, {"UPDATE-MD SALES (n"}).returned == "212"; }},
  };
  for (const Attempt& a : attempts) EXPECT_FALSE(a.allowed()) << a.what;
  EXPECT_EQ(tclOn(*other_, {"GRANT-ACCOUNT SALES OTHER"}).returned, "234");  // not its own

  EXPECT_EQ(tcl("GRANT-ACCOUNT SALES OTHER").returned, "232");
  for (const Attempt& a : attempts) EXPECT_TRUE(a.allowed()) << a.what;
  EXPECT_EQ(tcl("REVOKE-ACCOUNT SALES OTHER").returned, "233");
  for (const Attempt& a : attempts) EXPECT_FALSE(a.allowed()) << a.what;

  // DM may change any account's protection.
  auto dm = system_.open("DM");
  EXPECT_EQ(tclOn(*dm, {"GRANT-ACCOUNT SALES OTHER"}).returned, "232");
  EXPECT_TRUE(attempts.front().allowed());
}

TEST_F(ProtectionTest, TheSystemDictionaryIsWrittenOnlyFromDm) {
  const std::string mds = openFile("mds,,");
  EXPECT_EQ(run(req("R", {mds, "LOGTO", "0"})).status, 2);  // readable: the item is not there
  EXPECT_EQ(run(req("W", {mds, "X", "V"})).status, 6);
  EXPECT_EQ(run(req("V", {mds, "X", "1", "V"})).status, 6);
  EXPECT_EQ(run(req("D", {mds, "X"})).status, 6);
  EXPECT_EQ(run(req("d", {mds})).status, 6);
  EXPECT_EQ(tcl("CLEAR-FILE mds,,").returned, "235");
  EXPECT_EQ(tcl("UPDATE-MD DM").returned, "230");

  auto dm = system_.open("DM");
  EXPECT_EQ(run(req("W", {openFile("mds,,", dm.get()), "X", "V"}), dm.get()).status, 0);
}

}  // namespace
}  // namespace tarn::server::testing
