// tarnsh as its users run it: in scripts (arguments, standard input) and at a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/odbc_env.h"

namespace tarn {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

const testing::TempDir& work() {
  static testing::TempDir dir;
  static auto config = std::make_unique<testing::OdbcTestEnvironment>(
      std::vector<testing::OdbcDriverEntry>{{"Tarn", TARN_ODBC_DRIVER_PATH}},
      std::vector<testing::OdbcDsnEntry>{{"Shop", "Tarn", {{"System", dir.path() + "/sys"}}}});
  return dir;
}

std::string slurp(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

// Runs tarnsh with args, input on standard input, output into files.
Outcome tarnsh(std::vector<std::string> args, const std::string& input = "") {
  const std::string base = work().path() + "/run";
  std::ofstream(base + ".in") << input;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open((base + ".in").c_str(), O_RDONLY), 0);
    dup2(open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    std::vector<char*> argv{const_cast<char*>(TARNSH_PATH)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(TARNSH_PATH, argv.data());
    _exit(127);
  }
  Outcome r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  return r;
}

void expectInOrder(const std::string& text, const std::vector<std::string>& parts) {
  std::size_t at = 0;
  for (const auto& p : parts) {
    const std::size_t found = text.find(p, at);
    ASSERT_NE(found, std::string::npos) << "missing '" << p << "' in:\n" << text;
    at = found + p.size();
  }
}

TEST(TarnshTest, ScriptedSessionOnADataSource) {
  (void)work();
  const Outcome r = tarnsh({"-s", "Shop", "CREATE-FILE DICT CUST 7", "CREATE-FILE DATA CUST 11",
                            ".write CUST 100 Smith^555-0100]555-0101^a\\b", ".show CUST 100",
                            "SELECT CUST", "LIST CUST", ".data WHO", "DATE"});
  EXPECT_EQ(r.status, 0) << r.err;
  expectInOrder(
      r.out, {"[417] File 'DICT CUST' created", "100\n001 Smith\n002 555-0100]555-0101\n003 a\\b\n",
              "Active list: 1 items selected.\nreturned: 404\n", "100 Smith 555-0100]555-0101 a\\b",
              "[405] 1 items listed.", " day ", " SHOP"});

  // The editor gets one attribute a line and its changes are written back.
  setenv("EDITOR", "sed -i s/Smith/Jones/", 1);
  const Outcome edited = tarnsh({"-s", "Shop", ".edit CUST 100", ".show CUST 100"});
  unsetenv("EDITOR");
  EXPECT_EQ(edited.status, 0) << edited.err;
  expectInOrder(edited.out, {"Item 100 written.", "001 Jones\n002 555-0100]555-0101"});
}

TEST(TarnshTest, AFailureStopsTheScriptWithStatusOne) {
  const Outcome bad = tarnsh({"-s", "Shop"}, "WHO\nNOSUCH-VERB\nDATE\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("error 1030: Invalid call"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.out.find(" day "), std::string::npos) << "ran past the failure: " << bad.out;

  const Outcome missing = tarnsh({"-s", "Shop", "CREATE-FILE DATA GONE 7", ".show GONE nobody"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("error 1026: Item is missing"), std::string::npos) << missing.err;
  EXPECT_EQ(tarnsh({"-s", "NoSuchSource", "WHO"}).status, 2);
  EXPECT_EQ(tarnsh({"-s", "Shop", "-b"}, "DATE\n").status, 0);
}

// A terminal session: tarnsh on a pseudo-terminal, typed at.
class Terminal {
 public:
  explicit Terminal(std::vector<std::string> args) {
    pid_ = forkpty(&fd_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("TERM", "vt100", 1);
      std::vector<char*> argv{const_cast<char*>(TARNSH_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(TARNSH_PATH, argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      close(fd_);
      waitpid(pid_, nullptr, 0);
    }
  }
  void type(const std::string& keys) {
    ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size()));
  }
  // Reads until what appears after everything read before; false when the shell goes quiet
  // for long (a hung shell fails the test instead of hanging it).
  bool waitFor(const std::string& what) {
    while (screen_.find(what, seen_) == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 30000) <= 0) return false;
      char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return false;
      screen_.append(buf, static_cast<std::size_t>(n));
    }
    seen_ = screen_.find(what, seen_) + what.size();
    return true;
  }
  int exitStatus() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    close(fd_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string screen_;
  std::size_t seen_ = 0;
};

TEST(TarnshTest, TerminalSessionOnTheEmbeddedDefaultKeepsHistory) {
  const std::string system = work().path() + "/embedded";
  setenv("TARN_SYSTEM", system.c_str(), 1);
  {
    Terminal t({"-c", "-a", "PTY"});
    ASSERT_TRUE(t.waitFor(":")) << t.screen();
    t.type("CREATE-FILE DATA NOTES 7\r");
    ASSERT_TRUE(t.waitFor("[417] File 'NOTES,NOTES' created")) << t.screen();
    t.type(".write NOTES n1 first]second\r");
    ASSERT_TRUE(t.waitFor(":"));
    t.type(".show NOTES n1\r");
    ASSERT_TRUE(t.waitFor("001 first]second")) << t.screen();
    t.type("\x1b[A\r");  // the previous line again, from the history
    ASSERT_TRUE(t.waitFor("001 first]second")) << t.screen();
    t.type("OFF\r");
    EXPECT_EQ(t.exitStatus(), 0);
  }
  unsetenv("TARN_SYSTEM");
  EXPECT_TRUE(std::filesystem::exists(system + "/PTY.account"));
  const std::string history = slurp(std::string(getenv("HOME")) + "/.tarnsh_history");
  EXPECT_NE(history.find("NOTES"), std::string::npos) << history;
}

// A typo makes nothing; a password reaches the account only from the environment, a private
// file or the terminal, and shows in no message.
TEST(TarnshTest, AccountsOnlyOnPurposeAndPasswordsOffTheCommandLine) {
  const std::string system = work().path() + "/guarded";
  setenv("TARN_SYSTEM", system.c_str(), 1);
  unsetenv("TARN_PASSWORD");
  const Outcome typo = tarnsh({"-a", "secure", "WHO"});
  EXPECT_EQ(typo.status, 2);
  EXPECT_FALSE(std::filesystem::exists(system));

  // Two stacked lines, user and password: the shell's text takes U+00FE as the attribute mark.
  const Outcome protect = tarnsh({"-c", ".data boss\u00FEpw-9;x}", "PROTECT-ACCOUNT DM"});
  ASSERT_NE(protect.out.find("[231]"), std::string::npos) << protect.out << protect.err;
  EXPECT_EQ(tarnsh({"WHO"}).status, 2);  // DM is protected now

  setenv("TARN_PASSWORD", "wrong-Secret-1", 1);
  const Outcome wrong = tarnsh({"-u", "boss", "WHO"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_EQ((wrong.out + wrong.err).find("wrong-Secret-1"), std::string::npos) << wrong.err;
  setenv("TARN_PASSWORD", "pw-9;x}", 1);
  EXPECT_EQ(tarnsh({"-u", "boss", "WHO"}).status, 0);
  unsetenv("TARN_PASSWORD");

  const std::string file = work().path() + "/dm.password";
  std::ofstream(file) << "pw-9;x}\n";
  const std::string named = "DSN=Shop;System=" + system + ";Account=DM;PasswordFile=" + file;
  ::chmod(file.c_str(), 0644);
  const Outcome open = tarnsh({"-s", named, "-u", "boss", "WHO"}, "");
  EXPECT_EQ(open.status, 2);
  EXPECT_NE(open.err.find("chmod 600"), std::string::npos) << open.err;
  ::chmod(file.c_str(), 0600);
  EXPECT_EQ(tarnsh({"-s", named, "-u", "boss", "WHO"}).status, 0);
  unsetenv("TARN_SYSTEM");
}

}  // namespace
}  // namespace tarn
