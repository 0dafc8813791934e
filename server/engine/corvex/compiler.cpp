// One-pass compiler: the parser checks the program and emits register bytecode as it
// goes, as small language compilers do, so there is no tree to walk afterwards.
#include <algorithm>
#include <map>
#include <unordered_map>

#include "server/engine/corvex/emitter.h"
#include "server/engine/corvex/lexer.h"
#include "server/engine/corvex/program.h"

namespace tarn::server::corvex {
namespace {

struct FnInfo {
  Fn fn;
  int min;
  int max;
};

const std::unordered_map<std::string_view, FnInfo>& functions() {
  static const std::unordered_map<std::string_view, FnInfo> k = {
      {"LEN", {Fn::kLen, 1, 1}},         {"TRIM", {Fn::kTrim, 1, 1}},
      {"FIELD", {Fn::kField, 3, 4}},     {"INDEX", {Fn::kIndex, 3, 3}},
      {"COUNT", {Fn::kCount, 2, 2}},     {"DCOUNT", {Fn::kDcount, 2, 2}},
      {"EXTRACT", {Fn::kExtract, 2, 4}}, {"REPLACE", {Fn::kReplace, 3, 5}},
      {"INSERT", {Fn::kInsert, 3, 5}},   {"DELETE", {Fn::kDelete, 2, 4}},
      {"OCONV", {Fn::kOconv, 2, 2}},     {"ICONV", {Fn::kIconv, 2, 2}},
      {"UPCASE", {Fn::kUpcase, 1, 1}},   {"DOWNCASE", {Fn::kDowncase, 1, 1}},
      {"STR", {Fn::kStr, 2, 2}},         {"SPACE", {Fn::kSpace, 1, 1}},
      {"NUM", {Fn::kNum, 1, 1}},         {"ALPHA", {Fn::kAlpha, 1, 1}},
      {"INT", {Fn::kInt, 1, 1}},         {"ABS", {Fn::kAbs, 1, 1}},
      {"MOD", {Fn::kMod, 2, 2}},         {"SEQ", {Fn::kSeq, 1, 1}},
      {"CHAR", {Fn::kChar, 1, 1}},       {"DATE", {Fn::kDate, 0, 0}},
      {"TIME", {Fn::kTime, 0, 0}},       {"CONVERT", {Fn::kConvert, 3, 3}},
      {"CHANGE", {Fn::kChange, 3, 3}},   {"NOT", {Fn::kNot, 1, 1}}};
  return k;
}

// Words that end an expression or a statement and so can never be variables.
bool reserved(std::string_view w) {
  static const char* const k[] = {"THEN",  "ELSE",   "END",     "TO",  "STEP", "DO",
                                  "WHILE", "UNTIL",  "REPEAT",  "AND", "OR",   "FROM",
                                  "ON",    "LOCKED", "SETTING", "IN",  "BY",   "NEXT",
                                  "EQ",    "NE",     "LT",      "GT",  "LE",   "GE"};
  return std::any_of(std::begin(k), std::end(k), [&](const char* r) { return w == r; });
}

constexpr std::size_t kMaxErrors = 50;
constexpr int kMaxNesting = 200;

struct SyntaxError {
  int line;
  std::string text;
};

class Compiler : Emitter {
 public:
  explicit Compiler(std::string_view src) : toks_(lex(src)) {}

  Compiled run() {
    Compiled out;
    try {
      header();
      block(Until::kProgramEnd);
    } catch (const SyntaxError& e) {
      errors_.push_back({e.line, e.text});
    }
    for (const auto& g : gotos_) {
      auto it = labels_.find(g.label);
      if (it == labels_.end()) {
        errors_.push_back({g.line, "label '" + g.label + "' is not defined"});
      } else {
        p_.code[static_cast<std::size_t>(g.at)].a = it->second;
      }
    }
    if (!loops_.empty()) errors_.push_back({toks_.back().line, "REPEAT or NEXT expected"});
    std::stable_sort(errors_.begin(), errors_.end(),
                     [](const CompileError& a, const CompileError& b) { return a.line < b.line; });
    if (errors_.size() > kMaxErrors) errors_.resize(kMaxErrors);
    out.errors = std::move(errors_);
    if (!out.errors.empty()) return out;
    emit(Op::kReturn);
    finish();
    auto program = std::make_shared<Program>(std::move(p_));
    program->prepareConstants();
    out.program = std::move(program);
    return out;
  }

