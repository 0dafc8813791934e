#include "server/engine/tcl/tcl.h"

#include "server/engine/store/protection.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>

#include "server/engine/conv/conversion.h"
#include "server/engine/corvex/modules.h"

namespace tarn::server::tcl {
namespace {

using store::equalsNoCase;
using store::kAttributeMark;
using store::kValueMark;

// Message numbers of this interpreter (listed for administrators in server/README.md).
namespace msg {
constexpr int kNotAFile = 201;
constexpr int kNotAnAttribute = 202;
constexpr int kSyntax = 203;
constexpr int kStoreFailed = 209;
constexpr int kNotAnAccount = 210;
constexpr int kLoggedOn = 211;
constexpr int kVerbsUpdated = 212;
constexpr int kAccountCreated = 213;
constexpr int kAccountExists = 214;
constexpr int kBadAccountName = 215;
constexpr int kIndexExists = 171;
constexpr int kIndexCreated = 172;
constexpr int kBadCorrelative = 173;
constexpr int kIndexDeleted = 174;
constexpr int kNoSuchIndex = 175;
constexpr int kNoItems = 401;
constexpr int kSelected = 404;
constexpr int kListed = 405;
constexpr int kCounted = 407;
constexpr int kFileExists = 413;
constexpr int kBadFileName = 414;
constexpr int kMasterDictionary = 416;
constexpr int kFileCreated = 417;
constexpr int kFileDeleted = 418;
constexpr int kFileInUse = 419;
constexpr int kFileCleared = 420;
constexpr int kBadModulo = 421;
constexpr int kCaseShown = 431;
constexpr int kAccessRefused = 230;
constexpr int kAccountProtected = 231;
constexpr int kGranted = 232;
constexpr int kRevoked = 233;
constexpr int kNotYours = 234;
constexpr int kSystemDictionary = 235;
constexpr int kProtectDmFirst = 236;
constexpr int kOverLimit = 450;
}  // namespace msg

// The request status of a run stopped by one of the port's limits.
constexpr int kOverLimitStatus = 40;

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += p;
  return out;
}

std::string twoDigits(int n) {
  std::string s = std::to_string(n);
  return s.size() < 2 ? cat({"0", s}) : s;
}

std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

bool isNumber(std::string_view s, double& out) {
  if (s.empty()) return false;
  const char* first = s.data();
  const char* last = first + s.size();
  if (*first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, out);
  return ec == std::errc() && end == last;
}

// ---------------------------------------------------------------- queries

enum class Op { kEqual, kNotEqual, kLess, kGreater, kLessEqual, kGreaterEqual, kPresent };

struct Condition {
  long attribute = 0;
  Op op = Op::kPresent;
  std::vector<std::string> values;
};

struct SortKey {
  long attribute = 0;
  bool descending = false;
};

struct Query {
  std::string reference;
  std::vector<std::vector<Condition>> anyOf;  // OR of AND groups
  std::vector<SortKey> sort;
  std::vector<long> columns;
  std::vector<std::string> ids;  // explicit item-ids, when given
};

std::optional<Op> opFor(const Word& w) {
  if (w.quoted) return std::nullopt;
  static const std::pair<std::string_view, Op> kOps[] = {
      {"=", Op::kEqual},        {"EQ", Op::kEqual},     {"#", Op::kNotEqual},
      {"NE", Op::kNotEqual},    {"<>", Op::kNotEqual},  {"<", Op::kLess},
      {"LT", Op::kLess},        {">", Op::kGreater},    {"GT", Op::kGreater},
      {"<=", Op::kLessEqual},   {"LE", Op::kLessEqual}, {">=", Op::kGreaterEqual},
      {"GE", Op::kGreaterEqual}};
  for (const auto& [text, op] : kOps)
    if (equalsNoCase(w.text, text)) return op;
  return std::nullopt;
}

bool isKeyword(const Word& w) {
  if (w.quoted) return false;
  for (std::string_view k : {"WITH", "IF", "AND", "OR", "BY", "BY-DSND"})
    if (equalsNoCase(w.text, k)) return true;
  return false;
}

int compareText(std::string_view a, std::string_view b, bool caseSensitive) {
  if (caseSensitive) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto up = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    unsigned char x = static_cast<unsigned char>(up(a[i]));
    unsigned char y = static_cast<unsigned char>(up(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Numbers compare as numbers; anything else as text.
int compareValues(std::string_view a, std::string_view b, bool caseSensitive) {
  double x = 0, y = 0;
  if (isNumber(a, x) && isNumber(b, y)) return x < y ? -1 : (x > y ? 1 : 0);
  return compareText(a, b, caseSensitive);
}

bool matchesOne(std::string_view value, Op op, std::string_view pattern, bool caseSensitive) {
  if (op == Op::kEqual || op == Op::kNotEqual) {
    // ']' at the end: begins with; '[' at the start: ends with; both: contains.
    bool prefix = pattern.size() > 1 && pattern.back() == ']';
    bool suffix = pattern.size() > 1 && pattern.front() == '[';
    if (prefix) pattern.remove_suffix(1);
    if (suffix) pattern.remove_prefix(1);
    bool equal = false;
    if (!prefix && !suffix) {
      equal = compareValues(value, pattern, caseSensitive) == 0;
    } else {
      for (std::size_t at = 0; !equal && at + pattern.size() <= value.size(); ++at) {
        if (prefix && !suffix && at > 0) break;
        if (suffix && !prefix && at + pattern.size() != value.size()) continue;
        equal = compareText(value.substr(at, pattern.size()), pattern, caseSensitive) == 0;
      }
    }
    return op == Op::kEqual ? equal : !equal;
  }
  int c = compareValues(value, pattern, caseSensitive);
  switch (op) {
    case Op::kLess:
      return c < 0;
    case Op::kGreater:
      return c > 0;
    case Op::kLessEqual:
      return c <= 0;
    case Op::kGreaterEqual:
      return c >= 0;
    default:
      return false;
  }
}

std::string_view attributeOf(std::string_view id, std::string_view body, long n) {
  if (n == 0) return id;
  std::size_t start = 0;
  for (long i = 1; i < n; ++i) {
    std::size_t mark = body.find(kAttributeMark, start);
    if (mark == std::string_view::npos) return {};
    start = mark + 1;
  }
  std::size_t end = body.find(kAttributeMark, start);
  return body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// A multi-valued attribute satisfies a condition when one of its values does; several values in
// the condition are alternatives, except that '#' must differ from all of them.
bool holds(const Condition& c, std::string_view id, std::string_view body, bool caseSensitive) {
  std::string_view attribute = attributeOf(id, body, c.attribute);
  if (c.op == Op::kPresent) return !attribute.empty();
  for (;;) {
    std::size_t mark = attribute.find(kValueMark);
    std::string_view value = attribute.substr(0, mark);
    bool ok = c.op == Op::kNotEqual;
    for (const std::string& pattern : c.values) {
      bool m = matchesOne(value, c.op, pattern, caseSensitive);
      if (c.op == Op::kNotEqual) {
        ok = ok && m;
      } else if (m) {
        ok = true;
        break;
      }
    }
    if (ok) return true;
    if (mark == std::string_view::npos) return false;
    attribute.remove_prefix(mark + 1);
  }
}

struct Failure {
  int number;
  std::string text;
};

// The stacked lines of one "E": each is a command, unless a verb takes it as its input.
class StackedInput {
 public:
  StackedInput(std::string_view lines, bool present) : rest_(lines), more_(present) {}
  [[nodiscard]] bool more() const noexcept { return more_; }
  // The next line, or nothing when none is left.
  std::optional<std::string_view> next() {
    if (!more_) return std::nullopt;
    const std::size_t mark = rest_.find(kAttributeMark);
    const std::string_view line = rest_.substr(0, mark);
    more_ = mark != std::string_view::npos;
    rest_.remove_prefix(more_ ? mark + 1 : rest_.size());
    return line;
  }
  // Drops every line left: after a refused LOGTO they were meant for another account, and may
  // be credentials.
  void discard() noexcept { more_ = false; }

 private:
  std::string_view rest_;
  bool more_;
};

class Interpreter {
 public:
  Interpreter(PortState& state, Outcome& out, StackedInput& input)
      : state_(state), out_(out), input_(input) {}

  // False when the verb is unknown.
  bool runLine(std::string_view line);
  // Stops the run: the message goes into the captured output, status 40 into the reply.
  void overLimit(std::string_view text) {
    message(msg::kOverLimit, text);
    out_.status = kOverLimitStatus;
  }

 private:
  void print(std::string_view line) {
    if (printed_++ > 0) out_.captured.push_back(kAttributeMark);
    out_.captured.append(line);
  }
  void message(int number, std::string_view text) {
    std::string line = "[";
    line += std::to_string(number);
    line += "] ";
    line += text;
    print(line);
    note(number);
  }
  void note(int number) {
    if (!out_.returned.empty()) out_.returned.push_back(kAttributeMark);
    out_.returned += std::to_string(number);
  }

  bool runVerb(std::string_view verb, std::string_view rest, int depth);
  void setNumFormat(std::string_view rest);
  void caseFlag(const CommandLine& cmd);
  void time();
  void date();
  void who();
  void query(std::string_view verb, const CommandLine& cmd);
  void createFile(const CommandLine& cmd);
  void deleteFile(const CommandLine& cmd);
  void clearFile(const CommandLine& cmd);
  void logTo(const CommandLine& cmd);
  void updateMd(const CommandLine& cmd);
  void createAccount(const CommandLine& cmd);
  void createIndex(const CommandLine& cmd);
  void deleteIndex(const CommandLine& cmd);
  // The file and correlative of an index command; nothing (after a message) when either is bad.
  struct IndexTarget {
    OpenSection file;
    std::string reference;
    store::Correlative correlative;
  };
  std::optional<IndexTarget> indexTarget(const CommandLine& cmd);
  void protectAccount(const CommandLine& cmd);
  void grantAccount(const CommandLine& cmd, bool grant);
  // The account named by the command's first word when the port may change its protection: from
  // DM, or from the account itself. Prints why not and gives nothing otherwise.
  std::shared_ptr<store::Account> ownAccount(const CommandLine& cmd);

  std::optional<Query> parseQuery(const std::vector<Word>& words, bool listing,
                                  std::optional<OpenSection>& target);
  std::optional<long> attributeNumber(const Word& w, const OpenSection& target);

  PortState& state_;
  Outcome& out_;
  StackedInput& input_;
  int printed_ = 0;
};

}  // namespace

const std::vector<std::string_view>& builtInVerbs() {
  static const std::vector<std::string_view> kVerbs = {
      "SET-NUM-FORMAT", "CASE",           "TIME",           "DATE",            "WHO",
      "COUNT",          "ESTIMATE-COUNT", "SELECT",         "SSELECT",         "LIST",
      "CREATE-FILE",    "DELETE-FILE",    "CLEAR-FILE",     "LOGTO",           "UPDATE-MD",
      "CREATE-ACCOUNT", "CREATE-INDEX",   "DELETE-INDEX",   "PROTECT-ACCOUNT", "GRANT-ACCOUNT",
      "REVOKE-ACCOUNT", "COMPILE",        "CATALOG"};
  return kVerbs;
}

CommandLine splitCommand(std::string_view line) {
  CommandLine cmd;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    char c = line[i];
    if (c == '"' || c == '\'' || c == '\\') {
      std::size_t close = line.find(c, i + 1);
      std::size_t end = close == std::string_view::npos ? line.size() : close;
      cmd.words.push_back({std::string(line.substr(i + 1, end - i - 1)), true});
      i = close == std::string_view::npos ? line.size() : close + 1;
      continue;
    }
    if (c == '(') {
      for (std::size_t j = i + 1; j < line.size(); ++j) {
        char o = line[j];
        if (o == ')') break;
        if (o == ' ' || o == ',') continue;
        cmd.options.push_back((o >= 'a' && o <= 'z') ? static_cast<char>(o - 32) : o);
      }
      break;
    }
    std::size_t end = line.find(' ', i);
    if (end == std::string_view::npos) end = line.size();
    cmd.words.push_back({std::string(line.substr(i, end - i)), false});
    i = end;
  }
  return cmd;
}

namespace {

bool Interpreter::runLine(std::string_view line) {
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.empty()) return true;
  std::size_t blank = line.find(' ');
  std::string_view verb = line.substr(0, blank);
  std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  try {
    return runVerb(verb, rest, 0);
  } catch (const store::StoreError& e) {
    // The command stops; what it changed in one transaction is rolled back.
    message(msg::kStoreFailed, cat({"The store failed: ", e.what()}));
    return true;
  }
}

bool Interpreter::runVerb(std::string_view verb, std::string_view rest, int depth) {
  CommandLine cmd = splitCommand(rest);
  if (equalsNoCase(verb, "SET-NUM-FORMAT")) {
    setNumFormat(rest);
  } else if (equalsNoCase(verb, "CASE")) {
    caseFlag(cmd);
  } else if (equalsNoCase(verb, "TIME")) {
    time();
  } else if (equalsNoCase(verb, "DATE")) {
    date();
  } else if (equalsNoCase(verb, "WHO")) {
    who();
  } else if (equalsNoCase(verb, "COUNT") || equalsNoCase(verb, "ESTIMATE-COUNT") ||
             equalsNoCase(verb, "SELECT") || equalsNoCase(verb, "SSELECT") ||
             equalsNoCase(verb, "LIST")) {
    query(store::upperAscii(verb), cmd);
  } else if (equalsNoCase(verb, "CREATE-FILE")) {
    createFile(cmd);
  } else if (equalsNoCase(verb, "DELETE-FILE")) {
    deleteFile(cmd);
  } else if (equalsNoCase(verb, "CLEAR-FILE")) {
    clearFile(cmd);
  } else if (equalsNoCase(verb, "LOGTO")) {
    logTo(cmd);
  } else if (equalsNoCase(verb, "UPDATE-MD")) {
    updateMd(cmd);
  } else if (equalsNoCase(verb, "CREATE-ACCOUNT")) {
    createAccount(cmd);
  } else if (equalsNoCase(verb, "CREATE-INDEX")) {
    createIndex(cmd);
  } else if (equalsNoCase(verb, "DELETE-INDEX")) {
    deleteIndex(cmd);
  } else if (equalsNoCase(verb, "PROTECT-ACCOUNT")) {
    protectAccount(cmd);
  } else if (equalsNoCase(verb, "GRANT-ACCOUNT") || equalsNoCase(verb, "REVOKE-ACCOUNT")) {
    grantAccount(cmd, equalsNoCase(verb, "GRANT-ACCOUNT"));
  } else if (equalsNoCase(verb, "COMPILE") || equalsNoCase(verb, "CATALOG")) {
    corvex::Reporter reporter{[this](std::string_view line) { print(line); },
                              [this](int n, std::string_view text) { message(n, text); }};
    if (equalsNoCase(verb, "COMPILE")) {
      corvex::compileCommand(state_, rest, reporter);
    } else {
      corvex::catalogCommand(state_, rest, reporter);
    }
  } else {
    // A verb entry of the master dictionary ("V", then the built-in verb) names another verb.
    if (depth > 0) return false;
    std::optional<store::Section> md =
        state_.account().findSection(store::kMasterDictionary, false, {}, false);
    std::string entry;
    if (!md || !state_.account().readItem(*md, verb, entry)) return false;
    std::string_view kind = attributeOf({}, entry, 1);
    if (kind.empty() || (kind.front() != 'V' && kind.front() != 'v')) return false;
    std::string_view target = attributeOf({}, entry, 2);
    if (target.empty() || equalsNoCase(target, verb)) {
      for (std::string_view known : builtInVerbs())
        if (equalsNoCase(known, verb)) return runVerb(known, rest, depth + 1);
      return false;
    }
    return runVerb(target, rest, depth + 1);
  }
  return true;
}

void Interpreter::setNumFormat(std::string_view rest) {
  // Three positions, currency/grouping/decimal; an empty one keeps its value. The text is taken
  // as sent, so that a blank can be a grouping character.
  std::string_view parts[3];
  for (int i = 0; i < 3; ++i) {
    std::size_t slash = i < 2 ? rest.find('/') : std::string_view::npos;
    parts[i] = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  if (!parts[0].empty()) state_.format.currency = std::string(parts[0]);
  if (!parts[1].empty()) state_.format.grouping = std::string(parts[1]);
  if (!parts[2].empty()) state_.format.decimal = std::string(parts[2]);
}

void Interpreter::caseFlag(const CommandLine& cmd) {
  if (cmd.options.find('N') != std::string::npos) {
    state_.caseSensitive = true;
  } else if (cmd.options.find('F') != std::string::npos) {
    state_.caseSensitive = false;
  } else {
    message(msg::kCaseShown,
            std::string("Case sensitivity is ") + (state_.caseSensitive ? "on." : "off."));
  }
}

void Interpreter::time() {
  std::tm t = localNow();
  print(cat({twoDigits(t.tm_hour), ":", twoDigits(t.tm_min), ":", twoDigits(t.tm_sec), " ",
             twoDigits(t.tm_mday), " ", kMonths[t.tm_mon], " ", std::to_string(t.tm_year + 1900)}));
}

void Interpreter::date() {
  std::tm t = localNow();
  print(cat({kDays[t.tm_wday], " ", twoDigits(t.tm_mday), " ", kMonths[t.tm_mon], " ",
             std::to_string(t.tm_year + 1900), " day ", std::to_string(internalDateToday())}));
}

void Interpreter::who() {
  print(cat({std::to_string(state_.number()), " ", state_.account().name()}));
}

std::optional<long> Interpreter::attributeNumber(const Word& w, const OpenSection& target) {
  std::string_view name = w.text;
  if (name.size() > 1 && (name[0] == 'A' || name[0] == 'a')) {
    long n = 0;
    auto [end, ec] = std::from_chars(name.data() + 1, name.data() + name.size(), n);
    if (ec == std::errc() && end == name.data() + name.size() && n >= 0) {
      if (n <= state_.limits.elementNumber) return n;
      overLimit(cat({"Attribute number ", std::string_view(name).substr(1),
                     " is over the limit of ", std::to_string(state_.limits.elementNumber), "."}));
      return std::nullopt;
    }
  }
  // A dictionary item whose attribute 1 starts with A or S defines attribute (its attribute 2).
  std::optional<store::Section> dict =
      target.account->findSection(target.section.file, true, {}, state_.caseSensitive);
  std::string item;
  if (dict && target.account->readItem(*dict, name, item)) {
    std::string_view kind = attributeOf({}, item, 1);
    long n = 0;
    std::string_view number = attributeOf({}, item, 2);
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
    if (!kind.empty() && (kind[0] == 'A' || kind[0] == 'S') && ec == std::errc() &&
        end == number.data() + number.size() && n >= 0)
      return n;
  }
  message(msg::kNotAnAttribute, cat({"'", name, "' is not an attribute name."}));
  return std::nullopt;
}

// [DICT|D|DATA] file  [quoted ids]  [WITH|IF cond [AND|OR [WITH] cond]...]  [BY|BY-DSND attr]...
// and, for LIST, attribute names or A<n> as the columns.
std::optional<Query> Interpreter::parseQuery(const std::vector<Word>& words, bool listing,
                                             std::optional<OpenSection>& target) {
  Query q;
  std::size_t i = 0;
  if (i < words.size() && !words[i].quoted &&
      (equalsNoCase(words[i].text, "DICT") || equalsNoCase(words[i].text, "D") ||
       equalsNoCase(words[i].text, "DATA")) &&
      i + 1 < words.size()) {
    q.reference = words[i].text + " ";
    ++i;
  }
  if (i >= words.size()) {
    message(msg::kSyntax, "A file name is missing.");
    return std::nullopt;
  }
  q.reference += words[i++].text;
  target = state_.resolve(q.reference);
  if (!target) {
    message(msg::kNotAFile, cat({"'", q.reference, "' is not a file name."}));
    return std::nullopt;
  }
  bool orNext = false;
  while (i < words.size()) {
    const Word& w = words[i];
    bool with = !w.quoted && (equalsNoCase(w.text, "WITH") || equalsNoCase(w.text, "IF"));
    bool conj = !w.quoted && (equalsNoCase(w.text, "AND") || equalsNoCase(w.text, "OR"));
    if (with || conj) {
      if (conj) orNext = equalsNoCase(w.text, "OR");
      ++i;
      if (conj && i < words.size() && !words[i].quoted &&
          (equalsNoCase(words[i].text, "WITH") || equalsNoCase(words[i].text, "IF")))
        ++i;
      if (i >= words.size()) {
        message(msg::kSyntax, "A selection criterion is missing.");
        return std::nullopt;
      }
      Condition c;
      std::optional<long> n = attributeNumber(words[i++], *target);
      if (!n) return std::nullopt;
      c.attribute = *n;
      std::optional<Op> op = i < words.size() ? opFor(words[i]) : std::nullopt;
      if (op) ++i;
      while (i < words.size() && !isKeyword(words[i]) && (words[i].quoted || !listing || op))
        c.values.push_back(words[i++].text);
      c.op = op ? *op : (c.values.empty() ? Op::kPresent : Op::kEqual);
      if (c.op != Op::kPresent && c.values.empty()) {
        message(msg::kSyntax, "A value is missing after the operator.");
        return std::nullopt;
      }
      if (q.anyOf.empty() || orNext) q.anyOf.emplace_back();
      q.anyOf.back().push_back(std::move(c));
      orNext = false;
    } else if (!w.quoted && (equalsNoCase(w.text, "BY") || equalsNoCase(w.text, "BY-DSND"))) {
      bool descending = equalsNoCase(w.text, "BY-DSND");
      if (++i >= words.size()) {
        message(msg::kSyntax, "A sort attribute is missing.");
        return std::nullopt;
      }
      std::optional<long> n = attributeNumber(words[i++], *target);
      if (!n) return std::nullopt;
      q.sort.push_back({*n, descending});
    } else if (w.quoted) {
      q.ids.push_back(w.text);
      ++i;
    } else if (listing) {
      std::optional<long> n = attributeNumber(w, *target);
      if (!n) return std::nullopt;
      q.columns.push_back(*n);
      ++i;
    } else {
      message(msg::kSyntax, cat({"'", w.text, "' is not understood here."}));
      return std::nullopt;
    }
  }
  return q;
}

void Interpreter::query(std::string_view verb, const CommandLine& cmd) {
  const bool listing = verb == "LIST";
  std::optional<OpenSection> target;
  std::optional<Query> q = parseQuery(cmd.words, listing, target);
  if (!q) return;
  store::Account& a = *target->account;
  const store::Section& s = target->section;
  const bool plain = q->anyOf.empty() && q->ids.empty();
  if (verb == "ESTIMATE-COUNT" && plain) {
    print(std::to_string(a.countItems(s)));
    return;
  }
  if (verb == "COUNT" && plain) {
    std::int64_t n = a.countItems(s);
    print(cat({"Count: ", std::to_string(n), " items."}));
    note(msg::kCounted);
    return;
  }
  if ((verb == "SELECT" || verb == "SSELECT") && plain && q->sort.empty()) {
    IdList list;
    list.count = a.appendIds(s, list.ids);
    print(cat({"Active list: ", std::to_string(list.count), " items selected."}));
    note(list.count > 0 ? msg::kSelected : msg::kNoItems);
    state_.activeList = std::move(list);
    return;
  }
  // Rows keep what the output and the sort need, not whole bodies, and a listing stops once
  // its lines pass the reply limit: neither the items' size nor a repeated id can make the
  // engine hold more than that.
  struct Row {
    std::string id;
    std::string line;               // LIST only
    std::vector<std::string> keys;  // one per sort key
  };
  struct OverReply {};
  std::vector<Row> rows;
  std::size_t kept = 0;
  auto consider = [&](std::string_view id, std::string_view body) {
    bool pass = q->anyOf.empty();
    for (const auto& group : q->anyOf) {
      bool all = true;
      for (const Condition& c : group) all = all && holds(c, id, body, state_.caseSensitive);
      if (all) {
        pass = true;
        break;
      }
    }
    if (!pass) return;
    Row& r = rows.emplace_back();
    r.id = id;
    for (const SortKey& k : q->sort) r.keys.emplace_back(attributeOf(id, body, k.attribute));
    if (!listing) return;
    r.line = id;
    if (q->columns.empty()) {
      while (!body.empty()) {
        std::size_t mark = body.find(kAttributeMark);
        r.line += ' ';
        r.line += body.substr(0, mark);
        if (mark == std::string_view::npos) break;
        body.remove_prefix(mark + 1);
      }
    } else {
      for (long c : q->columns) {
        r.line += ' ';
        r.line += attributeOf(id, body, c);
      }
    }
    kept += r.line.size() + 1;
    if (kept + out_.captured.size() > state_.limits.replyBytes) throw OverReply{};
  };
  try {
    if (!q->ids.empty()) {
      std::string body;
      for (const std::string& id : q->ids) {
        body.clear();
        if (a.readItem(s, id, body)) consider(id, body);
      }
    } else {
      a.forEachItem(s, consider);
    }
  } catch (const OverReply&) {
    overLimit(cat({"The listing is over the reply limit of ",
                   std::to_string(state_.limits.replyBytes), " bytes."}));
    return;
  }
  if (!q->sort.empty()) {
    const bool cs = state_.caseSensitive;
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& x, const Row& y) {
      for (std::size_t i = 0; i < q->sort.size(); ++i) {
        int c = compareValues(x.keys[i], y.keys[i], cs);
        if (c != 0) return q->sort[i].descending ? c > 0 : c < 0;
      }
      return x.id < y.id;
    });
  } else if (!q->ids.empty() && verb == "SSELECT") {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& x, const Row& y) { return x.id < y.id; });
  }
  const std::string count = std::to_string(rows.size());
  if (verb == "COUNT") {
    print(cat({"Count: ", count, " items."}));
    note(msg::kCounted);
  } else if (verb == "ESTIMATE-COUNT") {
    print(count);
  } else if (verb == "LIST") {
    for (const Row& r : rows) print(r.line);
    message(msg::kListed, cat({count, " items listed."}));
  } else {
    IdList list;
    for (const Row& r : rows) {
      if (list.count++ > 0) list.ids.push_back(kAttributeMark);
      list.ids += r.id;
    }
    print(cat({"Active list: ", count, " items selected."}));
    note(list.count > 0 ? msg::kSelected : msg::kNoItems);
    state_.activeList = std::move(list);
  }
}

