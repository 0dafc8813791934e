// Protected accounts as an attacker meets them: the logon, protection and system dictionary paths
// from an unprotected port (AttackerTest below takes every path to another account's files and
// modules), credentials at logon and LOGTO, stacked credential lines, throttling across
// processes, the system dictionary, creation only on purpose, hashes only on disk.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "server/engine/session.h"
#include "server/engine/store/protection.h"
#include "server/engine/store/store.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

constexpr const char* kDmUser = "root";
constexpr const char* kDmPassword = "dm-Pass-1";
constexpr const char* kUser = "ann";
constexpr const char* kPassword = "s3cret-Pass";

// SALES (the victim, with its file CUST) and DM are protected; ATT is the attacker's own
// unprotected account. Ports on DM and SALES that logged on before the protection came are kept,
// as an attacker who got there early would keep them.
class ProtectionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    staleDm_ = system_.open("DM");
    staleSales_ = system_.open("SALES");
    ASSERT_EQ(run(req("W", {openFile("CUST"), "1", "kept"})).status, 0);
    ASSERT_EQ(tclOn(*system_.open("DM"), {"PROTECT-ACCOUNT DM", kDmUser, kDmPassword}).returned,
              "231");
    ASSERT_EQ(tcl(joinMarks({"PROTECT-ACCOUNT SALES", kUser, kPassword})).returned, "231");
    ASSERT_EQ(tcl("GRANT-ACCOUNT SALES FRIEND").returned, "232");
    att_ = system_.open("ATT");
  }
  std::unique_ptr<store::Account> account(const std::string& name) {
    return store::openSystem(system_.path())->openAccount(name, false);
  }
  // What an attack must leave as it was: credentials, grants, the victim's item and files.
  std::string fingerprint() {
    std::string out;
    for (const char* name : {"DM", "SALES", "ATT"}) {
      auto a = account(name);
      out += name + std::string(":") + store::credentialStamp(*a) + ":";
      for (const std::string& g : a->grantees()) out += g + ",";
      for (const store::Section& s : a->sections({})) out += s.file + "/" + s.name + ",";
    }
    auto sales = account("SALES");
    std::string item;
    if (auto s = sales->findSection("CUST", false, {}, false)) (void)sales->readItem(*s, "1", item);
    return out + item;
  }

  std::unique_ptr<Port> staleDm_, staleSales_, att_;
};

TEST_F(ProtectionTest, NoPathFromAnUnprotectedPortReachesAProtectedAccount) {
  struct Attack {
    const char* what;
    Port& port;
    std::vector<std::string_view> lines;  // a TCL command and its stacked lines, or
    std::string request;                  // a request, answered by its status
    std::string refused;                  // the answer that means refused
  };
  const std::string mds = openFile("mds,,", att_.get());
  const std::vector<Attack> attacks = {
      {"LOGTO DM without credentials", *att_, {"LOGTO DM"}, "", "230"},
      {"LOGTO DM with a guess", *att_, {"LOGTO DM", kDmUser, "guess"}, "", "230"},
      {"LOGTO SALES with DM's password", *att_, {"LOGTO SALES", kDmUser, kDmPassword}, "", "230"},
      {"LOGTO MDS (DM by its alias)", *att_, {"LOGTO MDS"}, "", "230"},
      {"GRANT-ACCOUNT SALES ATT", *att_, {"GRANT-ACCOUNT SALES ATT"}, "", "234"},
      {"REVOKE-ACCOUNT SALES FRIEND", *att_, {"REVOKE-ACCOUNT SALES FRIEND"}, "", "234"},
      {"PROTECT-ACCOUNT SALES", *att_, {"PROTECT-ACCOUNT SALES", "att", "mine"}, "", "234"},
      {"PROTECT-ACCOUNT DM", *att_, {"PROTECT-ACCOUNT DM", "att", "mine"}, "", "234"},
      {"stale DM port: GRANT-ACCOUNT", *staleDm_, {"GRANT-ACCOUNT SALES ATT"}, "", "234"},
      {"stale DM: PROTECT SALES", *staleDm_, {"PROTECT-ACCOUNT SALES", "att", "mine"}, "", "234"},
      {"stale DM port: PROTECT DM", *staleDm_, {"PROTECT-ACCOUNT DM", "att", "mine"}, "", "234"},
      {"stale SALES port: GRANT", *staleSales_, {"GRANT-ACCOUNT SALES ATT"}, "", "234"},
      {"UPDATE-MD DM", *att_, {"UPDATE-MD DM"}, "", "230"},
      {"W on the system dictionary", *att_, {}, req("W", {mds, "X", "V"}), "6"},
      {"CLEAR-FILE mds,,", *att_, {"CLEAR-FILE mds,,"}, "", "235"},
  };
  auto answer = [&](const Attack& a) {
    if (!a.request.empty()) return std::to_string(run(a.request, &a.port).status);
    std::string text;
    for (std::string_view line : a.lines) text.append(text.empty() ? "" : "\xFE").append(line);
    return parseTcl(a.port.execute(req("E", {text}))).returned;
  };
  const std::string before = fingerprint();
  int refused = 0;
  for (const Attack& a : attacks) {
    EXPECT_EQ(answer(a), a.refused) << a.what;
    refused += fingerprint() == before;
    EXPECT_EQ(fingerprint(), before) << a.what << " changed something";
    EXPECT_EQ(tclOn(*att_, {"WHO"}).captured, std::to_string(att_->number()) + " ATT") << a.what;
  }
  EXPECT_EQ(refused, static_cast<int>(attacks.size()));
  std::printf("attacker table: %zu paths tried, %d refused with nothing changed\n", attacks.size(),
              refused);

  // The same verbs work for whoever holds the credentials, so each refusal above means something.
  auto dm = system_.open("DM", {kDmUser, kDmPassword});
  EXPECT_EQ(tclOn(*dm, {"GRANT-ACCOUNT SALES ATT"}).returned, "232");
  EXPECT_EQ(run(req("O", {"SALES,CUST"}), att_.get()).status, 0);
  EXPECT_EQ(tclOn(*dm, {"REVOKE-ACCOUNT SALES ATT"}).returned, "233");
  EXPECT_EQ(run(req("O", {"SALES,CUST"}), att_.get()).status, 9);
  EXPECT_EQ(tclOn(*att_, {"LOGTO DM", kDmUser, kDmPassword}).returned, "211");
}