 private:
  enum class Until { kProgramEnd, kBlockEnd, kLineClause, kLoop, kFor };

  struct Loop {
    bool isFor = false;
    std::string variable;
    std::int32_t start = 0;  // where REPEAT goes back to
    std::vector<std::int32_t> exits;
  };
  struct Goto {
    std::string label;
    std::int32_t at;
    int line;
  };

  // --- tokens
  const Token& peek(std::size_t ahead = 0) const {
    return toks_[std::min(pos_ + ahead, toks_.size() - 1)];
  }
  const Token& take() {
    const Token& t = toks_[pos_];
    if (pos_ + 1 < toks_.size()) ++pos_;
    return t;
  }
  bool isWord(std::string_view w, std::size_t ahead = 0) const {
    const Token& t = peek(ahead);
    return t.kind == Tok::kIdent && t.text == w;
  }
  bool isOp(std::string_view o, std::size_t ahead = 0) const {
    const Token& t = peek(ahead);
    return t.kind == Tok::kOp && t.text == o;
  }
  bool atLineEnd() const {
    Tok k = peek().kind;
    return k == Tok::kNewline || k == Tok::kEnd;
  }
  bool atStatementEnd() const { return atLineEnd() || peek().kind == Tok::kSemi; }
  [[noreturn]] void fail(const std::string& expected) const {
    const Token& t = peek();
    std::string found = t.kind == Tok::kEnd       ? "the end of the program"
                        : t.kind == Tok::kNewline ? "the end of the line"
                        : t.kind == Tok::kBad     ? t.text
                        : t.kind == Tok::kString  ? "a string"
                                                  : "'" + t.text + "'";
    throw SyntaxError{t.line, expected + " expected, found " + found};
  }
  void expectOp(std::string_view o) {
    if (!isOp(o)) fail("'" + std::string(o) + "'");
    take();
  }
  void expectWord(std::string_view w) {
    if (!isWord(w)) fail(std::string(w));
    take();
  }
  std::string name(const char* what) {
    if (peek().kind != Tok::kIdent || reserved(peek().text)) fail(what);
    return take().text;
  }

  // --- program structure
  void header() {
    skipSeparators();
    line_ = peek().line;
    if (isWord("SUBROUTINE") || isWord("PROGRAM")) {
      p_.subroutine = take().text == "SUBROUTINE";
      p_.name = name("a program name");
      if (p_.subroutine && isOp("(")) {
        take();
        if (!isOp(")")) {
          for (;;) {
            std::string param = name("a parameter name");
            if (vars_.count(param) != 0)
              throw SyntaxError{line_, "parameter " + param + " repeated"};
            variable(param);
            if (!isOp(",")) break;
            take();
          }
        }
        expectOp(")");
      }
      p_.parameters = static_cast<std::int32_t>(p_.variables.size());
      if (!atStatementEnd()) fail("the end of the header");
    }
  }
  void skipSeparators() {
    while (peek().kind == Tok::kNewline || peek().kind == Tok::kSemi) take();
  }

