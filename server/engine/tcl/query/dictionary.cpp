#include "server/engine/tcl/query/dictionary.h"

#include <algorithm>
#include <charconv>
#include <mutex>

#include "server/engine/corvex/vm.h"
#include "server/engine/tcl/interpreter.h"

namespace tarn::server::tcl::query {
namespace {

// I items may name other I items; a chain deeper than this is taken for a loop.
constexpr int kMaxDepth = 8;
// Compiled expressions kept for the process, keyed by the source made from them: a changed
// dictionary item makes another source and so compiles afresh.
constexpr std::size_t kMaxCachedPrograms = 512;

std::optional<long> number(std::string_view s) {
  if (s.empty()) return std::nullopt;
  long n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || n < 0) return std::nullopt;
  return n;
}

// "10L", "8R", "12T", "L10", "L#10": justification and width; nothing for other text.
void parseFormat(std::string_view text, Field& f) {
  std::string_view digits;
  char justify = 0;
  std::size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i > 0) {
    digits = text.substr(0, i);
    if (i < text.size()) justify = text[i];
  } else if (!text.empty()) {
    justify = text[0];
    std::size_t j = 1;
    if (j < text.size() && text[j] == '#') ++j;
    std::size_t k = j;
    while (k < text.size() && text[k] >= '0' && text[k] <= '9') ++k;
    digits = text.substr(j, k - j);
  }
  justify = static_cast<char>(justify >= 'a' && justify <= 'z' ? justify - 32 : justify);
  if (justify == 'L' || justify == 'R' || justify == 'T') f.justify = justify;
  // Widths past 1000 are ignored (the default stays), so that one dictionary item cannot pad
  // every row of a report to megabytes.
  if (const long w = number(digits).value_or(0); w > 0 && w <= 1000) f.width = static_cast<int>(w);
}

bool identStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool identChar(char c) {
  // Dictionary names commonly hold '.', '$', '_' and '%' ("UNIT.PRICE"); they are one word.
  return identStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '$' || c == '_' || c == '%';
}

bool operatorWord(std::string_view w) {
  for (std::string_view k : {"AND", "OR", "NOT", "CAT", "EQ", "NE", "LT", "GT", "LE", "GE", "MATCH",
                             "MATCHES", "MATCHING", "THEN", "ELSE", "IF"})
    if (w == k) return true;
  return false;
}

std::shared_ptr<const corvex::Program> compiled(const std::string& source,
                                                std::vector<corvex::CompileError>& errors) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const corvex::Program>, std::less<>> cache;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache.find(source);
    if (it != cache.end()) return it->second;
  }
  // Compiled outside the lock so that one port's compile does not stall every other listing; two
  // ports compiling the same source both succeed and the first one stored is kept.
  corvex::Compiled c = corvex::compile(source);
  errors = std::move(c.errors);
  if (!c.program) return nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  // Emptied rather than aged: a full recompile is rare and cheap beside tracking use per entry.
  if (cache.size() >= kMaxCachedPrograms) cache.clear();
  cache.emplace(source, c.program);
  return c.program;
}

}  // namespace

std::optional<long> attributeWord(std::string_view word, long limit) {
  if (word.size() < 2 || (word[0] != 'A' && word[0] != 'a')) return std::nullopt;
  std::optional<long> n = number(word.substr(1));
  if (!n) return std::nullopt;
  // A number over the limit is an error of its own rather than "not a field", so the user learns
  // why.
  if (*n > limit)
    throw QueryError{msg::kOverLimit, cat({"Attribute number ", word.substr(1),
                                           " is over the limit of ", std::to_string(limit), "."})};
  return n;
}

Dictionary::Dictionary(PortState& state, const OpenSection& target)
    : state_(state), target_(target) {
  dict_ = target.account->findSection(target.section.file, true, {}, state.caseSensitive);
}

std::shared_ptr<const Field> Dictionary::find(std::string_view name) {
  return lookup(name, 0);
}

std::shared_ptr<const Field> Dictionary::lookup(std::string_view name, int depth) {
  if (auto it = known_.find(name); it != known_.end()) return it->second;
  std::shared_ptr<const Field> f;
  std::string item;
  // A dictionary item wins over the built-in names, so a file may define its own A1 or @ID.
  if (dict_ && target_.account->readItem(*dict_, name, item)) f = define(name, item, depth);
  if (!f) {
    if (std::optional<long> n = attributeWord(name, state_.limits.elementNumber)) {
      auto made = std::make_shared<Field>();
      made->name = std::string(name);
      made->attribute = *n;
      made->heading = made->name;
      f = made;
    } else if (equalsNoCase(name, "@ID")) {
      f = id();
    }
  }
  if (f) known_.emplace(std::string(name), f);
  return f;
}

