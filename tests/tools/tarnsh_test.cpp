// tarnsh as its users run it: in scripts (arguments, standard input) and at a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tarn/tarncl.h"
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
                            "SELECT CUST", "LIST CUST A1", ".data WHO", "DATE"});
  EXPECT_EQ(r.status, 0) << r.err;
  expectInOrder(
      r.out, {"[417] File 'DICT CUST' created", "100\n001 Smith\n002 555-0100]555-0101\n003 a\\b\n",
              "Active list: 1 items selected.\nreturned: 404\n", "100        Smith\n",
              "[405] 1 items listed.", " day ", " SHOP"});

  // The editor gets one attribute a line and its changes are written back.
  setenv("EDITOR", "sed -i s/Smith/Jones/", 1);
  const Outcome edited = tarnsh({"-s", "Shop", ".edit CUST 100", ".show CUST 100"});
  unsetenv("EDITOR");
  EXPECT_EQ(edited.status, 0) << edited.err;
  expectInOrder(edited.out, {"Item 100 written.", "001 Jones\n002 555-0100]555-0101"});
}

// Exit statuses and their words: a failure stops a script (1), whether the library raised it
// or the server answered with an error message number; a wrong option or a failed connect is
// 2, with the failure's words after "cannot connect:".
TEST(TarnshTest, ExitStatusesOfScripts) {
  (void)work();
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, err;  // each must appear (in standard output, standard error)
  } rows[] = {
      {{"-s", "Shop"}, "WHO\nNOSUCH-VERB\nDATE\n", 1, "", "NOSUCH-VERB"},
      {{"-s", "Shop", "SELECT NOFILE", "DATE"}, "", 1, "[201] 'NOFILE' is not a file name.", ""},
      {{"-s", "Shop", "-b"},
       "CREATE-FILE DATA TWICE 7\nCREATE-FILE DATA TWICE 7\nDATE\n",
       1,
       "[413]",
       ""},
      {{"-s", "Shop", "CREATE-FILE DATA GONE 7", ".show GONE nobody"},
       "",
       1,
       "",
       "error 1026: Item is missing"},
      {{"-s", "Shop", "SELECT GONE"}, "", 0, "returned: 401", ""},
      {{"-s", "Shop", "-b"}, "DATE\n", 0, " day ", ""},
      {{"-s", "NoSuchSource", "WHO"},
       "",
       2,
       "",
       "tarnsh: cannot connect: Data source name not found"},
      {{"--bogus"}, "", 2, "", "usage: tarnsh"},
      {{"--help"}, "", 0, ".pager on|off", ""},
  };
  for (const auto& row : rows) {
    const Outcome r = tarnsh(row.args, row.input);
    SCOPED_TRACE(row.args.back() + " / " + row.input);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    // Nothing runs after the failure, and no colour codes reach a file.
    if (row.status == 1) {
      EXPECT_EQ(r.out.find(" day "), std::string::npos) << r.out;
    }
    EXPECT_EQ((r.out + r.err).find("\x1b["), std::string::npos);
  }
  // --help lists every command of the shell.
  const Outcome help = tarnsh({"--help"});
  for (const char* command :
       {".show", ".write", ".edit", ".data", ".pager", ".about", ".help", ".quit", "Exit status"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
}

// A terminal session: tarnsh on a pseudo-terminal, typed at.
class Terminal {
 public:
  explicit Terminal(std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = forkpty(&fd_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      setenv("TERM", "vt100", 1);
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
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
  void kill(int signal) { ::kill(pid_, signal); }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string screen_;
  std::size_t seen_ = 0;
};

// The environment of a terminal session on the data source Shop, with a home of its own.
std::vector<std::pair<std::string, std::string>> shopTerminal(
    std::vector<std::pair<std::string, std::string>> more = {}) {
  const std::string home = work().path() + "/home";
  std::filesystem::create_directories(home);
  more.emplace_back("HOME", home);
  return more;
}

TEST(TarnshTest, TerminalSessionOnTheEmbeddedDefaultKeepsHistory) {
  const std::string system = work().path() + "/embedded";
  const auto env = shopTerminal({{"TARN_SYSTEM", system}});
  const std::string history = env.back().second + "/.tarnsh_history";
  {
    Terminal t({"-c", "-a", "PTY"}, env);
    ASSERT_TRUE(t.waitFor(":")) << t.screen();
    t.type("CREATE-FILE DATA NOTES 7\r");
    ASSERT_TRUE(t.waitFor("[417] File 'NOTES,NOTES' created")) << t.screen();
    t.type(".write NOTES n1 first]second\r");
    ASSERT_TRUE(t.waitFor(":"));
    t.type(".show NOTES n1\r");
    ASSERT_TRUE(t.waitFor("001 first]second")) << t.screen();
    t.type("\x1b[A\r");  // the previous line again, from the history
    ASSERT_TRUE(t.waitFor("001 first]second")) << t.screen();
    // Typed at the prompt, not ahead of it: before the prompt the terminal is in its own mode,
    // where an interrupt discards the typed-ahead keys without the shell seeing a line at all.
    ASSERT_TRUE(t.waitFor(":")) << t.screen();
    // Ctrl-C drops the line being typed and leaves the shell at a fresh prompt.
    t.type("DELETE-FILE NOTES");
    ASSERT_TRUE(t.waitFor("DELETE-FILE NOTES"));
    t.type("\x03");
    ASSERT_TRUE(t.waitFor("^C")) << t.screen();
    t.type("DATE\r");
    ASSERT_TRUE(t.waitFor(" day ")) << t.screen();
    EXPECT_EQ(t.screen().find("[418]"), std::string::npos) << "the dropped line ran";
    // The history is on disk before the shell ends, however it ends.
    EXPECT_NE(slurp(history).find("NOTES"), std::string::npos);
    t.kill(SIGHUP);
  }
  EXPECT_TRUE(std::filesystem::exists(system + "/PTY.account"));
  EXPECT_NE(slurp(history).find("DATE"), std::string::npos) << slurp(history);
}

TEST(TarnshTest, TabCompletesVerbsFilesAndDictionaryNames) {
  ASSERT_EQ(tarnsh({"-s", "Shop", "CREATE-FILE PARTS 7 11", ".write DICT PARTS COLOUR A^1"}).status,
            0);
  const auto env = shopTerminal();
  Terminal t({"-s", "Shop"}, env);
  ASSERT_TRUE(t.waitFor(":")) << t.screen();
  // The line as completed runs, and the history keeps it as it ran.
  t.type("SSEL\tPAR\tBY COL\t\r");
  ASSERT_TRUE(t.waitFor("returned: 401")) << t.screen();
  t.type("OFF\r");
  EXPECT_EQ(t.exitStatus(), 0);
  EXPECT_NE(
      slurp(env.back().second + "/.tarnsh_history").find("SSELECT\\040PARTS\\040BY\\040COLOUR"),
      std::string::npos)
      << slurp(env.back().second + "/.tarnsh_history");
}

// Output longer than the terminal goes through $PAGER unless .pager off; errors are red on a
// terminal, and plain with NO_COLOR.
TEST(TarnshTest, PagerAndColoursOnlyWhereWanted) {
  std::string many;
  for (int i = 0; i < 40; ++i) many += "^line" + std::to_string(i);
  ASSERT_EQ(tarnsh({"-s", "Shop", "CREATE-FILE LONG 7 11", ".write LONG big top" + many}).status,
            0);
  for (const bool noColour : {false, true}) {
    auto env = shopTerminal({{"PAGER", "sed s/^/PAGED:/"}});
    if (noColour) env.emplace_back("NO_COLOR", "1");
    Terminal t({"-s", "Shop"}, env);
    ASSERT_TRUE(t.waitFor(":")) << t.screen();
    t.type(".show LONG big\r");
    ASSERT_TRUE(t.waitFor("PAGED:041 line39")) << t.screen();
    t.type(".pager off\r.show LONG big\r");
    ASSERT_TRUE(t.waitFor("\n041 line39")) << t.screen();
    t.type(".show LONG nothing\r");
    ASSERT_TRUE(t.waitFor("Item is missing")) << t.screen();
    EXPECT_EQ(t.screen().find("\x1b[31m") == std::string::npos, noColour) << t.screen();
    t.type("OFF\r");
    EXPECT_EQ(t.exitStatus(), 0);
  }
}

// .edit holds the item's lock while the editor is open: another connection's locking read is
// refused meanwhile, and succeeds once the edit is written.
TEST(TarnshTest, EditHoldsTheItemLockAgainstAnotherConnection) {
  ASSERT_EQ(tarnsh({"-s", "Shop", "CREATE-FILE HELD 7 11", ".write HELD h1 before"}).status, 0);
  const std::string dir = work().path();
  const std::string editor = dir + "/slow-editor";
  // The editor says it is open, waits to be let go, then changes the item.
  std::ofstream(editor) << "#!/bin/sh\ntouch '" << dir << "/editing'\n"
                        << "while [ ! -e '" << dir << "/go' ]; do sleep 0.05; done\n"
                        << "sed -i s/before/after/ \"$1\"\n";
  std::filesystem::permissions(editor, std::filesystem::perms::owner_all);
  std::filesystem::remove(dir + "/editing");
  std::filesystem::remove(dir + "/go");
  Terminal t({"-s", "Shop"}, shopTerminal({{"EDITOR", editor}}));
  ASSERT_TRUE(t.waitFor(":")) << t.screen();
  t.type(".edit HELD h1\r");
  for (int i = 0; i < 600 && !std::filesystem::exists(dir + "/editing"); ++i) usleep(50000);
  ASSERT_TRUE(std::filesystem::exists(dir + "/editing")) << t.screen();

  auto env = clsTarnEnvironment::create();
  auto other = env->brOpenConnection(u"ODBC", u"Shop");
  auto file = other->brOpenFile(u"", u"HELD");
  try {
    (void)file->brRead(u"h1", Variant::missing(), Variant(true));
    ADD_FAILURE() << "the item was not locked while the editor was open";
  } catch (const TarnError& e) {
    EXPECT_EQ(e.number(), err::kLocked) << toUtf8(e.description());
  }
  std::ofstream(dir + "/go") << "";
  ASSERT_TRUE(t.waitFor("Item h1 written.")) << t.screen();
  EXPECT_EQ(file->brRead(u"h1", Variant::missing(), Variant(true))->brCString(), u"after");
  file->brRelease(u"h1");

  // A locked item is not edited: the shell says so and the editor never starts.
  (void)file->brRead(u"h1", Variant::missing(), Variant(true));
  std::filesystem::remove(dir + "/editing");
  t.type(".edit HELD h1\r");
  ASSERT_TRUE(t.waitFor("locked")) << t.screen();
  EXPECT_FALSE(std::filesystem::exists(dir + "/editing"));
  t.type("OFF\r");
  EXPECT_EQ(t.exitStatus(), 0);
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