  // Statements until the terminator of the context: the end of the program, END, REPEAT, NEXT,
  // or for a one-line clause the end of the line or the next clause keyword.
  void block(Until until) {
    Nesting guard(*this);
    const int base = temps_;
    for (;;) {
      if (until == Until::kLineClause) {
        while (peek().kind == Tok::kSemi) take();
        if (atLineEnd() || isWord("ELSE") || isWord("LOCKED") || isWord("THEN")) return;
      } else {
        skipSeparators();
      }
      const Token& t = peek();
      line_ = t.line;
      if (t.kind == Tok::kEnd) {
        if (until == Until::kProgramEnd) return;
        if (until == Until::kLoop)
          throw SyntaxError{t.line, "REPEAT expected, found the end of the program"};
        if (until == Until::kFor)
          throw SyntaxError{t.line, "NEXT expected, found the end of the program"};
        throw SyntaxError{t.line, "END expected, found the end of the program"};
      }
      if (isWord("END") && until != Until::kLineClause) {
        if (until == Until::kProgramEnd) {
          take();
          skipSeparators();
          if (peek().kind != Tok::kEnd) fail("nothing after END");
          return;
        }
        if (until == Until::kBlockEnd) {
          take();
          return;
        }
      }
      if (until == Until::kLoop && isWord("REPEAT")) return;
      if (until == Until::kFor && isWord("NEXT")) return;
      try {
        statement();
        // DO lets a loop's body share the line with REPEAT.
        const bool afterDo =
            pos_ > 0 && toks_[pos_ - 1].kind == Tok::kIdent && toks_[pos_ - 1].text == "DO";
        if (!atStatementEnd() && !afterDo && !(until == Until::kLoop && isWord("REPEAT")) &&
            !(until == Until::kLineClause &&
              (isWord("ELSE") || isWord("LOCKED") || isWord("THEN"))))
          fail("the end of the statement");
      } catch (const SyntaxError& e) {
        if (errors_.size() >= kMaxErrors) throw;
        errors_.push_back({e.line, e.text});
        // Resume on the next line.
        while (!atLineEnd()) take();
        if (until == Until::kLineClause) return;
      }
      temps_ = base;
    }
  }

  void statement() {
    const Token& t = peek();
    // Labels: a number, or a name with a colon, at the start of a statement.
    if (t.kind == Tok::kNumber) {
      defineLabel(take().text);
      if (isOp(":")) take();
      if (atStatementEnd()) return;
    } else if (t.kind == Tok::kIdent && isOp(":", 1) && !reserved(t.text) &&
               functions().count(t.text) == 0) {
      std::string label = take().text;
      take();
      defineLabel(label);
      if (atStatementEnd()) return;
    }
    if (peek().kind != Tok::kIdent) fail("a statement");
    const std::string word = peek().text;
    if (word == "IF") return ifStatement();
    if (word == "FOR") return forStatement();
    if (word == "LOOP") return loopStatement();
    if (word == "WHILE" || word == "UNTIL") return whileStatement();
    if (word == "EXIT") return exitStatement();
    if (word == "GOSUB") return jumpStatement(Op::kGosub);
    if (word == "GOTO") return jumpStatement(Op::kJump);
    if (word == "GO") {
      take();
      if (isWord("TO")) take();
      return jumpTo(Op::kJump);
    }
    if (word == "RETURN") {
      take();
      emit(Op::kReturn);
      return;
    }
    if (word == "STOP") {
      take();
      emit(Op::kStop);
      return;
    }
    if (word == "NULL") {
      take();
      return;
    }
    if (word == "CALL") return callStatement();
    if (word == "CRT" || word == "PRINT") return printStatement();
    if (word == "LOCATE") return locateStatement();
    if (word == "OPEN") return openStatement();
    if (word == "READ" || word == "READU" || word == "READV") return readStatement();
    if (word == "WRITE" || word == "WRITEV" || word == "WRITEU" || word == "WRITEVU")
      return writeStatement();
    if (word == "DELETE" && !isOp("(", 1)) return deleteStatement();
    if (word == "RELEASE") return releaseStatement();
    if (word == "SUBROUTINE" || word == "PROGRAM") fail("a statement (the header must come first)");
    if (word == "NEXT" || word == "REPEAT" || word == "ELSE" || word == "END")
      throw SyntaxError{t.line, word + " without its opening statement"};
    assignment();
  }

  void defineLabel(const std::string& label) {
    if (!labels_.emplace(label, here()).second)
      throw SyntaxError{line_, "label '" + label + "' defined twice"};
  }

