// Ports in other processes and on other threads: shared locks, dead holders, killed writers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "server/engine/session.h"
#include "tests/server/engine/child_process.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

class Processes : public EngineTest {};

TEST_F(Processes, ALockHeldByAnotherProcessHoldsUntilThatProcessDies) {
  std::string f = openFile("CUST");
  ASSERT_EQ(run(req("W", {f, "1", "one"})).status, 0);
  const std::string path = system_.path();
  Child child([&](Child& self) {
    auto p = Port::open({path, "SALES", {}, true});
    std::string fc = runOn(*p, req("O", {"CUST"})).data;
    Reply r = runOn(*p, req("r", {fc, "1", "0"}));
    self.send(std::to_string(r.status) + " " + std::to_string(p->number()));
    for (;;) pause();  // holds the lock until killed
  });
  std::optional<std::string> hello = child.receive();
  ASSERT_TRUE(hello.has_value());
  ASSERT_EQ(hello->substr(0, 2), "0 ");
  // The child's port number differs from every live port here.
  EXPECT_NE(std::stoi(hello->substr(2)), port_->number());

  EXPECT_EQ(run(req("r", {f, "1", "0"})).status, status::kLocked);
  EXPECT_EQ(run(req("W", {f, "1", "mine"})).status, status::kLocked);
  EXPECT_EQ(run(req("F", {f})).status, status::kLocked);
  EXPECT_EQ(run(req("R", {f, "1", "0"})).data, "one");

  child.killNow();
  EXPECT_EQ(run(req("r", {f, "1", "0"})).data, "one");
  EXPECT_EQ(run(req("W", {f, "1", "mine"})).status, 0);
  // The dead port's number is free for the next port.
  EXPECT_EQ(run(req("Z", {"18"})).data, "1");
}

TEST_F(Processes, EveryAnsweredWriteSurvivesAKilledWriter) {
  const std::string path = system_.path();
  Child child([&](Child& self) {
    auto p = Port::open({path, "SALES", {}, true});
    std::string fc = runOn(*p, req("O", {"CUST"})).data;
    const std::string body(300, 'b');
    for (int i = 0;; ++i) {
      std::string id = "K" + std::to_string(i);
      if (runOn(*p, req("W", {fc, id, body + id})).status != 0) _exit(2);
      self.send(id);
    }
  });
  std::vector<std::string> answered;
  while (answered.size() < 400) {
    std::optional<std::string> id = child.receive();
    ASSERT_TRUE(id.has_value()) << "writer stopped after " << answered.size();
    answered.push_back(*id);
  }
  child.killNow();
  // Lines written before the kill may still be in the pipe: they were answered too.
  while (std::optional<std::string> id = child.receive()) answered.push_back(*id);

  port_.reset();
  auto reopened = system_.open();
  std::string f = runOn(*reopened, req("O", {"CUST"})).data;
  for (const std::string& id : answered) {
    Reply r = runOn(*reopened, req("R", {f, id, "0"}));
    ASSERT_EQ(r.status, 0) << id;
    EXPECT_EQ(r.data, std::string(300, 'b') + id);
  }
  if (::tarn::testing::onPostgres()) return;  // the rest checks the SQLite file itself
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((system_.path() + "/SALES.account").c_str(), &db), SQLITE_OK);
  std::string integrity;
  sqlite3_exec(
      db, "PRAGMA integrity_check",
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0] ? values[0] : "";
        return 0;
      },
      &integrity, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(integrity, "ok");
}

TEST_F(Processes, PortsOnSeveralThreadsWorkAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kItems = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto p = system_.open();
      std::string f = runOn(*p, req("O", {"CUST"})).data;
      for (int i = 0; i < kItems; ++i) {
        std::string id = std::to_string(t) + "-" + std::to_string(i);
        if (runOn(*p, req("W", {f, id, id})).status != 0) ++failures;
        if (runOn(*p, req("R", {f, id, "0"})).data != id) ++failures;
        // Everyone contends for one lock: it is either granted or refused, never both.
        Reply lock = runOn(*p, req("r", {f, "shared", "0"}));
        if (lock.status != status::kItemMissing && lock.status != status::kLocked) ++failures;
        if (lock.status == status::kItemMissing && runOn(*p, req("U", {f, "shared"})).status != 0)
          ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(tcl("COUNT CUST").captured, "Count: " + std::to_string(kThreads * kItems) + " items.");
}

TEST_F(Processes, PortNumbersAreUniqueAmongLivePortsAndReused) {
  auto a = system_.open(), b = system_.open();
  std::set<int> numbers{port_->number(), a->number(), b->number()};
  EXPECT_EQ(numbers.size(), 3u);
  int freed = a->number();
  a.reset();
  auto c = system_.open();
  EXPECT_EQ(c->number(), freed);
}

TEST(PortOpen, FailuresThrowEngineError) {
  EXPECT_THROW((void)Port::open({"", "SALES"}), EngineError);
  EXPECT_THROW((void)Port::open({"/proc/no/such/dir", "SALES"}), EngineError);
  TempSystem s;
  EXPECT_THROW((void)s.open("../escape"), EngineError);
  // An empty account logs on to DM; new accounts are made on first use.
  auto dm = s.open("");
  EXPECT_EQ(runOn(*dm, req("Z", {"33"})).data, "DM");
  auto fresh = s.open("fresh");
  EXPECT_EQ(runOn(*fresh, req("Z", {"33"})).data, "FRESH");
  if (::tarn::testing::onPostgres()) return;  // the rest is about files in a system directory
  // An account file that is not an account database is refused, not repaired or overwritten.
  {
    std::FILE* f = std::fopen((s.path() + "/BROKEN.account").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("this is not a database, just some text that fills a page or two", f);
    std::fclose(f);
  }
  EXPECT_THROW((void)s.open("BROKEN"), EngineError);
  // ... and a port that meets it through a reference answers with a status.
  EXPECT_EQ(runOn(*fresh, req("O", {"BROKEN,CUST"})).status, status::kCorrupt);
  TclReply logto = tclOn(*fresh, {"LOGTO BROKEN", "WHO"});
  EXPECT_EQ(logto.status, 0);
  EXPECT_EQ(logto.returned, "209");  // the stacked WHO still runs
  EXPECT_EQ(logto.captured.substr(logto.captured.rfind(AM) + 1),
            std::to_string(fresh->number()) + " FRESH");
  EXPECT_EQ(runOn(*fresh, req("Z", {"33"})).data, "FRESH");
}

// Several processes meeting a system directory (and an account) that none of them has seen
// must all log on: whoever creates a file, the others find it complete.
TEST(FirstUse, ProcessesStartingTogetherOnANewSystemAllLogOn) {
  // On PostgreSQL the new system is an empty database.
  std::optional<TempSystem> database;
  if (::tarn::testing::onPostgres()) database.emplace();
  const std::string dir = database
                              ? database->path()
                              : ::testing::TempDir() + "tarn-first-use-" + std::to_string(getpid());
  if (!database) std::filesystem::remove_all(dir);
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 6; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      (void)!read(gate[0], &c, 1);  // returns when the parent closes the gate: all start at once
      try {
        auto port = Port::open({dir, "SALES", {}, true});
        const std::string reply = port->execute(req("Z", {"22"}));
        _exit(reply.compare(0, 4, "0000") == 0 ? 0 : 2);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child: %s\n", e.what());
        _exit(3);
      } catch (...) {
        _exit(4);
      }
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child exit " << status;
  }
  if (!database) std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarn::server::testing
