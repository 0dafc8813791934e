#include "server/engine/tcl/query/sentence.h"

#include <charconv>

namespace tarn::server::tcl::query {
namespace {

// Per thread, so that the count a test reads on its port's thread is not moved by queries
// running on others.
thread_local std::uint64_t tItemsRead = 0;

// A quoted word is always a value, so a field or an item-id may be named like a keyword.
bool is(const Word& w, std::string_view keyword) {
  return !w.quoted && equalsNoCase(w.text, keyword);
}

std::optional<Op> opFor(const Word& w) {
  if (w.quoted) return std::nullopt;
  static const std::pair<std::string_view, Op> kOps[] = {
      {"=", Op::kEqual},         {"EQ", Op::kEqual},        {"#", Op::kNotEqual},
      {"NE", Op::kNotEqual},     {"<>", Op::kNotEqual},     {"<", Op::kLess},
      {"LT", Op::kLess},         {">", Op::kGreater},       {"GT", Op::kGreater},
      {"<=", Op::kLessEqual},    {"LE", Op::kLessEqual},    {">=", Op::kGreaterEqual},
      {"GE", Op::kGreaterEqual}, {"LIKE", Op::kLike},       {"MATCHES", Op::kLike},
      {"MATCHING", Op::kLike},   {"BETWEEN", Op::kBetween}, {"SAID", Op::kSaid},
      {"SPOKEN", Op::kSaid},     {"~", Op::kSaid}};
  for (const auto& [text, op] : kOps)
    if (equalsNoCase(w.text, text)) return op;
  return std::nullopt;
}

// Words with a meaning of their own, which a bare value may not be.
bool isKeyword(const Word& w) {
  if (w.quoted) return false;
  for (std::string_view k :
       {"WITH",    "WITHOUT", "IF",          "AND",          "OR",      "BY",
        "BY-DSND", "BY-EXP",  "BY-EXP-DSND", "BREAK-ON",     "TOTAL",   "HEADING",
        "FOOTING", "ID-SUPP", "HDR-SUPP",    "COL-HDR-SUPP", "DBL-SPC", "SAMPLE",
        "CSV",     "JSON",    "EVERY",       "EACH",         "NO"})
    if (equalsNoCase(w.text, k)) return true;
  return opFor(w).has_value();
}

// Words that begin another part of the sentence: a bare value cannot be one of them.
bool startsClause(const Word& w) {
  if (w.quoted) return false;
  // These three only qualify the word after WITH; after an operator they are plain values
  // (WITH ANSWER = NO).
  for (std::string_view k : {"EVERY", "EACH", "NO"})
    if (equalsNoCase(w.text, k)) return false;
  return isKeyword(w);
}

char up(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// Only ASCII letters fold; every other byte, UTF-8 and marks included, compares as it is.
int compareText(std::string_view a, std::string_view b, bool caseSensitive) {
  if (caseSensitive) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(up(a[i]));
    unsigned char y = static_cast<unsigned char>(up(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Numbers compare as numbers; anything else as text (both must be numbers: "10" against "9A"
// is text).
int compareValues(std::string_view a, std::string_view b, bool caseSensitive) {
  double x = 0, y = 0;
  if (parseNumeric(a, x) && parseNumeric(b, y)) return x < y ? -1 : (x > y ? 1 : 0);
  return compareText(a, b, caseSensitive);
}

// A LIKE pattern: "..." any text, nN / nA / nX that many digits / letters / characters (0: any
// number of them), text in quotes literally, any other character itself.
struct Piece {
  enum Kind { kAny, kClass, kText } kind;
  char cls = 0;
  std::size_t count = 0;
  std::string text;
};

// A match remembers pieces times characters, so the pieces are bounded.
constexpr std::size_t kMaxPatternPieces = 32;

std::vector<Piece> parsePattern(std::string_view p) {
  std::vector<Piece> out;
  // Adjacent literal characters join into one piece, so "ABC" counts once against the limit.
  auto text = [&](std::string_view t) {
    if (out.empty() || out.back().kind != Piece::kText) out.push_back({Piece::kText, 0, 0, {}});
    out.back().text += t;
  };
  for (std::size_t i = 0; i < p.size();) {
    if (p.substr(i, 3) == "...") {
      out.push_back({Piece::kAny, 0, 0, {}});
      i += 3;
    } else if (p[i] == '\'' || p[i] == '"') {
      std::size_t close = p.find(p[i], i + 1);
      std::size_t end = close == std::string_view::npos ? p.size() : close;
      text(p.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? p.size() : close + 1;
    } else if (p[i] >= '0' && p[i] <= '9') {
      std::size_t j = i;
      while (j < p.size() && p[j] >= '0' && p[j] <= '9') ++j;
      // Digits not followed by N, A or X are literal text: "12" matches "12".
      char c = j < p.size() ? up(p[j]) : 0;
      if (c == 'N' || c == 'A' || c == 'X') {
        std::size_t n = 0;
        std::from_chars(p.data() + i, p.data() + j, n);
        out.push_back({Piece::kClass, c, n, {}});
        i = j + 1;
      } else {
        text(p.substr(i, j - i));
        i = j;
      }
    } else {
      text(p.substr(i, 1));
      ++i;
    }
  }
  return out;
}

bool inClass(char c, char cls) {
  if (cls == 'N') return c >= '0' && c <= '9';
  if (cls == 'A') return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  return true;
}

// Whether s matches the pieces from pi on. A failed (piece, rest of s) pair is remembered, so
// that patterns full of "..." cost pieces times characters, not a power of them.
class Like {
 public:
  Like(const std::vector<Piece>& p, std::string_view s, bool cs)
      : p_(p), s_(s), cs_(cs), failed_((p.size() + 1) * (s.size() + 1), false) {}
  bool match(std::size_t pi, std::size_t at) {
    if (pi == p_.size()) return at == s_.size();
    // Only failures are kept: a success returns straight up the recursion.
    std::vector<bool>::reference failed = failed_[pi * (s_.size() + 1) + at];
    if (failed) return false;
    if (step(pi, at)) return true;
    failed = true;
    return false;
  }

 private:
  bool step(std::size_t pi, std::size_t at) {
    const Piece& piece = p_[pi];
    const std::string_view rest = s_.substr(at);
    switch (piece.kind) {
      case Piece::kAny:
        for (std::size_t k = at; k <= s_.size(); ++k)
          if (match(pi + 1, k)) return true;
        return false;
      case Piece::kText:
        if (rest.size() < piece.text.size() ||
            compareText(rest.substr(0, piece.text.size()), piece.text, cs_) != 0)
          return false;
        return match(pi + 1, at + piece.text.size());
      case Piece::kClass:
        if (piece.count > 0) {
          if (rest.size() < piece.count) return false;
          for (std::size_t k = 0; k < piece.count; ++k)
            if (!inClass(rest[k], piece.cls)) return false;
          return match(pi + 1, at + piece.count);
        }
        // Zero count: as many characters of the class as the rest of the pattern leaves, shortest
        // first.
        for (std::size_t k = at;; ++k) {
          if (match(pi + 1, k)) return true;
          if (k >= s_.size() || !inClass(s_[k], piece.cls)) return false;
        }
    }
    return false;
  }

  const std::vector<Piece>& p_;
  std::string_view s_;
  bool cs_;
  std::vector<bool> failed_;
};

// Four-character sound code of a word (letter, then three digits).
std::string soundex(std::string_view s) {
  // Code of each letter A..Z; 0 for vowels and H, W, Y, which are not written.
  static const char* kCodes = "01230120022455012623010202";
  std::string out;
  char last = 0;
  for (char c : s) {
    c = up(c);
    if (c < 'A' || c > 'Z') continue;
    char code = kCodes[c - 'A'];
    if (out.empty()) {
      out.push_back(c);
    } else if (code != '0' && code != last) {
      out.push_back(code);
      if (out.size() == 4) break;
    }
    // H and W do not separate two equal codes; a vowel does.
    if (c != 'H' && c != 'W') last = code;
  }
  // No letters: no code, and SAID matches nothing rather than everything.
  if (out.empty()) return out;
  out.resize(4, '0');
  return out;
}

class Parser {
 public:
  Parser(PortState& state, Sentence& s, const std::vector<Word>& words)
      : state_(state), s_(s), w_(words) {}

  void parse();

 private:
  [[noreturn]] void fail(int number, std::string text) {
    throw QueryError{number, std::move(text)};
  }
  [[noreturn]] void notUnderstood(const Word& w) {
    fail(msg::kSyntax, cat({"'", w.text, "' is not understood here."}));
  }
  std::shared_ptr<const Field> field(const Word& w) {
    std::shared_ptr<const Field> f = s_.dictionary->find(w.text);
    if (!f) fail(msg::kNotAnAttribute, cat({"'", w.text, "' is not an attribute name."}));
    return f;
  }
  // The field after a keyword; missing, it is an error naming the keyword.
  std::shared_ptr<const Field> fieldAfter(const Word& keyword) {
    // A keyword is taken as a field when the dictionary defines one by that name.
    if (i_ >= w_.size() || (isKeyword(w_[i_]) && !s_.dictionary->find(w_[i_].text)))
      fail(msg::kSyntax, cat({"A field name is missing after '", keyword.text, "'."}));
    return field(w_[i_++]);
  }
  void criterion(const Word& keyword, bool orNext);
  std::string value(const Field& f, Op op, const Word& w) {
    // Patterns keep their text; other values take the field's internal form.
    if (op == Op::kLike && parsePattern(w.text).size() > kMaxPatternPieces)
      fail(msg::kSyntax,
           cat({"'", w.text, "' has more than ", std::to_string(kMaxPatternPieces), " parts."}));
    if (op == Op::kLike || op == Op::kSaid) return w.text;
    // A value with '[' or ']' is a text pattern; converting it would lose the brackets.
    if ((op == Op::kEqual || op == Op::kNotEqual) && w.text.size() > 1 &&
        (w.text.back() == ']' || w.text.front() == '['))
      return w.text;
    return s_.dictionary->internal(f, w.text);
  }
  const Word& quotedText(const Word& keyword) {
    if (i_ >= w_.size() || !w_[i_].quoted)
      fail(msg::kSyntax, cat({"A quoted text is missing after '", keyword.text, "'."}));
    return w_[i_++];
  }

  PortState& state_;
  Sentence& s_;
  const std::vector<Word>& w_;
  std::size_t i_ = 0;
};

void Parser::criterion(const Word& keyword, bool orNext) {
  Condition c;
  c.negate = is(keyword, "WITHOUT");
  if (i_ < w_.size() && (is(w_[i_], "EVERY") || is(w_[i_], "EACH"))) {
    c.every = true;
    ++i_;
  } else if (i_ < w_.size() && is(w_[i_], "NO")) {
    c.no = true;
    ++i_;
  }
  if (i_ >= w_.size())
    fail(msg::kSyntax, cat({"A field name is missing after '", w_[i_ - 1].text, "'."}));
  c.field = field(w_[i_++]);
  std::optional<Op> op = i_ < w_.size() ? opFor(w_[i_]) : std::nullopt;
  if (op) {
    const Word& opWord = w_[i_++];
    // One value after an operator may be bare; more must be quoted.
    const std::size_t wanted = *op == Op::kBetween ? 2 : 1;
    for (std::size_t k = 0; k < wanted; ++k) {
      if (i_ >= w_.size() || startsClause(w_[i_]))
        fail(msg::kSyntax, cat({"A value is missing after '", opWord.text, "'."}));
      c.values.push_back(value(*c.field, *op, w_[i_++]));
    }
    if (*op != Op::kBetween)
      while (i_ < w_.size() && w_[i_].quoted) c.values.push_back(value(*c.field, *op, w_[i_++]));
    c.op = *op;
  } else {
    while (i_ < w_.size() && w_[i_].quoted)
      c.values.push_back(value(*c.field, Op::kEqual, w_[i_++]));
    c.op = c.values.empty() ? Op::kPresent : Op::kEqual;
  }
  if (c.no && c.op != Op::kPresent)
    fail(msg::kSyntax, cat({"'NO' takes no value; '", c.field->name, "' has one."}));
  // AND binds tighter than OR: a criterion after OR opens a new group, any other joins the last.
  if (s_.anyOf.empty() || orNext) s_.anyOf.emplace_back();
  s_.anyOf.back().push_back(std::move(c));
}

void Parser::parse() {
  std::size_t& i = i_;
  // The keyword counts only when a file name follows, so a file called DICT can be queried.
  if (i < w_.size() && !w_[i].quoted &&
      (equalsNoCase(w_[i].text, "DICT") || equalsNoCase(w_[i].text, "D") ||
       equalsNoCase(w_[i].text, "DATA")) &&
      i + 1 < w_.size()) {
    s_.reference = w_[i].text + " ";
    ++i;
  }
  if (i >= w_.size()) fail(msg::kSyntax, "A file name is missing.");
  s_.reference += w_[i++].text;
  std::optional<OpenSection> target = state_.resolve(s_.reference);
  if (!target) fail(msg::kNotAFile, cat({"'", s_.reference, "' is not a file name."}));
  s_.target = std::move(*target);
  s_.dictionary = std::make_unique<Dictionary>(state_, s_.target);
  // Layout words only mean something to the verbs that print a report.
  const bool reporting = s_.verb == "LIST" || s_.verb == "SORT";
  bool orNext = false;
  while (i < w_.size()) {
    const Word& w = w_[i];
    if (is(w, "WITH") || is(w, "WITHOUT") || is(w, "IF")) {
      ++i;
      criterion(w, orNext);
      orNext = false;
    } else if (is(w, "AND") || is(w, "OR")) {
      orNext = is(w, "OR");
      ++i;
      if (s_.anyOf.empty()) notUnderstood(w);
      const Word* keyword = &w;
      if (i < w_.size() && (is(w_[i], "WITH") || is(w_[i], "WITHOUT") || is(w_[i], "IF")))
        keyword = &w_[i++];
      criterion(*keyword, orNext);
      orNext = false;
    } else if (is(w, "BY") || is(w, "BY-DSND") || is(w, "BY-EXP") || is(w, "BY-EXP-DSND")) {
      ++i;
      SortKey k;
      k.descending = is(w, "BY-DSND") || is(w, "BY-EXP-DSND");
      k.exploded = is(w, "BY-EXP") || is(w, "BY-EXP-DSND");
      k.field = fieldAfter(w);
      s_.sort.push_back(std::move(k));
    } else if (is(w, "BREAK-ON") || is(w, "TOTAL")) {
      if (!reporting) notUnderstood(w);
      ++i;
      Column c;
      c.field = fieldAfter(w);
      (is(w, "TOTAL") ? c.total : c.breakOn) = true;
      s_.columns.push_back(std::move(c));
    } else if (is(w, "HEADING") || is(w, "FOOTING")) {
      if (!reporting) notUnderstood(w);
      ++i;
      (is(w, "HEADING") ? s_.heading : s_.footing) = quotedText(w).text;
    } else if (is(w, "ID-SUPP") || is(w, "HDR-SUPP") || is(w, "COL-HDR-SUPP") || is(w, "DBL-SPC") ||
               is(w, "CSV") || is(w, "JSON")) {
      if (!reporting) notUnderstood(w);
      ++i;
      if (is(w, "ID-SUPP")) s_.idSupp = true;
      if (is(w, "HDR-SUPP")) s_.hdrSupp = true;
      if (is(w, "COL-HDR-SUPP")) s_.colHdrSupp = true;
      if (is(w, "DBL-SPC")) s_.dblSpc = true;
      if (is(w, "CSV")) s_.format = Format::kCsv;
      if (is(w, "JSON")) s_.format = Format::kJson;
    } else if (is(w, "SAMPLE") || is(w, "SAMPLED")) {
      ++i;
      std::int64_t n = 0;
      const std::string* t = i < w_.size() ? &w_[i].text : nullptr;
      auto [end, ec] = t ? std::from_chars(t->data(), t->data() + t->size(), n)
                         : std::from_chars_result{nullptr, std::errc::invalid_argument};
      if (!t || ec != std::errc() || end != t->data() + t->size() || n < 1)
        fail(msg::kSyntax, cat({"A count of items is missing after '", w.text, "'."}));
      ++i;
      s_.sample = n;
    } else if (w.quoted) {
      s_.ids.push_back(w.text);
      ++i;
    } else if (opFor(w)) {
      fail(msg::kSyntax, cat({"'", w.text, "' needs a WITH and a field before it."}));
    } else if (reporting || s_.verb == "SUM") {
      s_.columns.push_back(Column{field(w), false, false});
      ++i;
    } else {
      notUnderstood(w);
    }
  }
  if (s_.verb == "SUM" && s_.columns.size() != 1)
    fail(msg::kSyntax, "SUM takes one field to add up.");
}

}  // namespace

std::uint64_t itemsRead() noexcept {
  return tItemsRead;
}
void countItemsRead(std::uint64_t n) noexcept {
  tItemsRead += n;
}

Sentence parseSentence(PortState& state, std::string_view verb, const std::vector<Word>& words) {
  Sentence s;
  s.verb = std::string(verb);
  Parser(state, s, words).parse();
  return s;
}

bool matchesOne(std::string_view value, Op op, std::string_view pattern, std::string_view second,
                bool caseSensitive) {
  switch (op) {
    case Op::kEqual:
    case Op::kNotEqual: {
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
          // Prefix: only position 0; suffix: only the last position; both: any position.
          if (prefix && !suffix && at > 0) break;
          if (suffix && !prefix && at + pattern.size() != value.size()) continue;
          equal = compareText(value.substr(at, pattern.size()), pattern, caseSensitive) == 0;
        }
      }
      return op == Op::kEqual ? equal : !equal;
    }
    case Op::kLess:
      return compareValues(value, pattern, caseSensitive) < 0;
    case Op::kGreater:
      return compareValues(value, pattern, caseSensitive) > 0;
    case Op::kLessEqual:
      return compareValues(value, pattern, caseSensitive) <= 0;
    case Op::kGreaterEqual:
      return compareValues(value, pattern, caseSensitive) >= 0;
    case Op::kBetween:
      return compareValues(value, pattern, caseSensitive) >= 0 &&
             compareValues(value, second, caseSensitive) <= 0;
    case Op::kLike: {
      const std::vector<Piece> pieces = parsePattern(pattern);
      return Like(pieces, value, caseSensitive).match(0, 0);
    }
    case Op::kSaid: {
      std::string a = soundex(value);
      return !a.empty() && a == soundex(pattern);
    }
    case Op::kPresent:
      return !value.empty();
  }
  return false;
}

bool holds(const Condition& c, std::string_view attribute, bool caseSensitive) {
  bool result = false;
  if (c.no) {
    result = attribute.find_first_not_of(kValueMark) == std::string_view::npos;
  } else if (c.op == Op::kPresent && !c.every) {
    result = !attribute.empty();
  } else {
    // Several values in the condition are alternatives, except that '#' must differ from all.
    auto one = [&](std::string_view value) {
      // Reached only with EVERY: every value must be non-empty.
      if (c.op == Op::kPresent) return !value.empty();
      if (c.op == Op::kBetween)
        return matchesOne(value, c.op, c.values[0], c.values[1], caseSensitive);
      bool ok = c.op == Op::kNotEqual;
      for (const std::string& pattern : c.values) {
        bool m = matchesOne(value, c.op, pattern, {}, caseSensitive);
        if (c.op == Op::kNotEqual) {
          ok = ok && m;
        } else if (m) {
          return true;
        }
      }
      return ok;
    };
    // A multi-valued field satisfies a condition when one of its values does (EVERY: all).
    result = c.every;
    for (;;) {
      std::size_t mark = attribute.find(kValueMark);
      bool m = one(attribute.substr(0, mark));
      // The first value that decides ends the scan: a match for "any", a miss for EVERY.
      if (m != c.every) {
        result = m;
        break;
      }
      if (mark == std::string_view::npos) break;
      attribute.remove_prefix(mark + 1);
    }
  }
  return c.negate ? !result : result;
}

SortValue sortValue(std::string_view text) {
  SortValue v;
  v.text = text;
  v.numeric = parseNumeric(text, v.number);
  return v;
}

int compareSortValues(const SortValue& a, const SortValue& b, char justify, bool caseSensitive) {
  // Numbers first, so right-justified numbers of different lengths still compare by value.
  if (a.numeric && b.numeric) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
  // Right-aligned text: the shorter is padded on the left, so it sorts first.
  if (justify == 'R' && a.text.size() != b.text.size())
    return a.text.size() < b.text.size() ? -1 : 1;
  return compareText(a.text, b.text, caseSensitive);
}

int compareField(std::string_view a, std::string_view b, char justify, bool caseSensitive) {
  return compareSortValues(sortValue(a), sortValue(b), justify, caseSensitive);
}

}  // namespace tarn::server::tcl::query