// A file or section name: no marks, no commas in a name part, at most 128 bytes.
bool validName(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0xFB || c == ',' || u < 0x20) return false;
  }
  return true;
}

void Interpreter::createFile(const CommandLine& cmd) {
  const auto& w = cmd.words;
  std::size_t i = 0;
  int level = 0;  // 0 both, 1 dictionary, 2 data
  if (i < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DICT")) {
    level = 1;
    ++i;
  } else if (i < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DATA")) {
    level = 2;
    ++i;
  }
  if (i >= w.size()) {
    message(msg::kSyntax, "A file name is missing.");
    return;
  }
  std::string full = w[i++].text;
  std::size_t comma = full.find(',');
  std::string file = full.substr(0, comma);
  std::string section = comma == std::string::npos ? file : full.substr(comma + 1);
  if (!section.empty() && section.back() == ',') section.pop_back();
  if (section.empty()) section = file;
  if (!validName(file) || !validName(section) || (level == 1 && comma != std::string::npos)) {
    message(msg::kBadFileName, cat({"'", full, "' is not a valid file name."}));
    return;
  }
  long modulo = 1;
  if (i < w.size()) {
    const std::string& m = w[i].text;
    auto [end, ec] = std::from_chars(m.data(), m.data() + m.size(), modulo);
    if (ec != std::errc() || end != m.data() + m.size() || modulo < 1) {
      message(msg::kBadModulo, cat({"'", m, "' is not a valid modulo."}));
      return;
    }
  }
  const bool caseFold = cmd.options.find('S') == std::string::npos;
  store::Account& a = state_.account();
  bool made = false;
  if (level == 1) {
    made = a.createDictionary(file, modulo, caseFold);
  } else if (level == 2) {
    made = a.createDataSection(file, section, modulo, caseFold);
  } else {
    store::Transaction tx(a);
    made = a.createDictionary(file, modulo, caseFold) &&
           a.createDataSection(file, section, modulo, caseFold);
    if (made) tx.commit();
  }
  std::string shown =
      level == 1 ? cat({"DICT ", file}) : (level == 2 ? cat({file, ",", section}) : file);
  if (made)
    message(msg::kFileCreated,
            cat({"File '", shown, "' created; modulo ", std::to_string(modulo), "."}));
  else
    message(msg::kFileExists, cat({"File '", shown, "' already exists."}));
}