std::shared_ptr<const Field> Dictionary::define(std::string_view name, std::string_view item,
                                                int depth) {
  auto attr = [&](long n) { return attributeOf({}, item, n); };
  std::string_view type = attr(1);
  if (type.empty()) return nullptr;
  const char kind = static_cast<char>(type[0] >= 'a' && type[0] <= 'z' ? type[0] - 32 : type[0]);
  // "D" or "I" alone or followed by a description; "A" and "S" likewise.
  // "DATE" is not a D item: a type word is one letter, and only a description may follow it.
  if (type.size() > 1 && type[1] != ' ') return nullptr;
  auto f = std::make_shared<Field>();
  f->name = std::string(name);
  f->heading = f->name;
  if (kind == 'D' || kind == 'I') {
    if (kind == 'D') {
      std::optional<long> n = number(attr(2));
      if (!n) return nullptr;
      f->attribute = *n;
    }
    f->conversion = std::string(attr(3));
    if (!attr(4).empty()) f->heading = std::string(attr(4));
    parseFormat(attr(5), *f);
    f->multi = equalsNoCase(attr(6), "M");
    f->association = std::string(attr(7));
    if (kind == 'I') {
      f->kind = Field::Kind::kExpression;
      // An I item keeps its expression in attribute 2, where a D item keeps its attribute number.
      compileExpression(*f, attr(2), depth);
    }
  } else if (kind == 'A' || kind == 'S') {
    std::optional<long> n = number(attr(2));
    if (!n) return nullptr;
    f->attribute = *n;
    if (!attr(3).empty()) f->heading = std::string(attr(3));
    // C;n;m marks the controlling attribute of an association, D;n a dependent of attribute n:
    // both name the association after the controlling attribute.
    std::string_view link = attr(4);
    if (link.size() > 2 && (link[0] == 'C' || link[0] == 'D') && link[1] == ';') {
      f->association = link[0] == 'C' ? cat({"A", std::to_string(*n)})
                                      : cat({"A", link.substr(2, link.find(';', 2) - 2)});
      f->multi = true;
    }
    f->conversion = std::string(attr(7));
    f->correlative = std::string(attr(8));
    std::string_view justify = attr(9);
    if (!justify.empty()) parseFormat(justify, *f);
    if (const long w = number(attr(10)).value_or(0); w > 0 && w <= 1000)
      f->width = static_cast<int>(w);
  } else {
    return nullptr;
  }
  if (f->attribute > state_.limits.elementNumber)
    throw QueryError{msg::kOverLimit, cat({"Attribute number ", std::to_string(f->attribute),
                                           " is over the limit of ",
                                           std::to_string(state_.limits.elementNumber), "."})};
  return f;
}

// The expression becomes the body of a subroutine whose parameters are the answer, the id, the
// item and every field it names; the names are replaced by those parameters, so the expression
// reads fields as variables and calls the intrinsics as any module does.
void Dictionary::compileExpression(Field& f, std::string_view expression, int depth) {
  if (depth >= kMaxDepth)
    throw QueryError{msg::kBadExpression,
                     cat({"'", f.name, "' names I items ", std::to_string(kMaxDepth),
                          " deep; a loop is likely."})};
  std::string body;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < expression.size();) {
    const char c = expression[i];
    if (c == '"' || c == '\'') {
      std::size_t close = expression.find(c, i + 1);
      std::size_t end = close == std::string_view::npos ? expression.size() : close + 1;
      // Quoted text is copied whole: a field name inside it is text, not a field.
      body += expression.substr(i, end - i);
      i = end;
      continue;
    }
    if (c == '@' || identStart(c)) {
      std::size_t j = i + 1;
      while (j < expression.size() && identChar(expression[j])) ++j;
      std::string word = store::upperAscii(expression.substr(i, j - i));
      std::size_t next = j;
      while (next < expression.size() && expression[next] == ' ') ++next;
      const bool call = next < expression.size() && expression[next] == '(';
      if (word == "@ID") {
        body += "Q.ID";
      } else if (word == "@RECORD") {
        body += "Q.REC";
        // A word before '(' is a function, an operator word is syntax, and the item's own name
        // would recurse; everything else is a field when the dictionary knows it.
      } else if (!call && !operatorWord(word) && !equalsNoCase(word, f.name)) {
        std::shared_ptr<const Field> input = lookup(expression.substr(i, j - i), depth + 1);
        if (input) {
          auto at = std::find(names.begin(), names.end(), word);
          if (at == names.end()) {
            names.push_back(word);
            f.inputs.push_back(input);
            at = names.end() - 1;
          }
          body += cat({"Q.P", std::to_string(at - names.begin() + 1)});
        } else {
          // Not a field: a variable or an intrinsic of the expression, left for the compiler.
          body += expression.substr(i, j - i);
        }
      } else {
        body += expression.substr(i, j - i);
      }
      i = j;
      continue;
    }
    // One expression, not statements: whoever can write a dictionary must not get to run
    // statements in the port of whoever lists the file.
    if (c == ';' || c == '\n' || c == '\r' || static_cast<unsigned char>(c) >= 0xFB)
      throw QueryError{msg::kBadExpression, cat({"I item '", f.name,
                                                 "' does not compile: it holds more than one "
                                                 "expression."})};
    body.push_back(c);
    ++i;
  }
  // Each distinct field is one parameter however often it is named; the names are upper case, so
  // "Qty" and "QTY" share one.
  std::string source = "SUBROUTINE QUERY.EXPRESSION(Q.ANS, Q.ID, Q.REC";
  for (std::size_t k = 1; k <= names.size(); ++k) source += cat({", Q.P", std::to_string(k)});
  source += cat({")\nQ.ANS = ", body, "\nRETURN\n"});
  std::vector<corvex::CompileError> errors;
  f.program = compiled(source, errors);
  if (!f.program) {
    std::string why = errors.empty() ? std::string("it is not an expression") : errors[0].text;
    throw QueryError{msg::kBadExpression, cat({"I item '", f.name, "' does not compile: ", why})};
  }
}

