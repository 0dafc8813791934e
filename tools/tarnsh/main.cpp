// tarnsh: a TCL shell on the class library. Runs TCL commands on a connection and shows their
// output, plus a few commands of its own (".show", ".write", ".edit", ".data", ".about", ...).
#include <editline/readline.h>
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/secret_text.h"
#include "tarn/tarncl.h"
#include "tools/tarnsh/completion.h"
#include "tools/tarnsh/credentials.h"
#include "tools/tarnsh/terminal.h"

namespace {

using tarn::String;

constexpr char kPrompt[] = ":";
constexpr char kUsage[] =
    "usage: tarnsh [-s source] [-a account] [-u user] [-c] [-b] [command ...]\n"
    "  -s, --source source    a data source name from odbc.ini, or a \"DSN=...\" text\n"
    "                         (default: the embedded default system)\n"
    "  -a, --account account  the account on the embedded default system (default DM)\n"
    "  -u, --user user        log on as user to a protected account; the password comes\n"
    "                         from $TARN_PASSWORD, a PasswordFile= of the data source, or\n"
    "                         the terminal, never from the command line\n"
    "  -c, --create           create the account (and the system) when it does not exist\n"
    "  -b, --batch            run the commands on standard input without prompting\n"
    "  -h, --help             this text\n"
    "  command                run these commands and exit\n"
    "\n"
    "Exit status: 0 when every command ran; 1 when a command failed (the library raised an\n"
    "error, or the server answered with an error message number, see .help); 2 for a wrong\n"
    "option or when the connection cannot be made; 130 when Ctrl-C stopped a script.\n";
constexpr char kHelp[] =
    "TCL commands (LIST, SELECT, COUNT, CREATE-FILE, WHO, ...) go to the server.\n"
    "The shell's own commands:\n"
    "  .show [DICT] file id         show an item, one numbered attribute a line\n"
    "  .write [DICT] file id text   write an item: ^ ends an attribute, ] a value, \\ a sub-value\n"
    "  .edit [DICT] file id         edit an item in $VISUAL or $EDITOR (one attribute a line),\n"
    "                               holding its lock until the editor is done\n"
    "  .data text                   stack a line of input for the next command\n"
    "  .pager on|off                page output longer than the terminal ($PAGER; default on)\n"
    "  .about                       show the library's about box\n"
    "  .help                        this text\n"
    "  .quit (or OFF, QUIT)         leave the shell\n"
    "Keys: Tab completes verbs, file names and dictionary names; Ctrl-C drops the line being\n"
    "typed or cancels the running command; Ctrl-D at an empty prompt leaves.\n"
    "A command fails (batch exit status 1) when the server answers with one of the message\n"
    "numbers 173 175 201 202 203 209 210 214 215 230 234 235 236 242 243 245 413 414 416 419\n"
    "421 450.\n";

// The server's message numbers that report a failed command rather than an outcome.
constexpr int kErrorMessages[] = {173, 175, 201, 202, 203, 209, 210, 214, 215, 230, 234,
                                  235, 236, 242, 243, 245, 413, 414, 416, 419, 421, 450};

// Marks as the shell shows and takes them: ] for a value mark, \ for a sub-value mark.
std::string render(const String& text, char attributeMark) {
  String shown;
  shown.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case tarn::kAM:
        shown += static_cast<char16_t>(attributeMark);
        break;
      case tarn::kVM:
        shown += u']';
        break;
      case tarn::kSVM:
        shown += u'\\';
        break;
      default:
        shown += c;
    }
  }
  return tarn::toUtf8(shown);
}

