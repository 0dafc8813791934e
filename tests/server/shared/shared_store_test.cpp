// Several machines sharing one account on PostgreSQL. Each machine is a client process with its
// own home directory, ODBC configuration and (empty) system directory, whose data source names
// the one database they share; nothing but the database connects them. Without PostgreSQL the
// same tests run on a system directory that the processes share.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

extern char** environ;

namespace tarn::testing {
namespace {

struct Reply {
  int status = -1;
  std::string data;  // '^' for attribute marks; for an ODBC failure, its state and message
  bool failed = false;
};

// A client process on a machine of its own.
class Machine {
 public:
  explicit Machine(const std::string& system) {
    const std::string& dir = home_.path();
    std::filesystem::create_directory(dir + "/system");
    std::ofstream(dir + "/odbcinst.ini") << "[Tarn]\nDriver = " << TARN_ODBC_DRIVER_PATH << "\n";
    std::ofstream(dir + "/odbc.ini") << "[Shared]\nDriver = Tarn\nSystem = " << system
                                     << "\nAccount = TEAM\nCreateAccount = Yes\n";
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name != "HOME" && name != "ODBCSYSINI" && name != "ODBCINI" && name != "TARN_SYSTEM") {
        env.push_back(entry);
      }
    }
    env.push_back("HOME=" + dir);
    env.push_back("ODBCSYSINI=" + dir);
    env.push_back("ODBCINI=" + dir + "/odbc.ini");
    env.push_back("TARN_SYSTEM=" + dir + "/system");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int down[2], up[2];
    // Close-on-exec, so that no later machine inherits this one's ends and keeps it alive.
    if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, down[0], 0);
    posix_spawn_file_actions_adddup2(&actions, up[1], 1);
    char program[] = TARN_SHARED_CLIENT_PATH;
    char* argv[] = {program, nullptr};
    const int rc = posix_spawn(&pid_, program, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(down[0]);
    ::close(up[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
    to_ = fdopen(down[1], "w");
    from_ = fdopen(up[0], "r");
    connected_ = line();
  }

  ~Machine() {
    if (to_ != nullptr) std::fclose(to_);  // the client's end of input: it disconnects and exits
    if (from_ != nullptr) std::fclose(from_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // What the first connect answered: "OK", or the ODBC failure.
  [[nodiscard]] const std::string& connected() const { return connected_; }

  // Sends one line; the answer comes from line().
  void send(const std::string& text) {
    std::fputs((text + "\n").c_str(), to_);
    std::fflush(to_);
  }
  std::string line() {
    char* buffer = nullptr;
    std::size_t size = 0;
    const ssize_t n = getline(&buffer, &size, from_);
    std::string out = n > 0 ? std::string(buffer, static_cast<std::size_t>(n - 1)) : "! EOF";
    std::free(buffer);
    return out;
  }
  std::string say(const std::string& text) {
    send(text);
    return line();
  }

  // A request from its fields, joined by attribute marks.
  Reply q(const std::vector<std::string>& fields) {
    std::string text;
    for (const std::string& f : fields) text += (text.empty() ? "" : "^") + f;
    const std::string answer = say("Q " + text);
    Reply r;
    if (answer.rfind("! ", 0) == 0 || answer.size() < 4) {
      r.failed = true;
      r.data = answer;
      return r;
    }
    r.status = std::stoi(answer.substr(0, 4));
    r.data = answer.size() > 5 ? answer.substr(5) : "";
    return r;
  }
  Reply tcl(const std::string& command) { return q({"E", command}); }
  std::string open(const std::string& file) {
    Reply r = q({"O", file});
    EXPECT_EQ(r.status, 0) << file << ": " << r.data;
    return r.data;
  }

  // Ends the process at once, as a machine that drops off does to its sessions.
  void killNow() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  TempDir home_;
  pid_t pid_ = -1;
  std::FILE* to_ = nullptr;
  std::FILE* from_ = nullptr;
  std::string connected_;
};

class SharedStore : public ::testing::Test {
 protected:
  void SetUp() override {
    if (onPostgres()) database_.emplace(*testPostgres());
  }
  // Without PostgreSQL the machines share a system directory instead: processes of one machine.
  std::unique_ptr<Machine> machine() {
    auto m = std::make_unique<Machine>(database_ ? database_->keywords() : shared_.path());
    EXPECT_EQ(m->connected(), "OK");
    return m;
  }

  TempDir shared_;
  std::optional<ScratchDatabase> database_;
};

int portOf(Machine& m) {
  // WHO's captured text ends in "<port> TEAM".
  const std::string data = m.tcl("WHO").data;
  const std::size_t end = data.rfind(" TEAM");
  const std::size_t start = data.find_last_not_of("0123456789", end - 1) + 1;
  return std::stoi(data.substr(start, end - start));
}

TEST_F(SharedStore, LocksAreRefusedAcrossMachines) {
  auto a = machine(), b = machine();
  ASSERT_EQ(a->tcl("CREATE-FILE F 1").status, 0);
  const std::string fa = a->open("F"), fb = b->open("F");
  EXPECT_NE(portOf(*a), portOf(*b));

  EXPECT_EQ(a->q({"r", fa, "X", "0"}).status, 2);  // missing, and a holds its lock
  const std::vector<std::vector<std::string>> refused = {{"r", fb, "X", "0"},
                                                         {"W", fb, "X", "b"},
                                                         {"V", fb, "X", "1", "b"},
                                                         {"D", fb, "X"},
                                                         {"F", fb}};
  for (const auto& request : refused) EXPECT_EQ(b->q(request).status, 5) << request[0];
  EXPECT_EQ(a->q({"W", fa, "X", "from a"}).status, 0);  // writes, and lets go
  Reply read = b->q({"r", fb, "X", "0"});
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.data, "from a");

  // A file lock keeps every item of the section from the other machine.
  EXPECT_EQ(b->q({"U", fb, "X"}).status, 0);
  EXPECT_EQ(b->q({"F", fb}).status, 0);
  EXPECT_EQ(a->q({"r", fa, "Y", "0"}).status, 5);
  EXPECT_EQ(a->q({"W", fa, "Y", "a"}).status, 5);
  EXPECT_EQ(b->q({"f", fb}).status, 0);
  EXPECT_EQ(a->q({"W", fa, "Y", "a"}).status, 0);
}

TEST_F(SharedStore, AKilledHoldersLocksAreFreed) {
  auto a = machine(), b = machine();
  ASSERT_EQ(a->tcl("CREATE-FILE F 1").status, 0);
  const std::string fa = a->open("F"), fb = b->open("F");
  ASSERT_EQ(a->q({"r", fa, "X", "0"}).status, 2);
  ASSERT_EQ(a->q({"F", fa}).status, 0);
  ASSERT_EQ(b->q({"r", fb, "X", "0"}).status, 5);
  a->killNow();
  // The server notices the session gone when its socket closes; poll until it has, with a
  // generous bound for a loaded machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  Reply r = b->q({"r", fb, "X", "0"});
  while (r.status == 5 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    r = b->q({"r", fb, "X", "0"});
  }
  EXPECT_EQ(r.status, 2) << r.data;  // granted: the item is still missing
  EXPECT_EQ(b->q({"W", fb, "X", "from b"}).status, 0);
  EXPECT_EQ(b->q({"F", fb}).status, 0);  // a's file lock went too
}

TEST_F(SharedStore, ManyMachinesIncrementingLoseNoUpdate) {
  constexpr int kMachines = 8, kItems = 10, kCycles = 500;
  auto setup = machine();
  ASSERT_EQ(setup->tcl("CREATE-FILE COUNTERS 1").status, 0);
  std::vector<std::unique_ptr<Machine>> machines;
  std::vector<std::string> handles;
  for (int i = 0; i < kMachines; ++i) {
    machines.push_back(machine());
    handles.push_back(machines.back()->open("COUNTERS"));
  }
  // All start before any answer is read, so that they run at once.
  for (int i = 0; i < kMachines; ++i) {
    machines[i]->send("INC " + handles[i] + " " + std::to_string(kItems) + " " +
                      std::to_string(kCycles));
  }
  for (auto& m : machines) EXPECT_EQ(m->line().rfind("OK ", 0), 0u);
  const std::string f = setup->open("COUNTERS");
  long sum = 0;
  for (int i = 0; i < kItems; ++i) {
    Reply r = setup->q({"R", f, "N" + std::to_string(i), "0"});
    ASSERT_EQ(r.status, 0) << i;
    sum += std::stol(r.data);
  }
  EXPECT_EQ(sum, kMachines * kCycles);
}

TEST_F(SharedStore, SelectListsAndCountsAgreeAcrossMachines) {
  auto a = machine(), b = machine(), c = machine();
  ASSERT_EQ(a->tcl("CREATE-FILE F 1").status, 0);
  const std::string fa = a->open("F");
  std::set<std::string> all, odd;
  for (int i = 0; i < 40; ++i) {
    const std::string id = "I" + std::to_string(i);
    ASSERT_EQ(a->q({"W", fa, id, i % 2 ? "odd" : "even"}).status, 0);
    all.insert(id);
    if (i % 2) odd.insert(id);
  }
  auto ids = [](const std::string& joined) {
    std::set<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = joined.find('^', start)) != std::string::npos; start = end + 1)
      out.insert(joined.substr(start, end - start));
    if (!joined.empty()) out.insert(joined.substr(start));
    return out;
  };
  for (Machine* m : {a.get(), b.get(), c.get()}) {
    EXPECT_NE(m->tcl("COUNT F").data.find("Count: 40 items."), std::string::npos);
    EXPECT_NE(m->tcl("COUNT F WITH A1 = \"odd\"").data.find("Count: 20 items."), std::string::npos);
    // A snapshot of the file's ids, and the active list of a selection.
    Reply list = m->q({"S", m->open("F")});
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(ids(m->q({"n", list.data}).data), all);
    ASSERT_EQ(m->tcl("SELECT F WITH A1 = \"odd\"").status, 0);
    list = m->q({"S", "-1"});
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(ids(m->q({"n", list.data}).data), odd);
  }
}

// The server restarts under a connected client: its next request fails with a clear error, and
// a new connection works. On a cluster of its own, so that no other test loses its sessions.
TEST(SharedStoreServer, ARestartedServerFailsTheNextRequestThenANewConnectionWorks) {
  if (!onPostgres()) GTEST_SKIP() << "needs TARN_TEST_POSTGRES (a PostgreSQL server to restart)";
  ScratchCluster cluster(TARN_PG_CLUSTER_SCRIPT);
  std::optional<ScratchDatabase> database(std::in_place, cluster.keywords());
  {
    Machine a(database->keywords());
    ASSERT_EQ(a.connected(), "OK");
    ASSERT_EQ(a.tcl("CREATE-FILE F 1").status, 0);
    const std::string f = a.open("F");
    ASSERT_EQ(a.q({"W", f, "X", "kept"}).status, 0);

    cluster.restart();
    Reply lost = a.q({"R", f, "X", "0"});
    EXPECT_TRUE(lost.failed || lost.status != 0) << lost.data;
    EXPECT_NE(lost.data.find("lost"), std::string::npos) << lost.data;

    ASSERT_EQ(a.say("RECONNECT"), "OK");
    Reply again = a.q({"R", a.open("F"), "X", "0"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.data, "kept");
    Machine b(database->keywords());
    EXPECT_EQ(b.connected(), "OK");
  }
  database.reset();  // before the cluster stops
}

}  // namespace
}  // namespace tarn::testing