void Interpreter::deleteFile(const CommandLine& cmd) {
  const auto& w = cmd.words;
  std::size_t i = 0;
  int level = 0;
  if (i + 1 < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DICT")) {
    level = 1;
    ++i;
  } else if (i + 1 < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DATA")) {
    level = 2;
    ++i;
  }
  if (i >= w.size()) {
    message(msg::kSyntax, "A file name is missing.");
    return;
  }
  const std::string& full = w[i].text;
  std::size_t comma = full.find(',');
  std::string file = full.substr(0, comma);
  std::string section = comma == std::string::npos ? std::string() : full.substr(comma + 1);
  store::Account& a = state_.account();
  std::optional<std::string> canonical = a.findFile(file, state_.caseSensitive);
  if (!canonical) {
    message(msg::kNotAFile, cat({"'", full, "' is not a file name."}));
    return;
  }
  if (equalsNoCase(*canonical, store::kMasterDictionary)) {
    message(msg::kMasterDictionary, "The master dictionary cannot be deleted.");
    return;
  }
  std::vector<store::Section> doomed;
  for (store::Section& s : a.sections(*canonical)) {
    bool chosen = !section.empty() ? (!s.dictionary && equalsNoCase(s.name, section))
                                   : (level != 2 || !s.dictionary);
    if (chosen) doomed.push_back(std::move(s));
  }
  if (doomed.empty()) {
    message(msg::kNotAFile, cat({"'", full, "' is not a file name."}));
    return;
  }
  const bool always = cmd.options.find('U') != std::string::npos;
  store::Transaction tx(a);
  for (const store::Section& s : doomed) {
    if (a.sectionHeldElsewhere(s, state_.owner()) ||
        (!always && a.openElsewhere(s, state_.owner()))) {
      message(msg::kFileInUse, cat({"File '", full, "' is in use."}));
      return;
    }
  }
  a.dropSections(doomed);
  tx.commit();
  message(msg::kFileDeleted, cat({"File '", full, "' deleted."}));
}