String parseMarks(const std::string& typed, char attributeMark) {
  String text = tarn::fromUtf8(typed);
  for (char16_t& c : text) {
    if (c == static_cast<char16_t>(attributeMark)) {
      c = tarn::kAM;
    } else if (c == u']') {
      c = tarn::kVM;
    } else if (c == u'\\') {
      c = tarn::kSVM;
    }
  }
  return text;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One line for a person: the description, then what the driver manager or server said.
std::string wordsOf(const tarn::TarnError& e) {
  std::string words = tarn::toUtf8(e.description());
  std::string said = tarn::toUtf8(e.diagnostic());
  // "[unixODBC][Driver Manager]..." names who spoke; the words after it are what matter.
  while (!said.empty() && said[0] == '[' && said.find(']') != std::string::npos) {
    said.erase(0, said.find(']') + 1);
  }
  if (!said.empty() && words.find(said) == std::string::npos) {
    words += (words.empty() ? "" : ": ") + said;
  }
  if (!e.sqlState().empty()) words += " (SQL state " + tarn::toUtf8(e.sqlState()) + ")";
  return words.empty() ? std::string(e.what()) : words;
}

class Shell {
 public:
  Shell(tarn::Ref<tarn::clsTarnEnvironment> env, tarn::Ref<tarn::clsTarnConnection> conn,
        bool interactive)
      : env_(std::move(env)),
        conn_(std::move(conn)),
        colourOut_(interactive && tarnsh::coloursWanted(STDOUT_FILENO)),
        colourErr_(interactive && tarnsh::coloursWanted(STDERR_FILENO)) {}

  // Runs one line; false when it failed (the reason is on standard error).
  bool run(const std::string& line) {
    bool ok = false;
    try {
      tarnsh::setRunning(true);
      ok = !line.empty() && line[0] == '.' ? own(line) : tcl(line);
    } catch (const tarn::TarnError& e) {
      report(e);
    } catch (const std::exception& e) {
      std::cerr << tarnsh::coloured("tarnsh: " + std::string(e.what()), "31", colourErr_) << "\n";
    }
    tarnsh::setRunning(false);
    if (tarnsh::takeInterrupt()) {
      std::cerr << "tarnsh: cancelled\n";
      cancelled_ = true;
      return false;
    }
    return ok;
  }

  [[nodiscard]] bool done() const { return done_; }
  // True once Ctrl-C cancelled a command.
  [[nodiscard]] bool cancelled() const { return cancelled_; }
  [[nodiscard]] tarn::clsTarnConnection& connection() const { return *conn_; }

 private:
  // Runs a TCL command; false when the server answered with an error message number.
  bool tcl(const std::string& line) {
    conn_->brExecute(tarn::fromUtf8(line), 3);
    const String captured = conn_->brCapturing()->brCString();
    const String returned = conn_->brReturning()->brCString();
    // The server finished what it could not stop; what it printed is no longer wanted.
    if (tarnsh::interruptPending()) return false;
    std::string out;
    if (!captured.empty()) out += render(captured, '\n') + "\n";
    // A message the command printed shows its number and text; the others are listed after.
    const std::string shown = "\n" + render(captured, '\n');
    std::string unprinted;
    bool failed = false;
    for (const auto& number : words(render(returned, ' '))) {
      if (shown.find("\n[" + number + "] ") == std::string::npos) unprinted += " " + number;
      for (int e : kErrorMessages) failed |= number == std::to_string(e);
    }
    if (!unprinted.empty()) out += "returned:" + unprinted + "\n";
    if (failed && colourOut_) out = tarnsh::coloured(out, "31", true);
    pager_.show(out);
    return !failed;
  }

  bool own(const std::string& line) {
    const std::vector<std::string> w = words(line);
    const std::string& verb = w[0];
    if (verb == ".quit") {
      done_ = true;
    } else if (verb == ".help") {
      std::cout << kHelp;
    } else if (verb == ".about") {
      env_->brAbout();
    } else if (verb == ".data") {
      conn_->brData(tarn::fromUtf8(line.size() > 6 ? line.substr(6) : std::string()));
    } else if (verb == ".pager") {
      if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) throw UsageError(".pager on|off");
      pager_.setEnabled(w[1] == "on");
    } else if (verb == ".show" || verb == ".edit" || verb == ".write") {
      std::size_t at = 1;
      const bool dict = w.size() > 1 && (w[1] == "DICT" || w[1] == "dict");
      if (dict) ++at;
      if (w.size() < at + 2) throw UsageError(verb + " needs a file and an item-id");
      auto file = conn_->brOpenFile(dict ? u"DICT" : u"", tarn::fromUtf8(w[at]));
      const String id = tarn::fromUtf8(w[at + 1]);
      if (verb == ".show") {
        show(*file, id);
      } else if (verb == ".edit") {
        edit(*file, id);
      } else {
        write(*file, id, textAfterWord(line, at + 1));
      }
    } else {
      throw UsageError("unknown command " + verb + " (.help lists them)");
    }
    return true;
  }

  // What follows the n-th word (counted from 0) and one blank.
  static std::string textAfterWord(const std::string& line, std::size_t n) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i <= n; ++i) {
      pos = line.find_first_not_of(' ', pos);
      pos = line.find(' ', pos);
      if (pos == std::string::npos) return "";
    }
    return line.substr(pos + 1);
  }

  void show(tarn::clsTarnFile& file, const String& id) const {
    const String item = file.brRead(id)->brCString();
    std::string out = tarn::toUtf8(id) + "\n";
    std::istringstream lines(render(item, '\n'));
    int n = 0;
    for (std::string attr; std::getline(lines, attr);) {
      char number[16];
      std::snprintf(number, sizeof number, "%03d ", ++n);
      out += number + attr + "\n";
    }
    pager_.show(out);
  }

  void write(tarn::clsTarnFile& file, const String& id, const std::string& typed) {
    auto item = env_->brOpenDynamicArray();
    item->brCString(parseMarks(typed, '^'));
    file.brWrite(item, id);
  }

  // The item stays locked from the read to the write (or to the release when nothing is
  // written), so that no other port changes it while the editor is open; another port's lock
  // fails the read, and the editor is not started.
  void edit(tarn::clsTarnFile& file, const String& id) {
    String item;
    struct Lock {
      tarn::clsTarnFile& file;
      const String& id;
      bool held = true;
      ~Lock() {
        if (!held) return;
        try {
          file.brRelease(id);
        } catch (const tarn::TarnError&) {
          // The connection is gone: so is its lock.
        }
      }
    } lock{file, id};
    try {
      item = file.brRead(id, tarn::Variant::missing(), tarn::Variant(true))->brCString();
    } catch (const tarn::TarnError& e) {
      if (e.number() != tarn::err::kItemMissing) {
        lock.held = false;  // a refused lock was never taken
        throw;
      }
      // A new item starts empty; the lock on its id is held all the same.
    }
    if (item.find_first_of(u"]\\") != String::npos) {
      throw UsageError("the item holds ] or \\ as text, which the editor would read as marks");
    }
    char path[] = "/tmp/tarnsh-item-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) throw UsageError("cannot make a file for the editor");
    close(fd);
    const std::string before = render(item, '\n') + "\n";
    std::ofstream(path) << before;
    const char* editor = std::getenv("VISUAL");
    if (editor == nullptr || *editor == '\0') editor = std::getenv("EDITOR");
    if (editor == nullptr || *editor == '\0') editor = "vi";
    const int status = std::system((std::string(editor) + " '" + path + "'").c_str());
    std::stringstream after;
    after << std::ifstream(path).rdbuf();
    std::filesystem::remove(path);
    if (status != 0) throw UsageError(std::string("the editor ") + editor + " failed");
    std::string text = after.str();
    if (text == before) {
      std::cout << "Item not changed.\n";
      return;
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    auto changed = env_->brOpenDynamicArray();
    changed->brCString(parseMarks(text, '\n'));
    file.brWrite(changed, id);  // releases the lock
    lock.held = false;
    std::cout << "Item " << tarn::toUtf8(id) << " written.\n";
  }

  void report(const tarn::TarnError& e) const {
    const auto code = static_cast<std::uint32_t>(e.number()) - 0x80040000u;
    std::ostringstream line;
    line << "tarnsh: error " << (code < 0x10000u ? static_cast<long long>(code) : e.number())
         << ": " << wordsOf(e) << " (" << tarn::toUtf8(e.source()) << ")";
    std::cerr << tarnsh::coloured(line.str(), "31", colourErr_) << "\n";
  }

  tarn::Ref<tarn::clsTarnEnvironment> env_;
  tarn::Ref<tarn::clsTarnConnection> conn_;
  bool colourOut_;
  bool colourErr_;
  tarnsh::Pager pager_;
  bool done_ = false;
  bool cancelled_ = false;
};

