// One-pass compiler: the parser checks the program and emits register bytecode as it
// goes, as small language compilers do, so there is no tree to walk afterwards.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "server/engine/corvex/emitter.h"
#include "server/engine/corvex/files.h"
#include "server/engine/corvex/lexer.h"
#include "server/engine/corvex/program.h"

namespace tarn::server::corvex {
namespace {

struct FnInfo {
  Fn fn;
  int min;
  int max;
};

// Argument counts are checked here, at compile time, so a wrong count is a compile error with
// a line rather than a surprise at run time. SWAP is another name for CHANGE.
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
      {"CHANGE", {Fn::kChange, 3, 3}},   {"NOT", {Fn::kNot, 1, 1}},
      {"FMT", {Fn::kFmt, 2, 2}},         {"SUM", {Fn::kSum, 1, 1}},
      {"FIELDS", {Fn::kFields, 3, 4}},   {"EREPLACE", {Fn::kEreplace, 3, 5}},
      {"SWAP", {Fn::kChange, 3, 3}},     {"DQUOTE", {Fn::kDquote, 1, 1}},
      {"SQUOTE", {Fn::kSquote, 1, 1}},   {"COUNTS", {Fn::kCounts, 2, 2}},
      {"REM", {Fn::kRem, 2, 2}},         {"DIV", {Fn::kDiv, 2, 2}},
      {"PWR", {Fn::kPwr, 2, 2}},         {"SQRT", {Fn::kSqrt, 1, 1}},
      {"RND", {Fn::kRnd, 1, 1}},         {"OCONVS", {Fn::kOconvs, 2, 2}},
      {"ICONVS", {Fn::kIconvs, 2, 2}},   {"SPLICE", {Fn::kSplice, 3, 3}}};
  return k;
}

// Words that end an expression or a statement and so can never be variables.
bool reserved(std::string_view w) {
  static const char* const k[] = {"THEN",    "ELSE",   "END",       "TO",        "STEP",   "DO",
                                  "WHILE",   "UNTIL",  "REPEAT",    "AND",       "OR",     "FROM",
                                  "ON",      "LOCKED", "SETTING",   "IN",        "BY",     "NEXT",
                                  "EQ",      "NE",     "LT",        "GT",        "LE",     "GE",
                                  "MATCHES", "MATCH",  "CAPTURING", "RETURNING", "BEFORE", "USING"};
  return std::any_of(std::begin(k), std::end(k), [&](const char* r) { return w == r; });
}

// Past the first fifty errors the rest are mostly echoes of them.
constexpr std::size_t kMaxErrors = 50;
// The parser recurses once per nested block and operand: a bound keeps a hostile source from
// running it off the end of the thread's stack.
constexpr int kMaxNesting = 200;
// What EQU and $INCLUDE may grow a program to, in tokens: each multiplies what follows.
constexpr std::size_t kMaxTokens = std::size_t{1} << 20;

struct SyntaxError {
  int line;
  std::string text;
};

class Compiler : Emitter {
 public:
  Compiler(std::string_view src, const Includer& include) : toks_(lex(src)), include_(include) {
    expandIncludes(toks_, 0);
  }

  Compiled run() {
    Compiled out;
    try {
      header();
      block(Until::kProgramEnd);
    } catch (const SyntaxError& e) {
      errors_.push_back({e.line, e.text});
    }
    // Labels may be defined after the jumps to them, so targets are filled in once the whole
    // program has been read.
    for (const auto& g : gotos_) {
      auto it = labels_.find(g.label);
      if (it == labels_.end()) {
        errors_.push_back({g.line, "label '" + g.label + "' is not defined"});
      } else {
        p_.code[static_cast<std::size_t>(g.at)].a = it->second;
      }
    }
    if (!loops_.empty()) errors_.push_back({toks_.back().line, "REPEAT or NEXT expected"});
    // $INCLUDE errors and undefined labels are found out of line order; the list reads in order.
    std::stable_sort(errors_.begin(), errors_.end(),
                     [](const CompileError& a, const CompileError& b) { return a.line < b.line; });
    if (errors_.size() > kMaxErrors) errors_.resize(kMaxErrors);
    out.errors = std::move(errors_);
    if (!out.errors.empty()) return out;
    // Falling off the end returns like RETURN: the COMMON blocks get their values back first.
    storeCommons();
    emit(Op::kReturn);
    finish();
    auto program = std::make_shared<Program>(std::move(p_));
    program->prepareConstants();
    out.program = std::move(program);
    return out;
  }

 private:
  enum class Until { kProgramEnd, kBlockEnd, kLineClause, kLoop, kFor, kCase };

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
    // Lookahead past the end sees the end token, so no caller needs a bounds check.
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