TEST_F(ProtectionTest, CredentialLinesNeverRunAsCommands) {
  // Each refused command is followed by lines that would leave a trace if they ran.
  const std::string u = "CREATE-FILE DATA LEAKU 1";
  const std::string p = "CREATE-FILE DATA LEAKP 1";
  const std::string next = "CREATE-FILE DATA NEXT 1";
  struct Case {
    const char* command;
    const char* answer;
    bool nextRuns;  // a refused LOGTO drops everything after it: it was meant for another account
  };
  const Case cases[] = {
      {"LOGTO DM", "230", false},
      {"LOGTO SALES", "230", false},
      {"LOGTO NOSUCH", "210", false},
      {"LOGTO", "203", false},
      {"PROTECT-ACCOUNT SALES", "234", true},
      {"PROTECT-ACCOUNT NOSUCH", "210", true},
      {"PROTECT-ACCOUNT", "203", true},
  };
  for (const Case& c : cases) {
    const TclReply r = tclOn(*att_, {c.command, u, p, next});
    EXPECT_NE(r.returned.find(c.answer), std::string::npos) << c.command << ": " << r.returned;
    auto att = account("ATT");
    EXPECT_FALSE(att->findFile("LEAKU", false)) << c.command;
    EXPECT_FALSE(att->findFile("LEAKP", false)) << c.command;
    EXPECT_EQ(att->findFile("NEXT", false).has_value(), c.nextRuns) << c.command;
    if (c.nextRuns) {
      ASSERT_EQ(tclOn(*att_, {"DELETE-FILE NEXT"}).status, 0);
    }
  }
}

TEST_F(ProtectionTest, LogonAndLogtoNeedTheCredentials) {
  EXPECT_THROW((void)Port::open({system_.path(), "SALES"}), AccessDenied);
  EXPECT_THROW((void)Port::open({system_.path(), "SALES"}, {kUser, "wrong"}), AccessDenied);
  EXPECT_THROW((void)Port::open({system_.path(), "SALES"}, {"bob", kPassword}), AccessDenied);
  EXPECT_NE(Port::open({system_.path(), "SALES"}, {"ANN", kPassword}), nullptr);
  EXPECT_NE(Port::open({system_.path(), "ATT"}), nullptr);  // unprotected: nothing asked

  // The lines after the credentials are commands again.
  const TclReply r = tclOn(*att_, {"LOGTO SALES", kUser, kPassword, "WHO"});
  EXPECT_EQ(r.returned, "211");
  EXPECT_NE(r.captured.find(std::to_string(att_->number()) + " SALES"), std::string::npos);
  // A protected account takes its two lines also when the port is on it already.
  const TclReply again = tclOn(*att_, {"LOGTO SALES", kUser, kPassword, "WHO"});
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.captured.find(std::to_string(att_->number()) + " SALES"), std::string::npos)
      << again.captured;
}