std::shared_ptr<const Field> Dictionary::id() {
  if (id_) return id_;
  std::string item;
  if (dict_ && target_.account->readItem(*dict_, "@ID", item)) id_ = define("@ID", item, 0);
  // An @ID item that does not show attribute 0 is ignored: the id column must show the id.
  if (!id_ || id_->kind != Field::Kind::kData || id_->attribute != 0) {
    auto made = std::make_shared<Field>();
    made->name = "@ID";
    made->heading =
        target_.section.dictionary ? cat({"DICT ", target_.section.file}) : target_.section.file;
    id_ = made;
  }
  return id_;
}

std::vector<std::shared_ptr<const Field>> Dictionary::defaults() {
  std::vector<std::shared_ptr<const Field>> out;
  if (!dict_) return out;
  std::string item;
  if (target_.account->readItem(*dict_, "@", item)) {
    // A phrase: attribute 2 names the fields, blank-separated.
    std::string_view names = attributeOf({}, item, 2);
    while (!names.empty()) {
      std::size_t blank = names.find(' ');
      std::string_view name = names.substr(0, blank);
      if (!name.empty()) {
        std::shared_ptr<const Field> f = find(name);
        if (!f)
          throw QueryError{msg::kNotAnAttribute, cat({"'", name, "' is not an attribute name."})};
        out.push_back(f);
      }
      names.remove_prefix(blank == std::string_view::npos ? names.size() : blank + 1);
    }
    return out;
  }
  std::vector<std::pair<std::string, std::string>> items;
  target_.account->forEachItem(*dict_, [&](std::string_view id, std::string_view body) {
    std::string_view type = attributeOf({}, body, 1);
    // I items are left out: each would compile and run once per listed item unasked.
    if (!type.empty() && std::string_view("DdAaSs").find(type[0]) != std::string_view::npos)
      items.emplace_back(std::string(id), std::string(body));
  });
  std::vector<std::shared_ptr<const Field>> found;
  for (const auto& [id, body] : items) {
    if (id == "@ID") continue;
    std::shared_ptr<const Field> f = define(id, body, 0);
    if (f && f->attribute > 0) found.push_back(f);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a->attribute < b->attribute; });
  // One field per attribute, so that synonyms do not repeat a column.
  for (const auto& f : found) {
    if (!out.empty() && out.back()->attribute == f->attribute) continue;
    out.push_back(f);
    if (out.size() == 6) break;
  }
  return out;
}

std::string Dictionary::value(const Field& f, std::string_view id, std::string_view body) {
  if (f.kind == Field::Kind::kData) {
    std::string_view raw = attributeOf(id, body, f.attribute);
    if (f.correlative.empty()) return std::string(raw);
    // A correlative with a bad code shows the stored value rather than hiding the item.
    std::optional<std::string> v = oconv(raw, f.correlative, state_.format);
    return v ? *v : std::string(raw);
  }
  std::vector<corvex::Value> args;
  args.reserve(3 + f.inputs.size());
  args.emplace_back();
  args.emplace_back(std::string(id));
  args.emplace_back(std::string(body));
  // Inputs may be I items too; their depth was bounded when this one compiled.
  for (const auto& input : f.inputs) args.emplace_back(value(*input, id, body));
  // No port and no CALL: an expression computes from the item and cannot reach files.
  corvex::Runtime rt;
  corvex::RunResult r = corvex::run(*f.program, args, rt);
  if (r.status == corvex::RunStatus::kError)
    throw QueryError{msg::kExpressionFailed,
                     cat({"I item '", f.name, "' failed on item '", id, "': ", r.message})};
  return args[0].text();
}

std::string Dictionary::shown(const Field& f, std::string_view internal) {
  if (f.conversion.empty()) return std::string(internal);
  std::optional<std::string> v = oconv(internal, f.conversion, state_.format);
  return v ? *v : std::string(internal);
}

std::string Dictionary::internal(const Field& f, std::string_view typed) {
  if (f.conversion.empty() || typed.empty()) return std::string(typed);
  std::optional<std::string> v = iconv(typed, f.conversion, state_.format);
  // A value the conversion cannot read is compared as typed, so a criterion may give the
  // internal form directly.
  return v && !v->empty() ? *v : std::string(typed);
}

}  // namespace tarn::server::tcl::query