  void jumpStatement(Op op) {
    take();
    jumpTo(op);
  }
  void jumpTo(Op op) {
    const Token& t = peek();
    if (t.kind != Tok::kNumber && t.kind != Tok::kIdent) fail("a label");
    std::string label = take().text;
    if (isOp(":")) take();
    gotos_.push_back({label, emit(op), line_});
  }

  // A target of an assignment or a by-reference argument: a variable with optional <a,v,s>.
  struct Target {
    std::int32_t slot;
    std::vector<std::int32_t> indices;
  };

  void assignment() {
    std::string n = name("a statement");
    if (functions().count(n) != 0 && isOp("(")) fail("a statement");
    Target target{variable(n), {}};
    if (isOp("<")) {
      take();
      target.indices = indexList();
    }
    std::string op = peek().kind == Tok::kOp ? peek().text : "";
    static const std::map<std::string, Op> kCompound = {
        {"+=", Op::kAdd}, {"-=", Op::kSub}, {"*=", Op::kMul}, {"/=", Op::kDiv}, {":=", Op::kCat}};
    if (op == "=") {
      take();
      if (target.indices.empty()) {
        expressionInto(target.slot);
      } else {
        store(target, expression());
      }
    } else if (kCompound.count(op) != 0) {
      take();
      std::int32_t current = target.slot;
      if (!target.indices.empty()) {
        current = temp();
        emit(Op::kElement, current, target.slot, operandRun(target.indices),
             static_cast<std::uint8_t>(target.indices.size()));
      }
      std::int32_t rhs = expression();
      std::int32_t dst = target.indices.empty() ? target.slot : temp();
      emit(kCompound.at(op), dst, current, rhs);
      store(target, dst);
    } else {
      fail("'='");
    }
  }
  void store(const Target& t, std::int32_t value) {
    if (t.indices.empty()) {
      if (value != t.slot) emit(Op::kMove, t.slot, value);
      return;
    }
    emit(Op::kSetElement, t.slot, value, operandRun(t.indices),
         static_cast<std::uint8_t>(t.indices.size()));
  }
  // After '<': up to three positions and the closing '>'.
  std::vector<std::int32_t> indexList() {
    std::vector<std::int32_t> out;
    for (;;) {
      out.push_back(expression(kConcatLevel));
      if (out.size() < 3 && isOp(",")) {
        take();
        continue;
      }
      break;
    }
    if (isOp(">=")) {
      // "X<1>=2" lexes as '>=': keep the '=' for what follows.
      toks_[pos_].text = "=";
      return out;
    }
    expectOp(">");
    return out;
  }

  // --- expressions. Levels, loosest first: OR, AND, comparison, ':', + -, * /, ^, unary.
  static constexpr int kOrLevel = 0;
  static constexpr int kConcatLevel = 3;

  std::int32_t expression(int level = kOrLevel) { return binary(level); }

  // Evaluates into dst: the last instruction of the expression is made to write dst directly
  // when it computed the whole value into a temp.
  void expressionInto(std::int32_t dst) {
    std::int32_t r = expression();
    if (r == dst) return;
    if (r >= kTempBase && !p_.code.empty() && p_.code.back().a == r && writesA(p_.code.back().op)) {
      p_.code.back().a = dst;
      return;
    }
    emit(Op::kMove, dst, r);
  }
  static bool writesA(Op op) {
    return op <= Op::kNot || op == Op::kElement || op == Op::kSubstring || op == Op::kFunction;
  }

  static bool comparison(const Token& t, Op& op) {
    static const std::map<std::string, Op> k = {
        {"=", Op::kEq},  {"#", Op::kNe},  {"<>", Op::kNe}, {"<", Op::kLt},  {">", Op::kGt},
        {"<=", Op::kLe}, {">=", Op::kGe}, {"EQ", Op::kEq}, {"NE", Op::kNe}, {"LT", Op::kLt},
        {"GT", Op::kGt}, {"LE", Op::kLe}, {"GE", Op::kGe}};
    if (t.kind != Tok::kOp && t.kind != Tok::kIdent) return false;
    auto it = k.find(t.text);
    if (it == k.end()) return false;
    op = it->second;
    return true;
  }