// A fresh process per guess is held back as one process would be: the failures are counted in
// the store against the account from every source, and each attempt waits before it is checked.
TEST_F(ProtectionTest, FreshProcessesPerGuessAreSlowedLikeOne) {
  const int kGuesses = 4;
  for (int i = 0; i < kGuesses; ++i) {
    const auto expected = store::logonDelay(i);
    const pid_t pid = fork();
    if (pid == 0) {
      const auto start = std::chrono::steady_clock::now();
      try {
        (void)Port::open({system_.path(), "SALES"}, {kUser, "guess" + std::to_string(i)});
        _exit(3);
      } catch (const AccessDenied&) {
      } catch (...) {
        _exit(4);
      }
      _exit(std::chrono::steady_clock::now() - start >= expected ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "guess " << i << " (5: answered before its wait)";
    auto sales = account("SALES");
    EXPECT_EQ(sales->failedLogons(store::kEverySource), i + 1);
    EXPECT_EQ(sales->failedLogons(store::logonSource()), i + 1);
  }
  EXPECT_EQ(store::logonDelay(kGuesses).count(), 800);
  EXPECT_EQ(store::logonDelay(1000).count(), 5000);

  EXPECT_NE(Port::open({system_.path(), "SALES"}, {kUser, kPassword}), nullptr);
  EXPECT_EQ(account("SALES")->failedLogons(store::kEverySource), 0);
}

TEST_F(ProtectionTest, TheSystemDictionaryIsReadByEveryAccountAndWrittenOnlyFromDm) {
  const std::string mds = openFile("mds,,", att_.get());
  EXPECT_EQ(run(req("R", {mds, "LOGTO", "0"}), att_.get()).status, 2);  // readable: not there
  for (const std::string& write : {req("W", {mds, "X", "V"}), req("V", {mds, "X", "1", "V"}),
                                   req("D", {mds, "X"}), req("d", {mds})})
    EXPECT_EQ(run(write, att_.get()).status, 6) << write;
  EXPECT_EQ(run(req("O", {"DM,MD"}), att_.get()).status, 0);
  auto dm = system_.open("DM", {kDmUser, kDmPassword});
  EXPECT_EQ(run(req("W", {openFile("mds,,", dm.get()), "X", "V"}), dm.get()).status, 0);
  EXPECT_EQ(run(req("R", {mds, "X", "0"}), att_.get()).status, 0);
}

TEST_F(ProtectionTest, OnlyTheSaltedHashIsOnDiskAndOnlyForItsOwner) {
  TARN_SKIP_ON_POSTGRES("reads the account files themselves");
  port_.reset();
  staleSales_.reset();
  std::string disk;
  for (const char* suffix : {".account", ".account-wal"}) {
    std::ifstream in(system_.path() + "/SALES" + suffix, std::ios::binary);
    disk.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(disk.find(kPassword), std::string::npos);
  EXPECT_NE(disk.find("$argon2id$"), std::string::npos);

  struct stat st {};
  ASSERT_EQ(::stat(system_.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(system_.path())) {
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
    ++files;
  }
  EXPECT_GE(files, 4);  // accounts, the register, their journals
}

// Systems that predate the rule, and the rule itself.
class ProtectionOrder : public EngineTest {};

// A program of another account does not write the system dictionary either.
TEST_F(ProtectionOrder, AProgramOfAnotherAccountDoesNotWriteTheSystemDictionary) {
  ASSERT_EQ(tcl("CREATE-FILE BP 1").returned, "417");
  ASSERT_EQ(
      run(req("W", {openFile("BP"), "PUT",
                    "SUBROUTINE PUT(R)\xFEOPEN 'mds,,' TO F ELSE RETURN\xFEWRITE 'V' ON F, 'X'"}))
          .status,
      0);
  ASSERT_EQ(tcl("COMPILE BP, PUT").returned, "241");
  Reply put = run(callRequest(run(req("L", {"BP, PUT"})).data, {""}));
  EXPECT_EQ(put.status, status::kRunFailed);
  EXPECT_NE(put.data.find("written only from DM"), std::string::npos) << put.data;
}

TEST_F(ProtectionOrder, DmIsProtectedFirstAndAnOpenDmAdministersNoProtectedAccount) {
  const TclReply early = tcl(joinMarks({"PROTECT-ACCOUNT SALES", kUser, kPassword, "WHO"}));
  EXPECT_EQ(early.returned.substr(0, 3), "236");
  EXPECT_NE(early.captured.find(" SALES"), std::string::npos);  // WHO ran; the lines did not
  auto sales = store::openSystem(system_.path())->openAccount("SALES", false);
  EXPECT_FALSE(store::isProtected(*sales));

  // An account protected under an older rule, DM still open: DM still cannot administer it.
  store::setCredentials(*sales, kUser, kPassword);
  auto dm = system_.open("DM");
  EXPECT_EQ(tclOn(*dm, {"GRANT-ACCOUNT SALES DM"}).returned, "234");
  EXPECT_FALSE(sales->grants("DM"));
}

TEST(AccountsOnPurpose, NothingIsMadeWithoutCreateAccount) {
  TempSystem system;
  EXPECT_THROW((void)Port::open({system.path(), "SALES"}), EngineError);
  ASSERT_NE(system.open("SALES"), nullptr);  // with CreateAccount
  try {
    (void)Port::open({system.path(), "SALSE"});
    ADD_FAILURE() << "a typo made an account";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("SALSE"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("CreateAccount=Yes"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(store::openSystem(system.path())->accountExists("SALSE"));
  if (store::namesPostgres(system.path())) return;
  const std::string typo = system.path() + "/no-such-system";
  EXPECT_THROW((void)Port::open({typo, "DM"}), EngineError);
  EXPECT_FALSE(std::filesystem::exists(typo));
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
      ASSERT_EQ(tclOn(*vault_, {command}).status, 0) << command;
    write(*vault_, "BP", "SECRET", "SUBROUTINE SECRET(R)\xFER = 'the secret'");
    write(*vault_, "LEDGER", "K", "kept");
    write(*vault_, "SCRATCH", "S", "scratch");
    ASSERT_EQ(tclOn(*vault_, {"COMPILE BP, SECRET"}).returned, "241");
    ASSERT_EQ(tclOn(*vault_, {"CATALOG BP, SECRET"}).returned, "244");
    ASSERT_EQ(tclOn(*system_.open("DM"), {"PROTECT-ACCOUNT DM", "root", "dm-Pass-1"}).returned,
              "231");
    ASSERT_EQ(tclOn(*vault_, {"PROTECT-ACCOUNT VAULT", "keeper", "vault-Pass1"}).returned, "231");

    evil_ = system_.open("EVIL");
    ASSERT_EQ(tclOn(*evil_, {"CREATE-FILE BP 1"}).status, 0);
    ASSERT_EQ(tclOn(*evil_, {"CREATE-FILE LOOT 1"}).status, 0);
    write(*evil_, "LOOT", "X", "planted");
    write(*evil_, "BP", "PEEK",
          "SUBROUTINE PEEK(R)\xFEOPEN 'VAULT,LEDGER' TO F ELSE R = 'no file'; RETURN\xFE"
          "READ R FROM F, 'K' ELSE R = 'no item'");
    write(*evil_, "BP", "PROBE",
          "SUBROUTINE PROBE(R)\xFE"
          "CALL STOLEN(R)");
    for (const char* name : {"PEEK", "PROBE"}) {
      ASSERT_EQ(tclOn(*evil_, {std::string("COMPILE BP, ") + name}).returned, "241");
      ASSERT_EQ(tclOn(*evil_, {std::string("CATALOG BP, ") + name}).returned, "244");
    }
    // Anyone may write an entry into its own MD that names another account's module.
    write(*evil_, "MD", "STOLEN", joinMarks({"R", "VAULT", "BP", "SECRET"}));
  }
  void write(Port& p, const std::string& file, const std::string& id, const std::string& body) {
    Reply o = runOn(p, req("O", {file}));
    ASSERT_EQ(o.status, 0) << file;
    ASSERT_EQ(runOn(p, req("W", {o.data, id, body})).status, 0);
  }
  // Calls EVIL's own module name and gives back its one argument, or the failure.
  std::string call(const std::string& name) {
    Reply m = runOn(*evil_, req("L", {name}));
    if (m.status != 0) return "L " + std::to_string(m.status);
    Reply r = runOn(*evil_, callRequest(m.data, {""}));
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
      return [this, command, success] { return tclOn(*evil_, {command}).returned == success; };
    };
    auto request = [this](std::string op, std::vector<std::string> fields) {
      return [this, op, fields] {
        std::string r = op;
        for (const std::string& f : fields) r += AM + f;
        return runOn(*evil_, r).status == 0;
      };
    };
    return {
        {"O acct,file", request("O", {"VAULT,LEDGER"})},
        {"O acct,file,section", request("O", {"VAULT,LEDGER,LEDGER"})},
        {"O DICT acct,file", request("O", {"DICT VAULT,LEDGER"})},
        {"COUNT", verb("COUNT VAULT,LEDGER", "407")},
        {"ESTIMATE-COUNT",
         [this] { return tclOn(*evil_, {"ESTIMATE-COUNT VAULT,LEDGER"}).captured == "1"; }},
        {"LIST", verb("LIST VAULT,LEDGER", "405")},
        // The active list feeds the next sentence whatever its file: a select list takes it off.
        {"SELECT",
         [this] {
           const bool made = tclOn(*evil_, {"SELECT VAULT,LEDGER"}).returned == "404";
           (void)runOn(*evil_, req("S", {"-1"}));
           return made;
         }},
        {"SSELECT", verb("SSELECT DICT VAULT,BP", "404")},
        {"SORT", verb("SORT VAULT,LEDGER", "405")},
        {"LIST-INDEX", verb("LIST-INDEX VAULT,LEDGER", "176")},
        {"CT", [this] { return tclOn(*evil_, {"CT VAULT,LEDGER K"}).captured.rfind("K", 0) == 0; }},
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
  EXPECT_EQ(tclOn(*evil_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "234");
  expectEveryProbe(false);

  ASSERT_EQ(tclOn(*vault_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  expectEveryProbe(true);
  ASSERT_EQ(tclOn(*vault_, {"REVOKE-ACCOUNT VAULT EVIL"}).returned, "233");
  expectEveryProbe(false);

  auto dm = system_.open("DM", {"root", "dm-Pass-1"});
  ASSERT_EQ(tclOn(*dm, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  EXPECT_TRUE(probes().front().succeeds());
}

TEST_F(AttackerTest, ARevokeReachesWhatIsAlreadyOpen) {
  ASSERT_EQ(tclOn(*vault_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  const std::string file = runOn(*evil_, req("O", {"VAULT,LEDGER"})).data;
  const std::string index = runOn(*evil_, req("I", {"VAULT,LEDGER", "A1"})).data;
  const std::string module = runOn(*evil_, req("L", {"VAULT,SECRET"})).data;
  ASSERT_EQ(runOn(*evil_, req("r", {file, "K"})).status, 0);  // a lock to give up later
  ASSERT_EQ(runOn(*evil_, callRequest(module, {""})).status, 0);
  ASSERT_EQ(tclOn(*vault_, {"REVOKE-ACCOUNT VAULT EVIL"}).returned, "233");

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
  for (const auto& u : uses) EXPECT_EQ(runOn(*evil_, u.request).status, u.status) << u.request;
  EXPECT_EQ(contents("VAULT"), before);
}

// A transaction stages its changes for later: the grant and the system dictionary's rule hold at
// staging and again at the commit, so a revoke in between keeps the account as it was.
TEST_F(AttackerTest, ATransactionWritesOnlyWhatAWriteCould) {
  ASSERT_EQ(tclOn(*vault_, {"GRANT-ACCOUNT VAULT EVIL"}).returned, "232");
  const std::string file = runOn(*evil_, req("O", {"VAULT,LEDGER"})).data;
  const std::string before = contents("VAULT");
  ASSERT_EQ(tclOn(*evil_, {"TRANSACTION START"}).returned, "270");
  ASSERT_EQ(runOn(*evil_, req("r", {file, "K"})).status, 0);
  ASSERT_EQ(runOn(*evil_, req("W", {file, "K", "stolen"})).status, 0);
  ASSERT_EQ(tclOn(*vault_, {"REVOKE-ACCOUNT VAULT EVIL"}).returned, "233");
  EXPECT_EQ(tclOn(*evil_, {"TRANSACTION COMMIT"}).returned, "275");
  EXPECT_EQ(contents("VAULT"), before);

  auto dm = system_.open("DM", {"root", "dm-Pass-1"});
  const std::string dmMds = runOn(*dm, req("O", {"mds,,"})).data;
  ASSERT_EQ(runOn(*dm, req("W", {dmMds, "X", "V"})).status, 0);
  const std::string mds = runOn(*evil_, req("O", {"mds,,"})).data;
  ASSERT_EQ(tclOn(*evil_, {"TRANSACTION START"}).returned, "270");
  ASSERT_EQ(runOn(*evil_, req("r", {mds, "X"})).status, 0);
  EXPECT_EQ(runOn(*evil_, req("W", {mds, "X", "stolen"})).status, status::kInvalidCall);
  EXPECT_EQ(runOn(*evil_, req("D", {mds, "X"})).status, status::kInvalidCall);
  EXPECT_EQ(tclOn(*evil_, {"TRANSACTION COMMIT"}).returned, "271");
  EXPECT_EQ(runOn(*dm, req("R", {dmMds, "X", "0"})).data, "V");
}

}  // namespace
}  // namespace tarn::server::testing
