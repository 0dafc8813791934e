// Protected accounts: credentials at logon and at LOGTO, grants for references from other
// accounts, the system dictionary written only from DM, failures counted, hashes only on disk.
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "server/engine/session.h"
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

// The answer to each failed logon from one source is held back twice as long as the last.
TEST_F(ProtectionTest, TheDelayAfterAFailedLogonDoublesUpToFiveSeconds) {
  auto account = store::openSystem(system_.path())->openAccount("SALES", false);
  std::vector<long> delays;
  for (int i = 0; i < 8; ++i)
    delays.push_back(static_cast<long>(store::recordFailedLogon(*account, "probe").count()));
  EXPECT_EQ(delays, (std::vector<long>{100, 200, 400, 800, 1600, 3200, 5000, 5000}));
  account->clearFailedLogons("probe");
  EXPECT_EQ(store::recordFailedLogon(*account, "probe").count(), 100);
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

TEST_F(ProtectionTest, TheSystemDictionaryIsWrittenOnlyFromDm) {
  const std::string mds = openFile("mds,,");
  EXPECT_EQ(run(req("R", {mds, "LOGTO", "0"})).status, 2);  // readable: the item is not there
  EXPECT_EQ(run(req("W", {mds, "X", "V"})).status, 6);
  EXPECT_EQ(run(req("V", {mds, "X", "1", "V"})).status, 6);
  EXPECT_EQ(run(req("D", {mds, "X"})).status, 6);
  EXPECT_EQ(run(req("d", {mds})).status, 6);
  EXPECT_EQ(tcl("CLEAR-FILE mds,,").returned, "235");
  EXPECT_EQ(tcl("UPDATE-MD DM").returned, "230");
  // Nor does a program of another account write it.
  ASSERT_EQ(tcl("CREATE-FILE BP 1").returned, "417");
  ASSERT_EQ(run(req("W", {openFile("BP"), "PUT",
                          "SUBROUTINE PUT(R)\xFEOPEN 'mds,,' TO F ELSE RETURN\xFEWRITE 'V' ON F, 'X'"}))
                .status,
            0);
  ASSERT_EQ(tcl("COMPILE BP, PUT").returned, "241");
  Reply put = run(callRequest(run(req("L", {"BP, PUT"})).data, {""}));
  EXPECT_EQ(put.status, status::kRunFailed);
  EXPECT_NE(put.data.find("written only from DM"), std::string::npos) << put.data;

  auto dm = system_.open("DM");
  EXPECT_EQ(run(req("W", {openFile("mds,,", dm.get()), "X", "V"}), dm.get()).status, 0);
}

// A port on account EVIL probes the protected account VAULT by every path that names another
// account: refused without a grant, with nothing written into VAULT; allowed with one; refused
// again after the revoke, also through what it opened while the grant held.
class AttackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vault_ = system_.open("VAULT");
    for (const char* command : {"CREATE-FILE BP 1", "CREATE-FILE LEDGER 1", "CREATE-FILE SCRATCH 1",
                                "CREATE-INDEX LEDGER A1"})
      ASSERT_EQ(on(*vault_, {command}).status, 0) << command;
    write(*vault_, "BP", "SECRET", "SUBROUTINE SECRET(R)\xFER = 'the secret'");
    write(*vault_, "LEDGER", "K", "kept");
    write(*vault_, "SCRATCH", "S", "scratch");
    ASSERT_EQ(on(*vault_, {"COMPILE BP, SECRET"}).returned, "241");
    ASSERT_EQ(on(*vault_, {"CATALOG BP, SECRET"}).returned, "244");
    ASSERT_EQ(on(*vault_, {"PROTECT-ACCOUNT VAULT", "keeper", "vault-Pass1"}).returned, "231");

    evil_ = system_.open("EVIL");
    ASSERT_EQ(on(*evil_, {"CREATE-FILE BP 1"}).status, 0);
    ASSERT_EQ(on(*evil_, {"CREATE-FILE LOOT 1"}).status, 0);
    write(*evil_, "LOOT", "X", "planted");
    write(*evil_, "BP", "PEEK",
          "SUBROUTINE PEEK(R)\xFEOPEN 'VAULT,LEDGER' TO F ELSE R = 'no file'; RETURN\xFE"
          "READ R FROM F, 'K' ELSE R = 'no item'");
    write(*evil_, "BP", "PROBE",
          "SUBROUTINE PROBE(R)\xFE"
          "CALL STOLEN(R)");
    for (const char* name : {"PEEK", "PROBE"}) {
      ASSERT_EQ(on(*evil_, {std::string("COMPILE BP, ") + name}).returned, "241");
      ASSERT_EQ(on(*evil_, {std::string("CATALOG BP, ") + name}).returned, "244");
    }
    // Anyone may write an entry into its own MD that names another account's module.
    write(*evil_, "MD", "STOLEN", joinMarks({"R", "VAULT", "BP", "SECRET"}));
  }
  TclReply on(Port& p, std::initializer_list<std::string_view> lines) {
    return parseTcl(p.execute(req("E", {joinMarks(lines)})));
  }
  Reply run(Port& p, const std::string& request) { return parseReply(p.execute(request)); }
  void write(Port& p, const std::string& file, const std::string& id, const std::string& body) {
    Reply o = run(p, req("O", {file}));
    ASSERT_EQ(o.status, 0) << file;
    ASSERT_EQ(run(p, req("W", {o.data, id, body})).status, 0);
  }
  // Calls EVIL's own module name and gives back its one argument, or the failure.
  std::string call(const std::string& name) {
    Reply m = run(*evil_, req("L", {name}));
    if (m.status != 0) return "L " + std::to_string(m.status);
    Reply r = run(*evil_, callRequest(m.data, {""}));
    if (r.status != 0) return "M " + std::to_string(r.status);
    return callResults(r.data).at(0);
  }
  // Every item, section and index of an account, as text to compare.
  std::string contents(const std::string& name) {
    auto account = store::openSystem(system_.path())->openAccount(name, false);
    std::string out;
    for (const store::Section& s : account->sections("")) {
      out += "[" + s.file + "," + s.name + (s.dictionary ? " dict" : "") + "]";
      for (const store::Correlative& c : account->indexes().definitions(s))
        out += "<" + c.text() + ">";
      account->forEachItem(s, [&](std::string_view id, std::string_view body) {
        out.append(id).append("=").append(body).append(";");
      });
    }
    return out;
  }

  struct Probe {
    std::string path;
    std::function<bool()> succeeds;
  };
  std::vector<Probe> probes() {
    auto verb = [this](std::string command, std::string success) {
      return [this, command, success] { return on(*evil_, {command}).returned == success; };
    };
    auto request = [this](std::string op, std::vector<std::string> fields) {
      return [this, op, fields] {
        std::string r = op;
        for (const std::string& f : fields) r += AM + f;
        return run(*evil_, r).status == 0;
      };
    };
    return {
        {"O acct,file", request("O", {"VAULT,LEDGER"})},
        {"O acct,file,section", request("O", {"VAULT,LEDGER,LEDGER"})},
        {"O DICT acct,file", request("O", {"DICT VAULT,LEDGER"})},
        {"COUNT", verb("COUNT VAULT,LEDGER", "407")},
        {"ESTIMATE-COUNT",
         [this] { return on(*evil_, {"ESTIMATE-COUNT VAULT,LEDGER"}).captured == "1"; }},
        {"LIST", verb("LIST VAULT,LEDGER", "405")},
        // The active list feeds the next sentence whatever its file: a select list takes it off.
        {"SELECT",
         [this] {
           const bool made = on(*evil_, {"SELECT VAULT,LEDGER"}).returned == "404";
           (void)run(*evil_, req("S", {"-1"}));
           return made;
         }},
        {"SSELECT", verb("SSELECT DICT VAULT,BP", "404")},
        {"SORT", verb("SORT VAULT,LEDGER", "405")},
        {"LIST-INDEX", verb("LIST-INDEX VAULT,LEDGER", "176")},
        {"CT", [this] { return on(*evil_, {"CT VAULT,LEDGER K"}).captured.rfind("K", 0) == 0; }},
        {"COPY FROM", verb("COPY FROM VAULT,LEDGER K TO LOOT (O", "408")},
        {"COPY TO", verb("COPY FROM LOOT X TO VAULT,SCRATCH (O", "408")},
        {"DELETE", verb("DELETE VAULT,SCRATCH X", "410")},
        {"CLEAR-FILE", verb("CLEAR-FILE VAULT,SCRATCH", "420")},
        {"CREATE-INDEX", verb("CREATE-INDEX VAULT,LEDGER A2", "172")},
        {"DELETE-INDEX", verb("DELETE-INDEX VAULT,LEDGER A2", "174")},
        {"UPDATE-MD", verb("UPDATE-MD VAULT (n", "212")},
        {"COMPILE", verb("COMPILE VAULT,BP, SECRET", "241")},
        {"CATALOG", verb("CATALOG VAULT,BP, SECRET", "244")},
        {"I", request("I", {"VAULT,LEDGER", "A1"})},
        {"L acct,file, name", request("L", {"VAULT,BP, SECRET"})},
        {"L acct,name", request("L", {"VAULT,SECRET"})},
        {"L of a catalog entry naming the account", request("L", {"STOLEN"})},
        {"Corvex OPEN", [this] { return call("PEEK") == "kept"; }},
        {"Corvex CALL", [this] { return call("PROBE") == "the secret"; }},
    };
  }
  void expectEveryProbe(bool succeeds) {
    const std::string before = contents("VAULT");
    for (const Probe& p : probes()) EXPECT_EQ(p.succeeds(), succeeds) << p.path;
    if (!succeeds) {
      EXPECT_EQ(contents("VAULT"), before);
    }
  }

  TempSystem system_;
  std::unique_ptr<Port> vault_;
  std::unique_ptr<Port> evil_;
};