  // $INCLUDE and $INSERT: the named item's tokens in place of the line, all on its line number.
  void expandIncludes(std::vector<Token>& toks, int depth) {
    if (std::none_of(toks.begin(), toks.end(),
                     [](const Token& t) { return t.kind == Tok::kInclude; }))
      return;
    std::vector<Token> out;
    for (Token& t : toks) {
      if (t.kind != Tok::kInclude) {
        out.push_back(std::move(t));
        continue;
      }
      std::optional<std::string> text;
      // Eight levels is deeper than any real chain; beyond it an item that includes itself is
      // the likely cause.
      if (depth >= 8) {
        errors_.push_back({t.line, "$INCLUDE nested deeper than 8"});
      } else if (!include_) {
        errors_.push_back({t.line, "$INCLUDE " + t.text + ": no source file here"});
      } else if (!(text = include_(t.text))) {
        errors_.push_back({t.line, "$INCLUDE " + t.text + ": no such source item"});
      }
      if (!text) continue;
      std::vector<Token> inner = lex(*text);
      inner.pop_back();  // its end
      expandIncludes(inner, depth + 1);
      if (out.size() + inner.size() > kMaxTokens) {
        errors_.push_back({t.line, "$INCLUDE makes the program longer than " +
                                       std::to_string(kMaxTokens) + " words"});
        continue;
      }
      for (Token& in : inner) {
        // Errors inside an included item point at the $INCLUDE line, the one the user can find.
        in.line = t.line;
        out.push_back(std::move(in));
      }
    }
    toks = std::move(out);
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
      // Parameters are the first slots, so the caller's arguments land in them without a table.
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
    // Temporaries live for one statement: each statement reuses the same few slots.
    const int base = temps_;
    for (;;) {
      if (until == Until::kLineClause) {
        while (peek().kind == Tok::kSemi) take();
        if (atLineEnd() || isWord("ELSE") || isWord("LOCKED") || isWord("THEN") || atOnError())
          return;
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
        if (until == Until::kCase)
          throw SyntaxError{t.line, "END CASE expected, found the end of the program"};
        throw SyntaxError{t.line, "END expected, found the end of the program"};
      }
      if (until == Until::kCase && (isWord("CASE") || (isWord("END") && isWord("CASE", 1)))) return;
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
        const bool inLoop = until == Until::kLoop || until == Until::kFor;
        if (!atStatementEnd() && !afterDo && !(until == Until::kLoop && isWord("REPEAT")) &&
            !(inLoop && (isWord("WHILE") || isWord("UNTIL"))) &&
            !(until == Until::kLineClause &&
              (isWord("ELSE") || isWord("LOCKED") || isWord("THEN") || atOnError())))
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
    // A statement word followed by '=' is a variable of that name being assigned.
    if (isOp("=", 1) && !reserved(word)) return assignment();
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
      storeCommons();
      emit(Op::kReturn);
      return;
    }
    if (word == "STOP") {
      take();
      storeCommons();
      emit(Op::kStop);
      return;
    }
    if (word == "BEGIN" && isWord("CASE", 1)) return caseStatement();
    if (word == "CASE") throw SyntaxError{t.line, "CASE outside BEGIN CASE"};
    if (word == "ON") return onStatement();
    if (word == "DIM" || word == "DIMENSION") return dimStatement();
    if (word == "MAT" && peek(1).kind == Tok::kIdent) return matStatement();
    if (word == "MATPARSE") return matParseStatement();
    if (word == "MATBUILD") return matBuildStatement();
    if (word == "MATREAD" || word == "MATREADU") return matReadStatement();
    if (word == "MATWRITE" || word == "MATWRITEU") return matWriteStatement();
    if (word == "SELECT" || word == "SSELECT") return selectStatement();
    if (word == "READNEXT" || word == "READLIST") return readNextStatement();
    if (word == "CLEARSELECT") return clearSelectStatement();
    if (word == "EXECUTE" || word == "PERFORM") return executeStatement();
    if (word == "INS") return insStatement();
    if (word == "DEL") return delStatement();
    if (word == "EQU" || word == "EQUATE") return equateStatement();
    if (word == "COMMON" || word == "COM") return commonStatement();
    if (word == "NULL") {
      take();
      return;
    }
    if (word == "CALL") return callStatement();
    if (word == "CRT" || word == "PRINT") return printStatement();
    if (word == "LOCATE") return locateStatement();
    if (word == "OPEN") return openStatement();
    if (word == "READ" || word == "READU" || word == "READV" || word == "READVU")
      return readStatement();
    if (word == "WRITE" || word == "WRITEU" || word == "WRITEV" || word == "WRITEVU")
      return writeStatement();
    // DELETE followed by '(' is the function, which cannot stand as a statement.
    if (word == "DELETE" && !isOp("(", 1)) return deleteStatement();
    if (word == "RELEASE") return releaseStatement();
    if (int kind = transactionWord(); kind != 0) return transactionStatement(kind);
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
    if (auto d = dims_.find(n); d != dims_.end()) return arrayAssignment(d->second);
    // LEN(X) alone would compute a value and drop it: as a statement it is an error.
    if (functions().count(n) != 0 && isOp("(")) fail("a statement");
    Target target{variable(n), {}};
    if (isOp("[")) return substringAssignment(target.slot);
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
        // X = expr writes the result straight into X, without a temporary and a move.
        expressionInto(target.slot);
      } else {
        store(target, expression());
      }
    } else if (kCompound.count(op) != 0) {
      take();
      std::int32_t current = target.slot;
      if (!target.indices.empty()) {
        // A compound assignment to an element reads it, combines, and writes it back.
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
      // Positions are parsed above the comparisons, so the closing '>' is never read as
      // greater-than.
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
  // The ops whose a is a plain destination the peephole above may retarget.
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
    for (;;) {
      if (level == 2 && (isWord("MATCHES") || isWord("MATCH"))) {
        take();
        left = call(Fn::kMatches, {left, binary(level + 1)});
        continue;
      }
      // A string right after a value is a format mask: X "R2#10" is FMT(X, "R2#10").
      if (level == 4 && peek().kind == Tok::kString) {
        left = call(Fn::kFmt, {left, constant(take().text)});
        continue;
      }
      if (!operatorAt(level, op)) break;
      take();
      std::int32_t right = binary(level + 1);
      std::int32_t d = temp();
      emit(op, d, left, right);
      left = d;
    }
    return left;
  }
  std::int32_t call(Fn fn, const std::vector<std::int32_t>& args) {
    std::int32_t d = temp();
    emit(Op::kFunction, d, static_cast<std::int32_t>(fn), operandRun(args),
         static_cast<std::uint8_t>(args.size()));
    return d;
  }

  std::int32_t unary() {
    Nesting guard(*this);
    if (isOp("-")) {
      take();
      // A negative literal is a constant, so X<-1> costs nothing to work out.
      // Not before ^ or [: -2^2 is -(2^2), and -12[1,1] takes a substring of 12 before the sign.
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
  // X<1> and X < 1 look alike: the scan settles it before any code is emitted, since the parser
  // cannot take code back.
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
    if (word == "@ID") return take(), variable(word);
    if (word == "@DATE" || word == "@TIME" || word == "@USER" || word == "@ACCOUNT") {
      take();
      const Fn fn = word == "@DATE"   ? Fn::kDate
                    : word == "@TIME" ? Fn::kTime
                    : word == "@USER" ? Fn::kUser
                                      : Fn::kAccount;
      std::int32_t d = temp();
      emit(Op::kFunction, d, static_cast<std::int32_t>(fn), operandRun({}), 0);
      return d;
    }
    if (word[0] == '@') fail("@AM, @VM, @SM, @ID, @USER, @DATE, @TIME or @ACCOUNT");
    if (auto d = dims_.find(word); d != dims_.end()) {
      take();
      if (!isOp("("))
        throw SyntaxError{line_, word + " is an array: name an element, " + word + "(n)"};
      std::vector<std::int32_t> run = subscripts(d->second);
      std::int32_t out = temp();
      emit(Op::kMatGet, out, d->second.base, operandRun(run),
           static_cast<std::uint8_t>(run.size()));
      return out;
    }
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
  bool atOnError() const { return isWord("ON") && isWord("ERROR", 1); }

  void clauses(std::int32_t outcome, bool allowLocked, bool allowThen = true,
               std::int32_t instruction = -1) {
    bool hasLocked = false;
    for (std::size_t k = pos_; k < toks_.size(); ++k) {
      const Token& t = toks_[k];
      if (t.kind == Tok::kNewline || t.kind == Tok::kEnd) break;
      if (t.kind == Tok::kIdent && t.text == "LOCKED") hasLocked = true;
    }
    std::vector<std::int32_t> toEnd;
    bool any = false;
    while (isWord("THEN") || isWord("ELSE") || (allowLocked && isWord("LOCKED")) ||
           (instruction >= 0 && atOnError())) {
      std::string word = take().text;
      if (word == "ON") {
        take();  // ERROR
        p_.code[static_cast<std::size_t>(instruction)].x |= kOnError;
        std::int32_t skip = emit(Op::kJumpOut, outcome, 8, 0);
        clauseBody();
        toEnd.push_back(emit(Op::kJump));
        patch(skip, here());
        any = true;
        continue;
      }
      if (word == "THEN" && !allowThen) throw SyntaxError{line_, "THEN is not allowed here"};
      // Outcome bits: 1 then, 2 else, 4 locked, 8 error. ELSE also takes a lock held elsewhere
      // unless the statement has a LOCKED clause of its own.
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
      // Nothing follows an ELSE: it is the statement's last clause.
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
    // The WHILE/UNTIL test and every NEXT come back here, after the first FOR test.
    loop.start = here();
    loops_.push_back(loop);
    // FOR ... WHILE cond / UNTIL cond: checked before every pass.
    if (isWord("WHILE") || isWord("UNTIL")) {
      const bool isWhile = take().text == "WHILE";
      std::int32_t cond = expression();
      loops_.back().exits.push_back(emit(isWhile ? Op::kJumpIfNot : Op::kJumpIf, cond, 0));
    }
    block(Until::kFor);
    line_ = peek().line;
    take();  // NEXT
    if (peek().kind == Tok::kIdent && !reserved(peek().text)) {
      std::string named = take().text;
      // A mismatched NEXT is refused: it would silently close the wrong loop.
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
    if (loops_.empty()) throw SyntaxError{line_, "WHILE or UNTIL outside a loop"};
    std::int32_t cond = expression();
    // Each exit is a jump patched to the loop's end when the loop closes.
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
    // The callee sees this program's COMMON through the blocks: store before, load after.
    storeCommons();
    emit(Op::kCall, constant(target), 0, operandRun(args), static_cast<std::uint8_t>(args.size()));
    loadCommons();
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
        // Items are separated by ',' and printed one blank apart; a ':' at the end leaves the line
        // open for the next PRINT.
        emit(Op::kPrint, constant(" "));
      }
      first = false;
      emit(Op::kPrint, expression());
    }
    if (newline) emit(Op::kNewline);
  }

  // LOCATE needle IN array<a[,v]>[, start] [BY order] SETTING pos, or LOCATE(needle,
  // array[, a[, v]]; pos[; order]); then THEN/ELSE.
  void locateStatement() {
    take();
    if (isOp("(")) return locateCall();
    std::int32_t needle = expression(kConcatLevel);
    expectWord("IN");
    std::int32_t array = variable(name("a variable"));
    // No <...> searches the attributes; <a> the values of a; <a,v> the subvalues of a,v.
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
    // The older form names the element the search starts from.
    std::optional<std::int32_t> start;
    if (isOp(",")) {
      take();
      start = expression(kConcatLevel);
    }
    std::int32_t order = constant("");
    std::optional<std::int32_t> position;
    for (int k = 0; k < 2; ++k) {
      if (isWord("BY")) {
        take();
        order = expression(kConcatLevel);
      } else if (isWord("SETTING") && !position) {
        take();
        position = variable(name("a variable"));
      }
    }
    if (!position) fail("SETTING");
    std::int32_t outcome = temp();
    std::vector<std::int32_t> in{needle, array, a, v, order};
    if (start) in.push_back(*start);
    emit(Op::kLocate, *position, outcome, operandRun(in), static_cast<std::uint8_t>(in.size()));
    clauses(outcome, false);
  }
  void locateCall() {
    take();  // (
    std::vector<std::int32_t> in{expression()};
    while (isOp(",") && in.size() < 4) {
      take();
      in.push_back(expression());
    }
    if (peek().kind != Tok::kSemi) fail("';'");
    take();
    std::int32_t position = variable(name("a variable"));
    std::int32_t order = constant("");
    if (peek().kind == Tok::kSemi) {
      take();
      order = expression();
    }
    expectOp(")");
    // Both forms end as the same five operands: needle, array, a, v, order.
    if (in.size() < 2) throw SyntaxError{line_, "LOCATE needs a value and a dynamic array"};
    while (in.size() < 4) in.push_back(constant("0"));
    in.push_back(order);
    std::int32_t outcome = temp();
    emit(Op::kLocate, position, outcome, operandRun(in), 5);
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
    // Each file statement keeps its instruction's index (at), so that an ON ERROR clause can flag
    // the instruction after it is emitted.
    std::int32_t file = variable(name("a file variable"));
    std::int32_t outcome = temp();
    std::int32_t at =
        emit(Op::kOpen, file, outcome, operandRun(args), static_cast<std::uint8_t>(args.size()));
    clauses(outcome, false, true, at);
  }

  void readStatement() {
    std::string word = take().text;
    std::int32_t into = variable(name("a variable"));
    expectWord("FROM");
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    if (word == "READV" || word == "READVU") {
      expectOp(",");
      args.push_back(expression());
    }
    std::int32_t outcome = temp();
    const bool locks = word == "READU" || word == "READVU";
    const auto shape = static_cast<std::uint8_t>(args.size() | (locks ? kLocksItem : 0u));
    std::int32_t at = emit(Op::kRead, into, outcome, operandRun(args), shape);
    clauses(outcome, locks, true, at);
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
    const bool keeps = word.back() == 'U';
    std::int32_t at = emit(Op::kWrite, value, outcome, operandRun(args),
                           static_cast<std::uint8_t>(args.size() | (keeps ? kKeepsLock : 0u)));
    optionalClauses(outcome, at);
  }

  void deleteStatement() {
    take();
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    std::int32_t outcome = temp();
    std::int32_t at = emit(Op::kDelete, 0, outcome, operandRun(args), 2);
    optionalClauses(outcome, at);
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

  // WRITE, DELETE and the transaction statements may stand alone without THEN or ELSE.
  void optionalClauses(std::int32_t outcome, std::int32_t instruction) {
    if (isWord("ELSE") || isWord("LOCKED") || isWord("THEN") || atOnError())
      clauses(outcome, true, true, instruction);
  }

  // BEGIN CASE / CASE cond / statements ... / END CASE: the first true CASE runs.
  void caseStatement() {
    take();
    take();
    if (!atStatementEnd()) fail("the end of the statement");
    std::vector<std::int32_t> toEnd;
    for (;;) {
      skipSeparators();
      line_ = peek().line;
      if (isWord("END") && isWord("CASE", 1)) {
        take();
        take();
        break;
      }
      if (peek().kind == Tok::kEnd)
        throw SyntaxError{line_, "END CASE expected, found the end of the program"};
      if (!isWord("CASE")) fail("CASE or END CASE");
      take();
      std::int32_t cond = expression();
      std::int32_t skip = emit(Op::kJumpIfNot, cond, 0);
      block(Until::kCase);
      toEnd.push_back(emit(Op::kJump));
      patch(skip, here());
    }
    for (std::int32_t j : toEnd) patch(j, here());
  }

  // ON n GOSUB a, b, c (or GOTO): the n-th label; nothing when n is out of range.
  void onStatement() {
    take();
    // The whole part picks the label, as for any position.
    // One test per label: a number that matches none falls through to the next statement.
    std::int32_t n = call(Fn::kInt, {expression()});
    Op op = Op::kJump;
    if (isWord("GOSUB")) {
      op = Op::kGosub;
      take();
    } else if (isWord("GOTO")) {
      take();
    } else if (isWord("GO")) {
      take();
      if (isWord("TO")) take();
    } else {
      fail("GOSUB or GOTO");
    }
    std::vector<std::int32_t> toEnd;
    for (int k = 1;; ++k) {
      const Token& t = peek();
      if (t.kind != Tok::kNumber && t.kind != Tok::kIdent) fail("a label");
      std::string label = take().text;
      std::int32_t test = temp();
      emit(Op::kEq, test, n, constant(std::to_string(k)));
      std::int32_t skip = emit(Op::kJumpIfNot, test, 0);
      gotos_.push_back({label, emit(op), line_});
      if (op == Op::kGosub) toEnd.push_back(emit(Op::kJump));
      patch(skip, here());
      if (!isOp(",")) break;
      take();
    }
    for (std::int32_t j : toEnd) patch(j, here());
  }

  // --- dimensioned arrays: consecutive slots from base.
  struct Dims {
    std::int32_t base;
    long rows;
    long columns;  // 0 for a one-dimensional array
    [[nodiscard]] long count() const { return rows * (columns > 0 ? columns : 1); }
  };
  // Arrays live in the frame, one per call level: this keeps a deep CALL chain's frames small.
  // Each element is a slot of the frame, so an array's size is also the frame's.
  static constexpr long kMaxElements = 10000;

  long dimension() {
    if (peek().kind != Tok::kNumber) fail("a whole number (the size)");
    double d = std::stod(peek().text);
    if (d < 1 || d > kMaxElements || d != static_cast<double>(static_cast<long>(d)))
      throw SyntaxError{
          line_, "an array size must be a whole number from 1 to " + std::to_string(kMaxElements)};
    take();
    return static_cast<long>(d);
  }

  void dimStatement() {
    take();
    for (;;) {
      std::string n = name("an array name");
      if (vars_.count(n) != 0) throw SyntaxError{line_, n + " is already a variable"};
      if (dims_.count(n) != 0) throw SyntaxError{line_, n + " is dimensioned twice"};
      (void)dimensionsOf(n);
      if (!isOp(",")) break;
      take();
    }
  }

  // After a new array's name: "(" rows [, columns] ")"; its elements get consecutive slots.
  Dims dimensionsOf(const std::string& n) {
    expectOp("(");
    Dims d{static_cast<std::int32_t>(p_.variables.size()), dimension(), 0};
    if (isOp(",")) {
      take();
      d.columns = dimension();
    }
    expectOp(")");
    if (d.count() > kMaxElements)
      throw SyntaxError{line_, n + " has more than " + std::to_string(kMaxElements) + " elements"};
    // Each element is a named slot, so error messages and the loader's frame check see them.
    for (long k = 1; k <= d.count(); ++k) p_.variables.push_back(n + "(" + std::to_string(k) + ")");
    dims_.emplace(n, d);
    return d;
  }

  // After the array's name: "(" index [, index] ")", as an operand run ending in the sizes.
  std::vector<std::int32_t> subscripts(const Dims& d) {
    expectOp("(");
    std::vector<std::int32_t> run{expression()};
    if (d.columns > 0) {
      expectOp(",");
      run.push_back(expression());
    }
    expectOp(")");
    run.push_back(constant(std::to_string(d.rows)));
    if (d.columns > 0) run.push_back(constant(std::to_string(d.columns)));
    return run;
  }

  const Dims& arrayNamed() {
    std::string n = name("an array name");
    auto it = dims_.find(n);
    if (it == dims_.end()) throw SyntaxError{line_, n + " is not a dimensioned array"};
    return it->second;
  }

  void arrayAssignment(const Dims& d) {
    std::vector<std::int32_t> run = subscripts(d);
    const auto x = static_cast<std::uint8_t>(run.size());
    std::string op = peek().kind == Tok::kOp ? peek().text : "";
    static const std::map<std::string, Op> kCompound = {
        {"+=", Op::kAdd}, {"-=", Op::kSub}, {"*=", Op::kMul}, {"/=", Op::kDiv}, {":=", Op::kCat}};
    if (op == "=") {
      take();
      emit(Op::kMatSet, d.base, expression(), operandRun(run), x);
    } else if (kCompound.count(op) != 0) {
      take();
      std::int32_t current = temp();
      emit(Op::kMatGet, current, d.base, operandRun(run), x);
      std::int32_t rhs = expression();
      std::int32_t sum = temp();
      emit(kCompound.at(op), sum, current, rhs);
      emit(Op::kMatSet, d.base, sum, operandRun(run), x);
    } else {
      fail("'='");
    }
  }

  std::int32_t countOf(const Dims& d) { return constant(std::to_string(d.count())); }

  // MAT A = value, or MAT A = MAT B (element by element).
  void matStatement() {
    take();
    const Dims to = arrayNamed();
    expectOp("=");
    if (isWord("MAT")) {
      take();
      const Dims from = arrayNamed();
      if (from.count() != to.count())
        throw SyntaxError{line_, "MAT copies between arrays of the same size only"};
      for (long k = 0; k < to.count(); ++k)
        emit(Op::kMove, to.base + static_cast<std::int32_t>(k),
             from.base + static_cast<std::int32_t>(k));
      return;
    }
    emit(Op::kMatFill, to.base, expression(), operandRun({countOf(to)}), 1);
  }

  // The delimiter after ", d" or "USING d"; attribute marks without one.
  std::int32_t delimiter() {
    if (isOp(",") || isWord("USING")) {
      take();
      return expression();
    }
    return constant(std::string(1, kAm));
  }

  // MATPARSE A FROM text[, delimiter]
  void matParseStatement() {
    take();
    const Dims to = arrayNamed();
    expectWord("FROM");
    std::int32_t text = expression();
    std::int32_t d = delimiter();
    emit(Op::kMatParse, to.base, text, operandRun({d, countOf(to)}), 2);
  }

  // MATBUILD text FROM A[, delimiter]
  void matBuildStatement() {
    take();
    std::int32_t into = variable(name("a variable"));
    expectWord("FROM");
    const Dims from = arrayNamed();
    std::int32_t d = delimiter();
    emit(Op::kMatBuild, into, from.base, operandRun({d, countOf(from)}), 2);
  }

  // MATREAD A FROM f, id: one attribute per element, the rest in the last.
  void matReadStatement() {
    const bool locks = take().text == "MATREADU";
    const Dims to = arrayNamed();
    expectWord("FROM");
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    std::int32_t body = temp();
    std::int32_t outcome = temp();
    // A read that meets a lock leaves its target as it was: emptied first, the body of an earlier
    // pass of this statement cannot reach the array.
    emit(Op::kMove, body, constant(""));
    std::int32_t at = emit(Op::kRead, body, outcome, operandRun(args),
                           static_cast<std::uint8_t>(2 | (locks ? kLocksItem : 0u)));
    // The parse runs whatever the outcome: after ELSE or LOCKED the body is empty, and so are the
    // elements.
    emit(Op::kMatParse, to.base, body, operandRun({constant(std::string(1, kAm)), countOf(to)}), 2);
    clauses(outcome, locks, true, at);
  }

  void matWriteStatement() {
    const bool keeps = take().text == "MATWRITEU";
    const Dims from = arrayNamed();
    if (!isWord("ON") && !isWord("TO")) fail("ON");
    take();
    std::vector<std::int32_t> args{expression()};
    expectOp(",");
    args.push_back(expression());
    std::int32_t body = temp();
    emit(Op::kMatBuild, body, from.base, operandRun({constant(std::string(1, kAm)), countOf(from)}),
         2);
    std::int32_t outcome = temp();
    std::int32_t at = emit(Op::kWrite, body, outcome, operandRun(args),
                           static_cast<std::uint8_t>(2 | (keeps ? kKeepsLock : 0u)));
    optionalClauses(outcome, at);
  }

  // --- select lists
  // SELECT f [TO n | TO listvar]: list 0 without TO.
  void selectStatement() {
    take();
    std::int32_t source = expression();
    if (isWord("TO")) {
      take();
      if (peek().kind == Tok::kIdent && !reserved(peek().text)) {
        std::int32_t list = variable(take().text);
        emit(Op::kSelect, list, 0, operandRun({source}), 1 | kListVariable);
        return;
      }
      std::int32_t n = expression();
      emit(Op::kSelect, temp(), 0, operandRun({source, n}), 2);
      return;
    }
    emit(Op::kSelect, temp(), 0, operandRun({source, constant("0")}), 2);
  }

  // READNEXT id [FROM list] THEN/ELSE; READLIST var [FROM list] THEN/ELSE.
  void readNextStatement() {
    const Op op = take().text == "READNEXT" ? Op::kReadNext : Op::kReadList;
    std::int32_t into = variable(name("a variable"));
    std::int32_t list = constant("0");
    if (isWord("FROM")) {
      take();
      list = expression();
    }
    std::int32_t outcome = temp();
    emit(op, into, outcome, operandRun({list}), 1);
    clauses(outcome, false);
  }

  // CLEARSELECT [n | list | ALL]: reading the rest of a list empties it.
  void clearSelectStatement() {
    take();
    std::vector<std::int32_t> lists;
    if (isWord("ALL")) {
      take();
      // ALL clears the numbered lists 0 to 10; a list variable is cleared by naming it.
      for (int n = 0; n <= 10; ++n) lists.push_back(constant(std::to_string(n)));
    } else {
      lists.push_back(atStatementEnd() ? constant("0") : expression());
    }
    for (std::int32_t list : lists) emit(Op::kReadList, temp(), temp(), operandRun({list}), 1);
  }

  // EXECUTE sentence [CAPTURING out] [RETURNING codes]: without CAPTURING the sentence's
  // lines print as the call's own.
  void executeStatement() {
    take();
    std::int32_t sentence = expression();
    std::optional<std::int32_t> captured;
    std::optional<std::int32_t> returned;
    while (isWord("CAPTURING") || isWord("RETURNING")) {
      std::optional<std::int32_t>& slot = take().text == "CAPTURING" ? captured : returned;
      if (slot) fail("the end of the statement");
      slot = variable(name("a variable"));
    }
    const std::int32_t out = captured ? *captured : temp();
    emit(Op::kExecute, out, returned ? *returned : temp(), operandRun({sentence}), 1);
    // Without CAPTURING the sentence's output becomes this call's own printed lines.
    if (!captured) {
      std::int32_t skip = emit(Op::kJumpIfNot, out, 0);
      emit(Op::kPrint, out);
      emit(Op::kNewline);
      patch(skip, here());
    }
  }

  // INS value BEFORE X<a[,v[,s]]>; DEL X<a[,v[,s]]>.
  void insStatement() {
    take();
    std::int32_t value = expression();
    expectWord("BEFORE");
    std::int32_t x = variable(name("a variable"));
    expectOp("<");
    std::vector<std::int32_t> run{x};
    for (std::int32_t i : indexList()) run.push_back(i);
    run.push_back(value);
    emit(Op::kFunction, x, static_cast<std::int32_t>(Fn::kInsert), operandRun(run),
         static_cast<std::uint8_t>(run.size()));
  }
  void delStatement() {
    take();
    std::int32_t x = variable(name("a variable"));
    expectOp("<");
    std::vector<std::int32_t> run{x};
    for (std::int32_t i : indexList()) run.push_back(i);
    emit(Op::kFunction, x, static_cast<std::int32_t>(Fn::kDelete), operandRun(run),
         static_cast<std::uint8_t>(run.size()));
  }

  // X[start, length] = value
  void substringAssignment(std::int32_t x) {
    take();
    std::int32_t start = expression();
    expectOp(",");
    std::int32_t length = expression();
    expectOp("]");
    expectOp("=");
    std::int32_t value = expression();
    emit(Op::kFunction, x, static_cast<std::int32_t>(Fn::kSubstringSet),
         operandRun({x, start, length, value}), 4);
  }

  // EQU name TO text [, name TO text]: every later use of name reads as the text's tokens.
  void equateStatement() {
    take();
    for (;;) {
      std::string n = name("a name");
      expectWord("TO");
      std::vector<Token> with;
      int depth = 0;
      while (!atStatementEnd() && !(depth == 0 && isOp(","))) {
        if (isOp("(") || isOp("<") || isOp("[")) ++depth;
        if (isOp(")") || isOp(">") || isOp("]")) --depth;
        with.push_back(take());
      }
      if (with.empty()) fail("a value");
      // A replacement of several tokens is parenthesised, so EQU X TO A+B then X*2 means (A+B)*2.
      bool simple = with.size() == 1 ||
                    (with.size() == 2 && with[0].text == "-" && with[1].kind == Tok::kNumber);
      // An element reference stays assignable: X<1> is not put in parentheses.
      if (with.size() > 2 && with[0].kind == Tok::kIdent && with[1].text == "<" &&
          with.back().text == ">")
        simple = true;
      if (!simple) {
        with.insert(with.begin(), Token{Tok::kOp, "(", line_});
        with.push_back(Token{Tok::kOp, ")", line_});
      }
      // The rest of the program, rebuilt once with the name replaced.
      auto uses = static_cast<std::size_t>(
          std::count_if(toks_.begin() + static_cast<long>(pos_), toks_.end(),
                        [&](const Token& t) { return t.kind == Tok::kIdent && t.text == n; }));
      if (static_cast<double>(toks_.size()) +
              static_cast<double>(uses) * static_cast<double>(with.size()) >
          static_cast<double>(kMaxTokens))
        throw SyntaxError{
            line_, "EQU makes the program longer than " + std::to_string(kMaxTokens) + " words"};
      std::vector<Token> rest;
      for (std::size_t k = pos_; k < toks_.size(); ++k) {
        if (toks_[k].kind != Tok::kIdent || toks_[k].text != n) {
          rest.push_back(std::move(toks_[k]));
          continue;
        }
        for (Token t : with) {
          t.line = toks_[k].line;
          rest.push_back(std::move(t));
        }
      }
      toks_.resize(pos_);
      toks_.insert(toks_.end(), std::make_move_iterator(rest.begin()),
                   std::make_move_iterator(rest.end()));
      if (!isOp(",")) break;
      take();
    }
  }

  // COMMON [/name/] a, b, ...: the variables share a block by position with every program
  // that names it; the unnamed block within one call, named blocks for the port's life.
  void commonStatement() {
    take();
    std::string block;
    if (isOp("/")) {
      take();
      block = name("a common block name");
      expectOp("/");
    }
    const auto first = static_cast<std::int32_t>(p_.variables.size());
    std::int32_t count = 0;
    for (;;) {
      std::string n = name("a variable");
      // A variable used before COMMON already has a slot outside the block's run of slots.
      if (vars_.count(n) != 0 || dims_.count(n) != 0)
        throw SyntaxError{line_, n + " is used before COMMON"};
      if (isOp("(")) {
        // An array in the block: its elements take their places in order.
        const Dims d = dimensionsOf(n);
        count += static_cast<std::int32_t>(d.count());
      } else {
        variable(n);
        ++count;
      }
      if (!isOp(",")) break;
      take();
    }
    Common c{block, first, count, blockSizes_[block]};
    blockSizes_[block] += count;
    commons_.push_back(c);
    emitCommon(c, false);
  }
  struct Common {
    std::string block;
    std::int32_t first;
    std::int32_t count;
    std::int32_t offset;
  };
  void emitCommon(const Common& c, bool store) {
    emit(Op::kCommon, c.first, c.count,
         operandRun({constant(c.block), constant(std::to_string(c.offset))}),
         static_cast<std::uint8_t>(2 | (store ? 0x10 : 0)));
  }
  void storeCommons() {
    for (const Common& c : commons_) emitCommon(c, true);
  }
  void loadCommons() {
    for (const Common& c : commons_) emitCommon(c, false);
  }

  // TRANSACTION START | COMMIT | ABORT, or BEGIN TRANSACTION, COMMIT [WORK], ROLLBACK [WORK]:
  // 1, 2 or 3 for the statement ahead, 0 when it is none of them (COMMIT = 1 assigns).
  int transactionWord() {
    const std::string& word = peek().text;
    if (word == "TRANSACTION" && peek(1).kind == Tok::kIdent) {
      const std::string& what = peek(1).text;
      return what == "START" ? 1 : what == "COMMIT" ? 2 : what == "ABORT" ? 3 : 0;
    }
    if (word == "BEGIN" && peek(1).kind == Tok::kIdent && peek(1).text == "TRANSACTION") return 1;
    // COMMIT = 1 assigns a variable called COMMIT: not the statement.
    if (isOp("=", 1)) return 0;
    return word == "COMMIT" ? 2 : word == "ROLLBACK" ? 3 : 0;
  }

  void transactionStatement(int kind) {
    const bool twoWords = peek().text == "TRANSACTION" || peek().text == "BEGIN";
    take();
    if (twoWords) take();
    if (kind != 1 && isWord("WORK")) take();
    std::int32_t outcome = temp();
    std::int32_t at = emit(Op::kTransaction, 0, outcome, 0, static_cast<std::uint8_t>(kind));
    optionalClauses(outcome, at);
  }

  std::vector<Token> toks_;
  std::size_t pos_ = 0;
  std::vector<CompileError> errors_;
  std::unordered_map<std::string, std::int32_t> labels_;
  std::vector<Goto> gotos_;
  std::vector<Loop> loops_;
  Includer include_;
  std::unordered_map<std::string, Dims> dims_;
  std::vector<Common> commons_;
  std::unordered_map<std::string, std::int32_t> blockSizes_;
  int nesting_ = 0;
  int forLoops_ = 0;
};

}  // namespace

Compiled compile(std::string_view source) {
  return Compiler(source, {}).run();
}

Compiled compile(std::string_view source, const Includer& include) {
  return Compiler(source, include).run();
}

}  // namespace tarn::server::corvex