void Interpreter::clearFile(const CommandLine& cmd) {
  std::string reference;
  for (const Word& w : cmd.words) reference += (reference.empty() ? "" : " ") + w.text;
  if (reference.empty()) {
    message(msg::kSyntax, "A file name is missing.");
    return;
  }
  std::optional<OpenSection> target = state_.resolve(reference);
  if (!target) {
    message(msg::kNotAFile, cat({"'", reference, "' is not a file name."}));
    return;
  }
  if (target->readOnly) {
    message(msg::kSystemDictionary, "The system dictionary is written only from DM.");
    return;
  }
  store::Account& a = *target->account;
  store::Transaction tx(a);
  if (a.sectionHeldElsewhere(target->section, state_.owner())) {
    message(msg::kFileInUse, cat({"File '", reference, "' is in use."}));
    return;
  }
  a.clearSection(target->section);
  tx.commit();
  message(msg::kFileCleared, cat({"File '", reference, "' cleared."}));
}

void Interpreter::logTo(const CommandLine& cmd) {
  if (cmd.words.empty()) {
    message(msg::kSyntax, "An account name is missing.");
    input_.discard();
    return;
  }
  const std::string& name = cmd.words.front().text;
  // A protected account takes its user and password from the next two stacked lines, also when
  // the port is on it already, so that the caller's lines mean the same either way.
  Credentials credentials;
  std::shared_ptr<store::Account> target = state_.accountNamed(name);
  if (target && store::isProtected(*target)) {
    credentials.user = std::string(input_.next().value_or(""));
    credentials.password = std::string(input_.next().value_or(""));
  }
  // On any refusal the lines after it were meant for the other account (or are credentials for
  // an account that is not there): none of them runs.
  try {
    if (!state_.logTo(name, credentials)) {
      message(msg::kNotAnAccount, cat({"'", name, "' is not an account."}));
      input_.discard();
      return;
    }
  } catch (const store::AccessDenied&) {
    message(msg::kAccessRefused, cat({"Account ", target->name(), " refused the logon."}));
    input_.discard();
    return;
  }
  message(msg::kLoggedOn, cat({"Logged on to account ", state_.account().name(), "."}));
}