TEST_F(AttackerTest, EveryPathToAnotherAccountNeedsItsGrant) {
  expectEveryProbe(false);
  // Only VAULT itself (or DM) may grant.
  EXPECT_EQ(on(*evil_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "234");
  expectEveryProbe(false);

  ASSERT_EQ(on(*vault_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  expectEveryProbe(true);
  ASSERT_EQ(on(*vault_, {"REVOKE-ACCOUNT VAULT EVIL"}).returned, "233");
  expectEveryProbe(false);

  auto dm = system_.open("DM");
  ASSERT_EQ(on(*dm, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  EXPECT_TRUE(probes().front().succeeds());
}

TEST_F(AttackerTest, ARevokeReachesWhatIsAlreadyOpen) {
  ASSERT_EQ(on(*vault_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  const std::string file = run(*evil_, req("O", {"VAULT,LEDGER"})).data;
  const std::string index = run(*evil_, req("I", {"VAULT,LEDGER", "A1"})).data;
  const std::string module = run(*evil_, req("L", {"VAULT,SECRET"})).data;
  ASSERT_EQ(run(*evil_, req("r", {file, "K"})).status, 0);  // a lock to give up later
  ASSERT_EQ(run(*evil_, callRequest(module, {""})).status, 0);
  ASSERT_EQ(on(*vault_, {"REVOKE-ACCOUNT VAULT EVIL"}).returned, "233");

  const std::string before = contents("VAULT");
  const struct {
    std::string request;
    int status;
  } uses[] = {
      {req("R", {file, "K"}), status::kFileNotPresent},
      {req("W", {file, "K", "stolen"}), status::kFileNotPresent},
      {req("w", {file, "N", "stolen"}), status::kFileNotPresent},
      {req("V", {file, "K", "2", "stolen"}), status::kFileNotPresent},
      {req("D", {file, "K"}), status::kFileNotPresent},
      {req("d", {file}), status::kFileNotPresent},
      {req("F", {file}), status::kFileNotPresent},
      {req("S", {file}), status::kFileNotPresent},
      {req("K", {"F", index, "", "", "0"}), status::kNoIndex},
      {callRequest(module, {""}), status::kItemMissing},
      // What the port holds it may still give up.
      {req("U", {file, "K"}), status::kOk},
      {req("f", {file}), status::kOk},
      {req("C", {file}), status::kOk},
  };
  for (const auto& u : uses) EXPECT_EQ(run(*evil_, u.request).status, u.status) << u.request;
  EXPECT_EQ(contents("VAULT"), before);
}

// A transaction stages its changes for later: the grant and the system dictionary's rule hold at
// staging and again at the commit, so a revoke in between keeps the account as it was.
TEST_F(AttackerTest, ATransactionWritesOnlyWhatAWriteCould) {
  ASSERT_EQ(on(*vault_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  const std::string file = run(*evil_, req("O", {"VAULT,LEDGER"})).data;
  const std::string before = contents("VAULT");
  ASSERT_EQ(on(*evil_, {"TRANSACTION START"}).returned, "270");
  ASSERT_EQ(run(*evil_, req("r", {file, "K"})).status, 0);
  ASSERT_EQ(run(*evil_, req("W", {file, "K", "stolen"})).status, 0);
  ASSERT_EQ(on(*vault_, {"REVOKE-ACCOUNT VAULT EVIL"}).returned, "233");
  EXPECT_EQ(on(*evil_, {"TRANSACTION COMMIT"}).returned, "275");
  EXPECT_EQ(contents("VAULT"), before);

  auto dm = system_.open("DM");
  const std::string dmMds = run(*dm, req("O", {"mds,,"})).data;
  ASSERT_EQ(run(*dm, req("W", {dmMds, "X", "V"})).status, 0);
  const std::string mds = run(*evil_, req("O", {"mds,,"})).data;
  ASSERT_EQ(on(*evil_, {"TRANSACTION START"}).returned, "270");
  ASSERT_EQ(run(*evil_, req("r", {mds, "X"})).status, 0);
  EXPECT_EQ(run(*evil_, req("W", {mds, "X", "stolen"})).status, status::kInvalidCall);
  EXPECT_EQ(run(*evil_, req("D", {mds, "X"})).status, status::kInvalidCall);
  EXPECT_EQ(on(*evil_, {"TRANSACTION COMMIT"}).returned, "271");
  EXPECT_EQ(run(*dm, req("R", {dmMds, "X", "0"})).data, "V");
}

}  // namespace
}  // namespace tarn::server::testing