  bool operatorAt(int level, Op& op) const {
    const Token& t = peek();
    switch (level) {
      case 0:
        if (t.kind == Tok::kIdent && t.text == "OR") return op = Op::kOr, true;
        return false;
      case 1:
        if (t.kind == Tok::kIdent && t.text == "AND") return op = Op::kAnd, true;
        return false;
      case 2:
        return comparison(t, op);
      case 3:
        // A ':' at the end of a PRINT list keeps the line open: it is not an operator there.
        if (t.kind == Tok::kOp && t.text == ":") {
          const Token& n = peek(1);
          if (n.kind == Tok::kNewline || n.kind == Tok::kEnd || n.kind == Tok::kSemi ||
              (n.kind == Tok::kIdent && (n.text == "ELSE" || n.text == "THEN")))
            return false;
          return op = Op::kCat, true;
        }
        return false;
      case 4:
        if (t.kind == Tok::kOp && t.text == "+") return op = Op::kAdd, true;
        if (t.kind == Tok::kOp && t.text == "-") return op = Op::kSub, true;
        return false;
      case 5:
        if (t.kind == Tok::kOp && t.text == "*") return op = Op::kMul, true;
        if (t.kind == Tok::kOp && t.text == "/") return op = Op::kDiv, true;
        return false;
      case 6:
        if (t.kind == Tok::kOp && t.text == "^") return op = Op::kPow, true;
        return false;
      default:
        return false;
    }
  }

  // Guards the parser's recursion against source nested without end.
  struct Nesting {
    Compiler& c;
    explicit Nesting(Compiler& owner) : c(owner) {
      if (++c.nesting_ > kMaxNesting) {
        --c.nesting_;
        throw SyntaxError{c.peek().line, "nesting deeper than " + std::to_string(kMaxNesting)};
      }
    }
    ~Nesting() { --c.nesting_; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;
  };

  std::int32_t binary(int level) {
    if (level > 6) return unary();
    Op op{};
    std::int32_t left = binary(level + 1);
    while (operatorAt(level, op)) {
      take();
      std::int32_t right = binary(level + 1);
      std::int32_t d = temp();
      emit(op, d, left, right);
      left = d;
    }
    return left;
  }

  std::int32_t unary() {
    Nesting guard(*this);
    if (isOp("-")) {
      take();
      // A negative literal is a constant, so X<-1> costs nothing to work out.
      if (peek().kind == Tok::kNumber && !isOp("^", 1) && !isOp("[", 1))
        return postfix(constant("-" + take().text));
      std::int32_t v = unary();
      std::int32_t d = temp();
      emit(Op::kNeg, d, v);
      return d;
    }
    if (isOp("+")) {
      take();
      return unary();
    }
    return postfix(primary());
  }

  // "(" [expression {"," expression}] ")": the arguments of a function or a CALL.
  std::vector<std::int32_t> argumentList() {
    expectOp("(");
    std::vector<std::int32_t> args;
    if (!isOp(")")) {
      for (;;) {
        args.push_back(expression());
        if (!isOp(",")) break;
        take();
      }
    }
    expectOp(")");
    return args;
  }

  // Substring references after any operand.
  std::int32_t postfix(std::int32_t v) {
    while (isOp("[")) {
      take();
      std::vector<std::int32_t> args{expression()};
      if (isOp(",")) {
        take();
        args.push_back(expression());
      }
      expectOp("]");
      std::int32_t d = temp();
      emit(Op::kSubstring, d, v, operandRun(args), static_cast<std::uint8_t>(args.size()));
      v = d;
    }
    return v;
  }

