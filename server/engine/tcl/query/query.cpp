// The query verbs: COUNT, ESTIMATE-COUNT, SELECT, SSELECT and LIST.
#include <algorithm>
#include <charconv>

#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

bool isNumber(std::string_view s, double& out) {
  if (s.empty()) return false;
  const char* first = s.data();
  const char* last = first + s.size();
  if (*first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, out);
  return ec == std::errc() && end == last;
}

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

std::optional<long> attributeNumber(Interpreter& in, const Word& w, const OpenSection& target) {
  std::string_view name = w.text;
  if (name.size() > 1 && (name[0] == 'A' || name[0] == 'a')) {
    long n = 0;
    auto [end, ec] = std::from_chars(name.data() + 1, name.data() + name.size(), n);
    if (ec == std::errc() && end == name.data() + name.size() && n >= 0) {
      if (n <= in.state().limits.elementNumber) return n;
      in.overLimit(
          cat({"Attribute number ", std::string_view(name).substr(1), " is over the limit of ",
               std::to_string(in.state().limits.elementNumber), "."}));
      return std::nullopt;
    }
  }
  // A dictionary item whose attribute 1 starts with A or S defines attribute (its attribute 2).
  std::optional<store::Section> dict =
      target.account->findSection(target.section.file, true, {}, in.state().caseSensitive);
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
  in.message(msg::kNotAnAttribute, cat({"'", name, "' is not an attribute name."}));
  return std::nullopt;
}

// [DICT|D|DATA] file  [quoted ids]  [WITH|IF cond [AND|OR [WITH] cond]...]  [BY|BY-DSND attr]...
// and, for LIST, attribute names or A<n> as the columns.
std::optional<Query> parseQuery(Interpreter& in, const std::vector<Word>& words, bool listing,
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
    in.message(msg::kSyntax, "A file name is missing.");
    return std::nullopt;
  }
  q.reference += words[i++].text;
  target = in.state().resolve(q.reference);
  if (!target) {
    in.message(msg::kNotAFile, cat({"'", q.reference, "' is not a file name."}));
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
        in.message(msg::kSyntax, "A selection criterion is missing.");
        return std::nullopt;
      }
      Condition c;
      std::optional<long> n = attributeNumber(in, words[i++], *target);
      if (!n) return std::nullopt;
      c.attribute = *n;
      std::optional<Op> op = i < words.size() ? opFor(words[i]) : std::nullopt;
      if (op) ++i;
      while (i < words.size() && !isKeyword(words[i]) && (words[i].quoted || !listing || op))
        c.values.push_back(words[i++].text);
      c.op = op ? *op : (c.values.empty() ? Op::kPresent : Op::kEqual);
      if (c.op != Op::kPresent && c.values.empty()) {
        in.message(msg::kSyntax, "A value is missing after the operator.");
        return std::nullopt;
      }
      if (q.anyOf.empty() || orNext) q.anyOf.emplace_back();
      q.anyOf.back().push_back(std::move(c));
      orNext = false;
    } else if (!w.quoted && (equalsNoCase(w.text, "BY") || equalsNoCase(w.text, "BY-DSND"))) {
      bool descending = equalsNoCase(w.text, "BY-DSND");
      if (++i >= words.size()) {
        in.message(msg::kSyntax, "A sort attribute is missing.");
        return std::nullopt;
      }
      std::optional<long> n = attributeNumber(in, words[i++], *target);
      if (!n) return std::nullopt;
      q.sort.push_back({*n, descending});
    } else if (w.quoted) {
      q.ids.push_back(w.text);
      ++i;
    } else if (listing) {
      std::optional<long> n = attributeNumber(in, w, *target);
      if (!n) return std::nullopt;
      q.columns.push_back(*n);
      ++i;
    } else {
      in.message(msg::kSyntax, cat({"'", w.text, "' is not understood here."}));
      return std::nullopt;
    }
  }
  return q;
}

}  // namespace

namespace verbs {

void query(Interpreter& in, const Invocation& call) {
  const std::string_view verb = call.verb;
  const CommandLine& cmd = call.cmd;
  const bool listing = verb == "LIST";
  std::optional<OpenSection> target;
  std::optional<Query> q = parseQuery(in, cmd.words, listing, target);
  if (!q) return;
  store::Account& a = *target->account;
  const store::Section& s = target->section;
  const bool plain = q->anyOf.empty() && q->ids.empty();
  if (verb == "ESTIMATE-COUNT" && plain) {
    in.print(std::to_string(a.countItems(s)));
    return;
  }
  if (verb == "COUNT" && plain) {
    std::int64_t n = a.countItems(s);
    in.print(cat({"Count: ", std::to_string(n), " items."}));
    in.note(msg::kCounted);
    return;
  }
  if ((verb == "SELECT" || verb == "SSELECT") && plain && q->sort.empty()) {
    IdList list;
    list.count = a.appendIds(s, list.ids);
    in.print(cat({"Active list: ", std::to_string(list.count), " items selected."}));
    in.note(list.count > 0 ? msg::kSelected : msg::kNoItems);
    in.state().activeList = std::move(list);
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
      for (const Condition& c : group) all = all && holds(c, id, body, in.state().caseSensitive);
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
    if (kept + in.capturedBytes() > in.state().limits.replyBytes) throw OverReply{};
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
    in.overLimit(cat({"The listing is over the reply limit of ",
                      std::to_string(in.state().limits.replyBytes), " bytes."}));
    return;
  }
  if (!q->sort.empty()) {
    const bool cs = in.state().caseSensitive;
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
    in.print(cat({"Count: ", count, " items."}));
    in.note(msg::kCounted);
  } else if (verb == "ESTIMATE-COUNT") {
    in.print(count);
  } else if (verb == "LIST") {
    for (const Row& r : rows) in.print(r.line);
    in.message(msg::kListed, cat({count, " items listed."}));
  } else {
    IdList list;
    for (const Row& r : rows) {
      if (list.count++ > 0) list.ids.push_back(kAttributeMark);
      list.ids += r.id;
    }
    in.print(cat({"Active list: ", count, " items selected."}));
    in.note(list.count > 0 ? msg::kSelected : msg::kNoItems);
    in.state().activeList = std::move(list);
  }
}

}  // namespace verbs
}  // namespace tarn::server::tcl