// The driver of this installation, or of the build tree it was built in.
std::string findDriver() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto installed = self.parent_path() / TARNSH_DRIVER_FROM_BINDIR;
    if (std::filesystem::exists(installed, ec)) return installed.string();
  }
  return TARNSH_BUILD_DRIVER;
}

// The embedded default system: a private ODBC configuration names this installation's driver
// for the process, so that no odbc.ini entry is needed. It is read at connect time only.
tarn::Ref<tarn::clsTarnConnection> connectEmbedded(tarn::clsTarnEnvironment& env,
                                                   const std::string& account, bool create,
                                                   const std::string& credentials) {
  const auto dir = std::filesystem::temp_directory_path() / "tarnsh-odbc-XXXXXX";
  std::string pattern = dir.string();
  if (mkdtemp(pattern.data()) == nullptr) throw UsageError("cannot make a temporary directory");
  // Threading = 0: the driver is thread-safe, and the driver manager then lets the interrupt
  // key's SQLCancel through while a request runs.
  std::ofstream(pattern + "/odbcinst.ini")
      << "[Tarn]\nDriver = " << findDriver() << "\nThreading = 0\n";
  std::ofstream(pattern + "/odbc.ini")
      << "[TarnShell]\nDriver = Tarn\nAccount = " << account << "\n"
      << (create ? "CreateAccount = Yes\n" : "");
  setenv("ODBCSYSINI", pattern.c_str(), 1);
  setenv("ODBCINI", (pattern + "/odbc.ini").c_str(), 1);
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{pattern};
  if (credentials.empty()) return env.brOpenConnection(u"ODBC", u"TarnShell");
  return env.brOpenConnection(u"ODBC", tarn::fromUtf8("DSN=TarnShell" + credentials));
}