void Interpreter::updateMd(const CommandLine& cmd) {
  if (cmd.words.empty()) {
    message(msg::kSyntax, "An account name is missing.");
    return;
  }
  const std::string& name = cmd.words.front().text;
  std::shared_ptr<store::Account> target = state_.accountNamed(name);
  if (!target) {
    message(msg::kNotAnAccount, cat({"'", name, "' is not an account."}));
    return;
  }
  if (!state_.mayReach(*target) || (target->name() == store::kSystemAccount &&
                                    state_.account().name() != store::kSystemAccount)) {
    message(msg::kAccessRefused, cat({"Account ", target->name(), " refused the access."}));
    return;
  }
  std::optional<store::Section> md =
      target->findSection(store::kMasterDictionary, false, {}, false);
  if (!md) {
    message(msg::kNotAFile, "'MD' is not a file name.");
    return;
  }
  // (n adds the missing verbs only; without it every verb entry is written afresh.
  const bool keep = cmd.options.find('N') != std::string::npos;
  int updated = 0;
  store::Transaction tx(*target);
  std::string existing;
  for (std::string_view verb : builtInVerbs()) {
    existing.clear();
    if (keep && target->readItem(*md, verb, existing)) continue;
    std::string entry = "V";
    entry += kAttributeMark;
    entry += verb;
    target->writeItem(*md, verb, entry);
    ++updated;
  }
  tx.commit();
  message(msg::kVerbsUpdated,
          cat({std::to_string(updated), " verbs updated in account ", target->name(), "."}));
}