  // Whether the '<' after a variable opens an element reference: a matching '>' comes before
  // anything that could only belong to a comparison.
  bool elementReferenceAhead() const {
    int depth = 0;
    for (std::size_t k = 1;; ++k) {
      const Token& t = peek(k);
      if (t.kind == Tok::kEnd || t.kind == Tok::kNewline || t.kind == Tok::kSemi) return false;
      if (t.kind == Tok::kIdent && reserved(t.text)) return false;
      if (t.kind != Tok::kOp) continue;
      if (t.text == "(" || t.text == "[") ++depth;
      if (t.text == ")" || t.text == "]") {
        if (depth-- == 0) return false;
      }
      if (depth > 0) continue;
      if (t.text == ">" || t.text == ">=") return true;
      if (t.text == "<" || t.text == "<=" || t.text == "<>" || t.text == "=" || t.text == "#")
        return false;
    }
  }

  std::int32_t primary() {
    const Token& t = peek();
    switch (t.kind) {
      case Tok::kNumber: {
        std::string text = take().text;
        // Numbers are kept as they read: "1.50" prints as written until arithmetic touches it.
        return constant(text);
      }
      case Tok::kString:
        return constant(take().text);
      case Tok::kOp:
        if (t.text == "(") {
          take();
          std::int32_t v = expression();
          expectOp(")");
          return v;
        }
        fail("a value");
      case Tok::kIdent:
        break;
      default:
        fail("a value");
    }
    std::string word = t.text;
    if (word == "@AM" || word == "@FM") return take(), constant(std::string(1, kAm));
    if (word == "@VM") return take(), constant(std::string(1, kVm));
    if (word == "@SVM" || word == "@SM") return take(), constant(std::string(1, kSvm));
    if (word[0] == '@') fail("@AM, @FM, @VM, @SVM or @SM");
    if (reserved(word)) fail("a value");
    auto fn = functions().find(word);
    if (fn != functions().end() && isOp("(", 1)) {
      take();
      std::vector<std::int32_t> args = argumentList();
      const FnInfo& info = fn->second;
      if (static_cast<int>(args.size()) < info.min || static_cast<int>(args.size()) > info.max)
        throw SyntaxError{
            line_, word + " takes " + std::to_string(info.min) +
                       (info.max != info.min ? " to " + std::to_string(info.max) : std::string()) +
                       " arguments"};
      std::int32_t d = temp();
      emit(Op::kFunction, d, static_cast<std::int32_t>(info.fn), operandRun(args),
           static_cast<std::uint8_t>(args.size()));
      return d;
    }
    if (isOp("(", 1)) throw SyntaxError{line_, "'" + word + "' is not a function"};
    take();
    std::int32_t v = variable(word);
    if (isOp("<") && elementReferenceAhead()) {
      take();
      std::vector<std::int32_t> idx = indexList();
      std::int32_t d = temp();
      emit(Op::kElement, d, v, operandRun(idx), static_cast<std::uint8_t>(idx.size()));
      return d;
    }
    return v;
  }

  // --- control flow
  // THEN/ELSE/LOCKED clauses after a statement that leaves an outcome (0 then, 1 else,
  // 2 locked) in slot. Without a LOCKED clause, a lock held elsewhere takes ELSE.
  void clauses(std::int32_t outcome, bool allowLocked, bool allowThen = true) {
    bool hasLocked = false;
    for (std::size_t k = pos_; k < toks_.size(); ++k) {
      const Token& t = toks_[k];
      if (t.kind == Tok::kNewline || t.kind == Tok::kEnd) break;
      if (t.kind == Tok::kIdent && t.text == "LOCKED") hasLocked = true;
    }
    std::vector<std::int32_t> toEnd;
    bool any = false;
    while (isWord("THEN") || isWord("ELSE") || (allowLocked && isWord("LOCKED"))) {
      std::string word = take().text;
      if (word == "THEN" && !allowThen) throw SyntaxError{line_, "THEN is not allowed here"};
      int mask = word == "THEN" ? 1 : (word == "LOCKED" ? 4 : (hasLocked ? 2 : 6));
      std::int32_t skip = emit(Op::kJumpOut, outcome, mask, 0);
      clauseBody();
      toEnd.push_back(emit(Op::kJump));
      patch(skip, here());
      any = true;
    }
    if (!any) fail("THEN or ELSE");
    for (std::int32_t j : toEnd) patch(j, here());
  }
  // One line of statements, or a block to END when the keyword ends its line.
  void clauseBody() {
    if (atLineEnd()) {
      block(Until::kBlockEnd);
    } else {
      block(Until::kLineClause);
    }
  }