std::string historyPath() {
  const char* home = std::getenv("HOME");
  return home ? std::string(home) + "/.tarnsh_history" : std::string();
}

// Reads a key for the line editor. Ctrl-C ends the read at once (as end of input, which the
// loop below tells apart by the interrupt flag), where the editor itself would read on. The flag
// is looked at before each read too, since the signal may come while the editor is busy rather
// than waiting in read(). A key that a read returns once the flag is up was typed before the
// Ctrl-C (the "^C" that invites the next line is not shown yet), so it goes with the dropped line,
// as the terminal itself drops the rest of its queue on an interrupt.
int readKey(FILE*) {
  unsigned char c = 0;
  while (!tarnsh::interruptPending()) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return tarnsh::interruptPending() ? EOF : c;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return EOF;
}

int interactive(Shell& shell) {
  const std::string history = historyPath();
  rl_getc_function = readKey;
  using_history();
  stifle_history(1000);
  if (!history.empty()) read_history(history.c_str());
  tarnsh::Completer completer(shell.connection());
  while (!shell.done()) {
    (void)tarnsh::takeInterrupt();
    char* raw = readline(kPrompt);
    if (tarnsh::takeInterrupt()) {
      // Ctrl-C at the prompt: the line typed so far is dropped, and a fresh prompt follows.
      free(raw);
      std::cout << "^C\n";
      continue;
    }
    if (raw == nullptr) {
      std::cout << "\n";
      break;
    }
    std::string line(raw);
    free(raw);
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    add_history(line.c_str());
    // Saved after every line, so that no way of leaving (a signal, a lost terminal) loses it.
    if (!history.empty()) write_history(history.c_str());
    const auto w = words(line);
    if (w.size() == 1 && (w[0] == "OFF" || w[0] == "QUIT" || w[0] == "off" || w[0] == "quit")) {
      break;
    }
    shell.run(line);
    completer.forget();  // the command may have made or deleted files
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string source;
  std::string account = "DM";
  std::string user;
  bool create = false;
  bool batch = false;
  static const option longOptions[] = {{"source", required_argument, nullptr, 's'},
                                       {"account", required_argument, nullptr, 'a'},
                                       {"user", required_argument, nullptr, 'u'},
                                       {"create", no_argument, nullptr, 'c'},
                                       {"batch", no_argument, nullptr, 'b'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  for (int opt; (opt = getopt_long(argc, argv, "+s:a:u:cbh", longOptions, nullptr)) != -1;) {
    switch (opt) {
      case 's':
        source = optarg;
        break;
      case 'a':
        account = optarg;
        break;
      case 'u':
        user = optarg;
        break;
      case 'c':
        create = true;
        break;
      case 'b':
        batch = true;
        break;
      case 'h':
        std::cout << kUsage << "\n" << kHelp;
        return 0;
      default:
        std::cerr << kUsage;
        return 2;
    }
  }
  tarn::Ref<tarn::clsTarnEnvironment> env = tarn::clsTarnEnvironment::create();
  tarn::Ref<tarn::clsTarnConnection> conn;
  try {
    // Added to the connection text: the user and password only from -u (never from argv), and
    // permission to create.
    std::string extra;
    if (!user.empty() && !tarnsh::hasAttribute(source, "PWD")) {
      extra += ";" + tarnsh::attribute("UID", user);
      extra += ";" + tarnsh::attribute("PWD", tarnsh::findPassword(user, {source}));
    }
    if (source.empty()) {
      conn = connectEmbedded(*env, account, create, extra);
    } else {
      if (create) extra += ";CreateAccount=Yes";
      std::string text = source;
      if (!extra.empty() && source.find('=') == std::string::npos) text = "DSN=" + source;
      conn = env->brOpenConnection(u"ODBC", tarn::fromUtf8(text + extra));
    }
  } catch (const tarn::TarnError& e) {
    std::cerr << "tarnsh: cannot connect: " << wordsOf(e) << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "tarnsh: cannot connect: " << tarn::secrets::masked(e.what()) << "\n";
    return 2;
  }
  const bool atTerminal = optind >= argc && !batch && isatty(STDIN_FILENO);
  // A pager that quits early must not end the shell.
  signal(SIGPIPE, SIG_IGN);
  tarnsh::installInterruptHandler([conn] { conn->rsCancel(); });
  Shell shell(env, conn, atTerminal);
  int status = 0;
  if (optind < argc) {
    for (int i = optind; i < argc && !shell.done(); ++i) {
      if (!shell.run(argv[i])) {
        status = 1;
        break;
      }
    }
  } else if (atTerminal) {
    status = interactive(shell);
  } else {
    // Scripts: stop at the first failure so that later commands do not run on a wrong state.
    for (std::string line; !shell.done() && std::getline(std::cin, line);) {
      if (line.find_first_not_of(' ') == std::string::npos) continue;
      if (!shell.run(line)) {
        status = 1;
        break;
      }
    }
  }
  // Ctrl-C in a script stops it, as the interrupt key stops other programs' scripts.
  if (!atTerminal && shell.cancelled()) status = 130;
  tarnsh::removeInterruptHandler();
  env->brCloseConnection(conn);
  return status;
}