void Interpreter::createAccount(const CommandLine& cmd) {
  if (cmd.words.empty()) {
    message(msg::kSyntax, "An account name is missing.");
    return;
  }
  const std::string& name = cmd.words.front().text;
  std::optional<std::string> stored = store::accountName(name);
  if (!stored) {
    message(msg::kBadAccountName, cat({"'", name, "' is not a valid account name."}));
    return;
  }
  if (state_.system().accountExists(*stored)) {
    message(msg::kAccountExists, cat({"Account '", *stored, "' already exists."}));
    return;
  }
  (void)state_.system().openAccount(*stored, true);
  message(msg::kAccountCreated, cat({"Account '", *stored, "' created."}));
}

std::optional<Interpreter::IndexTarget> Interpreter::indexTarget(const CommandLine& cmd) {
  if (cmd.words.size() < 2) {
    message(msg::kSyntax, "A file name or index correlative is missing.");
    return std::nullopt;
  }
  // The last word is the correlative; the words before it name the file ("DICT CUST").
  std::string reference;
  for (std::size_t i = 0; i + 1 < cmd.words.size(); ++i)
    reference += (i == 0 ? "" : " ") + cmd.words[i].text;
  const std::string& text = cmd.words.back().text;
  std::optional<store::Correlative> correlative = store::parseCorrelative(text);
  if (!correlative) {
    message(msg::kBadCorrelative, cat({"'", text, "' is not a valid index correlative."}));
    return std::nullopt;
  }
  std::optional<OpenSection> file = state_.resolve(reference);
  if (!file) {
    message(msg::kNotAFile, cat({"'", reference, "' is not a file name."}));
    return std::nullopt;
  }
  return IndexTarget{std::move(*file), std::move(reference), std::move(*correlative)};
}