  void ifStatement() {
    take();
    std::int32_t cond = expression();
    // IF keeps THEN/ELSE on the condition directly rather than through an outcome slot.
    std::vector<std::int32_t> toEnd;
    bool any = false;
    while (isWord("THEN") || isWord("ELSE")) {
      bool then = take().text == "THEN";
      std::int32_t skip = emit(then ? Op::kJumpIfNot : Op::kJumpIf, cond, 0);
      clauseBody();
      toEnd.push_back(emit(Op::kJump));
      patch(skip, here());
      any = true;
      if (!then) break;
    }
    if (!any) fail("THEN or ELSE");
    for (std::int32_t j : toEnd) patch(j, here());
  }

  void forStatement() {
    take();
    std::string var = name("a loop variable");
    std::int32_t v = variable(var);
    expectOp("=");
    expressionInto(v);
    expectWord("TO");
    // Limit and step live in two hidden variables of this loop, side by side: temps would be
    // reused by a GOSUB target outside the loop.
    const std::string hidden = "$" + std::to_string(forLoops_++);
    std::int32_t limit = variable(hidden + "LIMIT");
    std::int32_t step = variable(hidden + "STEP");
    expressionInto(limit);
    if (isWord("STEP")) {
      take();
      expressionInto(step);
    } else {
      emit(Op::kMove, step, constant("1"));
    }
    std::int32_t prep = emit(Op::kForPrep, v, limit, 0);
    Loop loop;
    loop.isFor = true;
    loop.variable = var;
    loop.start = here();
    loops_.push_back(loop);
    block(Until::kFor);
    line_ = peek().line;
    take();  // NEXT
    if (peek().kind == Tok::kIdent && !reserved(peek().text)) {
      std::string named = take().text;
      if (named != var) throw SyntaxError{line_, "NEXT " + var + " expected, found NEXT " + named};
    }
    emit(Op::kForNext, v, limit, loops_.back().start);
    patch(prep, here());
    for (std::int32_t e : loops_.back().exits) patch(e, here());
    loops_.pop_back();
  }

  void loopStatement() {
    take();
    Loop loop;
    loop.start = here();
    loops_.push_back(loop);
    block(Until::kLoop);
    line_ = peek().line;
    take();  // REPEAT
    emit(Op::kJump, loops_.back().start);
    for (std::int32_t e : loops_.back().exits) patch(e, here());
    loops_.pop_back();
  }

  void whileStatement() {
    bool isWhile = take().text == "WHILE";
    if (loops_.empty() || loops_.back().isFor)
      throw SyntaxError{line_, "WHILE or UNTIL outside LOOP"};
    std::int32_t cond = expression();
    loops_.back().exits.push_back(emit(isWhile ? Op::kJumpIfNot : Op::kJumpIf, cond, 0));
    if (isWord("DO")) take();
  }

  void exitStatement() {
    take();
    if (loops_.empty()) throw SyntaxError{line_, "EXIT outside a loop"};
    loops_.back().exits.push_back(emit(Op::kJump));
  }

  void callStatement() {
    take();
    std::string target = name("a subroutine name");
    std::vector<std::int32_t> args;
    if (isOp("(")) args = argumentList();
    emit(Op::kCall, constant(target), 0, operandRun(args), static_cast<std::uint8_t>(args.size()));
  }

  void printStatement() {
    take();
    bool newline = true;
    bool first = true;
    while (!atStatementEnd() && !isWord("ELSE") && !isWord("THEN")) {
      if (isOp(":")) {
        take();
        newline = false;
        break;
      }
      if (!first) {
        expectOp(",");
        emit(Op::kPrint, constant(" "));
      }
      first = false;
      emit(Op::kPrint, expression());
    }
    if (newline) emit(Op::kNewline);
  }