void Interpreter::createIndex(const CommandLine& cmd) {
  std::optional<IndexTarget> t = indexTarget(cmd);
  if (!t) return;
  store::Account& a = *t->file.account;
  const store::Section& section = t->file.section;
  const bool replace = cmd.options.find('O') != std::string::npos;
  store::Transaction tx(a);
  if (!replace && a.indexes().find(section, t->correlative)) {
    // Callers test for this output exactly, so it is the bare number.
    print(std::to_string(msg::kIndexExists));
    note(msg::kIndexExists);
    return;
  }
  std::size_t items = 0;
  a.indexes().build(section, t->correlative, [&](const auto& visit) {
    a.forEachItem(section, [&](std::string_view id, std::string_view body) {
      ++items;
      visit(id, body);
    });
  });
  tx.commit();
  message(msg::kIndexCreated, cat({"Index '", t->correlative.text(), "' built on file '",
                                   t->reference, "' over ", std::to_string(items), " items."}));
}

void Interpreter::deleteIndex(const CommandLine& cmd) {
  std::optional<IndexTarget> t = indexTarget(cmd);
  if (!t) return;
  store::Account& a = *t->file.account;
  store::Transaction tx(a);
  if (!a.indexes().drop(t->file.section, t->correlative)) {
    message(msg::kNoSuchIndex,
            cat({"File '", t->reference, "' has no index '", t->correlative.text(), "'."}));
    return;
  }
  tx.commit();
  message(msg::kIndexDeleted,
          cat({"Index '", t->correlative.text(), "' deleted from file '", t->reference, "'."}));
}