  // LOCATE needle IN array<a[,v]> [BY order] SETTING pos THEN/ELSE
  void locateStatement() {
    take();
    std::int32_t needle = expression(kConcatLevel);
    expectWord("IN");
    std::int32_t array = variable(name("a variable"));
    std::int32_t a = constant("0");
    std::int32_t v = constant("0");
    if (isOp("<")) {
      take();
      a = expression(kConcatLevel);
      if (isOp(",")) {
        take();
        v = expression(kConcatLevel);
      }
      if (isOp(">=")) fail("'>'");
      expectOp(">");
    }
    std::int32_t order = constant("");
    if (isWord("BY")) {
      take();
      order = expression(kConcatLevel);
    }
    expectWord("SETTING");
    std::int32_t position = variable(name("a variable"));
    std::int32_t outcome = temp();
    emit(Op::kLocate, position, outcome, operandRun({needle, array, a, v, order}), 5);
    clauses(outcome, false);
  }

  // OPEN [dict,] name TO var THEN/ELSE
  void openStatement() {
    take();
    std::vector<std::int32_t> args{expression()};
    if (isOp(",")) {
      take();
      args.push_back(expression());
    }
    expectWord("TO");
    std::int32_t file = variable(name("a file variable"));
    std::int32_t outcome = temp();
    emit(Op::kOpen, file, outcome, operandRun(args), static_cast<std::uint8_t>(args.size()));
    clauses(outcome, false);
  }

  void readStatement() {
    std::string word = take().text;
    std::int32_t into = variable(name("a variable"));
    expectWord("FROM");
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    if (word == "READV") {
      expectOp(",");
      args.push_back(expression());
    }
    std::int32_t outcome = temp();
    // The count of operands, with 0x10 for a read that locks.
    const auto shape = static_cast<std::uint8_t>(args.size() | (word == "READU" ? 0x10u : 0u));
    emit(Op::kRead, into, outcome, operandRun(args), shape);
    clauses(outcome, word == "READU");
  }

  void writeStatement() {
    std::string word = take().text;
    std::int32_t value = expression();
    if (!isWord("ON") && !isWord("TO")) fail("ON");
    take();
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    if (word == "WRITEV" || word == "WRITEVU") {
      expectOp(",");
      args.push_back(expression());
    }
    std::int32_t outcome = temp();
    // The count of operands, with 0x10 for a write that keeps the item's lock.
    const bool keeps = word == "WRITEU" || word == "WRITEVU";
    emit(Op::kWrite, value, outcome, operandRun(args),
         static_cast<std::uint8_t>(args.size() | (keeps ? 0x10u : 0u)));
    optionalClauses(outcome);
  }

  void deleteStatement() {
    take();
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    std::int32_t outcome = temp();
    emit(Op::kDelete, 0, outcome, operandRun(args), 2);
    optionalClauses(outcome);
  }

  void releaseStatement() {
    take();
    std::vector<std::int32_t> args;
    if (!atStatementEnd()) {
      args.push_back(expression());
      expectOp(",");
      args.push_back(expression());
    }
    emit(Op::kRelease, 0, 0, operandRun(args), static_cast<std::uint8_t>(args.size()));
  }

  void optionalClauses(std::int32_t outcome) {
    if (isWord("ELSE") || isWord("LOCKED") || isWord("THEN")) clauses(outcome, true);
  }

  std::vector<Token> toks_;
  std::size_t pos_ = 0;
  std::vector<CompileError> errors_;
  std::unordered_map<std::string, std::int32_t> labels_;
  std::vector<Goto> gotos_;
  std::vector<Loop> loops_;
  int nesting_ = 0;
  int forLoops_ = 0;
};

}  // namespace

Compiled compile(std::string_view source) {
  return Compiler(source).run();
}

}  // namespace tarn::server::corvex