std::shared_ptr<store::Account> Interpreter::ownAccount(const CommandLine& cmd) {
  if (cmd.words.empty()) {
    message(msg::kSyntax, "An account name is missing.");
    return nullptr;
  }
  const std::string& name = cmd.words.front().text;
  std::shared_ptr<store::Account> target = state_.accountNamed(name);
  if (!target) {
    message(msg::kNotAnAccount, cat({"'", name, "' is not an account."}));
    return nullptr;
  }
  if (!state_.mayAdminister(*target)) {
    message(msg::kNotYours, cat({"Only DM or account ", target->name(),
                                 " may change its protection, from a port logged on with the "
                                 "credentials it has now."}));
    return nullptr;
  }
  return target;
}

void Interpreter::protectAccount(const CommandLine& cmd) {
  // The two credential lines are taken before anything can refuse, so that they never run as
  // commands.
  const std::optional<std::string_view> user = input_.next();
  const std::optional<std::string_view> password = input_.next();
  std::shared_ptr<store::Account> target = ownAccount(cmd);
  if (!target) return;
  if (!user || !password || user->empty() || password->empty()) {
    message(msg::kSyntax, "A user and a password are needed, as two stacked lines.");
    return;
  }
  // DM administers every account: while it is open to anyone, protecting another account would
  // only look safe.
  if (target->name() != store::kSystemAccount) {
    std::shared_ptr<store::Account> dm = state_.accountNamed(store::kSystemAccount);
    if (!dm || !store::isProtected(*dm)) {
      message(msg::kProtectDmFirst,
              cat({"Protect DM first (PROTECT-ACCOUNT DM): no account is protected while DM is "
                   "open to every port. Account ",
                   target->name(), " is unchanged."}));
      return;
    }
  }
  store::setCredentials(*target, *user, *password);
  state_.noteCredentialsSet(*target);
  message(msg::kAccountProtected, cat({"Account ", target->name(), " is protected."}));
}

void Interpreter::grantAccount(const CommandLine& cmd, bool grant) {
  std::shared_ptr<store::Account> target = ownAccount(cmd);
  if (!target) return;
  if (cmd.words.size() < 2) {
    message(msg::kSyntax, "The account to trust is missing.");
    return;
  }
  std::optional<std::string> other = store::accountName(cmd.words[1].text);
  if (!other) {
    message(msg::kBadAccountName, cat({"'", cmd.words[1].text, "' is not a valid account name."}));
    return;
  }
  if (grant) {
    target->grant(*other);
    message(msg::kGranted, cat({"Account ", target->name(), " grants ", *other, "."}));
  } else {
    target->revoke(*other);
    message(msg::kRevoked, cat({"Account ", target->name(), " no longer grants ", *other, "."}));
  }
}

}  // namespace

Outcome run(PortState& state, std::string_view command, std::string_view stacked, bool hasStacked) {
  Outcome out;
  StackedInput input(stacked, hasStacked);
  Interpreter interpreter(state, out, input);
  if (hasStacked) {
    const auto lines =
        static_cast<std::size_t>(std::count(stacked.begin(), stacked.end(), kAttributeMark) + 1);
    if (lines > state.limits.stackedCommands) {
      interpreter.overLimit(cat({std::to_string(lines), " stacked commands are over the limit of ",
                                 std::to_string(state.limits.stackedCommands), "."}));
      return out;
    }
  }
  if (!interpreter.runLine(command)) {
    out.status = 6;
    return out;
  }
  // Every stacked line a verb did not take as its input is a command of its own; a refusal by a
  // limit ends the run.
  while (out.status == 0) {
    const std::optional<std::string_view> line = input.next();
    if (!line) break;
    if (!interpreter.runLine(*line)) {
      out.status = 6;
      return out;
    }
  }
  return out;
}

}  // namespace tarn::server::tcl
