#include "server/engine/corvex/program.h"

namespace tarn::server::corvex {

void Program::prepareConstants() {
  constantValues.clear();
  constantValues.reserve(constants.size());
  // Reversed so that constant k sits at constantBase()[-k - 1], the operand that names it.
  for (auto c = constants.rbegin(); c != constants.rend(); ++c) {
    constantValues.emplace_back(*c);
    double n = 0;
    (void)constantValues.back().number(n);  // read once here, never while the program runs
  }
}

OpShape shapeOf(Op op) noexcept {
  switch (op) {
    case Op::kNeg:
    case Op::kNot:
      return {true, true, false, false};
    // Jumps, GOSUB and the bare statements read no slots: their fields are targets or nothing.
    case Op::kJump:
    case Op::kGosub:
    case Op::kReturn:
    case Op::kStop:
    case Op::kNewline:
      return {false, false, false, false};
    // Conditional and outcome jumps read a only (b or c is a target or a bit set); so does PRINT.
    case Op::kJumpIf:
    case Op::kJumpIfNot:
    case Op::kJumpOut:
    case Op::kPrint:
      return {true, false, false, false};
    case Op::kForPrep:
    case Op::kForNext:
      return {true, true, false, false};
    case Op::kElement:
    case Op::kSetElement:
    case Op::kSubstring:
    case Op::kOpen:
    case Op::kRead:
    case Op::kWrite:
    case Op::kLocate:
      return {true, true, true, true};
    case Op::kFunction:
      return {true, false, true, true};
    // a is the name constant; the arguments are the run.
    case Op::kCall:
      return {true, false, true, true};
    case Op::kDelete:
      return {false, true, true, true};
    case Op::kRelease:
    case Op::kCommon:
      return {false, false, true, true};
    case Op::kMatGet:
    case Op::kMatBuild:
    case Op::kReadNext:
    case Op::kReadList:
    case Op::kExecute:
      return {true, true, true, true};
    case Op::kMatSet:
    case Op::kMatFill:
    case Op::kMatParse:
      return {true, true, true, true};
    case Op::kSelect:
      return {true, false, true, true};
    // Only the outcome slot: the step is in x.
    case Op::kTransaction:
      return {false, true, false, false};
    default:
      return {true, true, true, false};  // the two-input operations
  }
}

namespace {

// Object code travels as hexadecimal text so that no byte of it can be taken for a mark.
constexpr std::string_view kMagic = "CVX1:";
// Every number is eight bytes, two characters each.
constexpr std::size_t kNumberChars = 16;

class Writer {
 public:
  // Little-endian, two's complement: the same text on every host.
  void number(std::int64_t v) {
    auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) byte(static_cast<unsigned char>(u >> (8 * i)));
  }
  void text(std::string_view t) {
    number(static_cast<std::int64_t>(t.size()));
    for (char c : t) byte(static_cast<unsigned char>(c));
  }
  std::string take() { return std::move(out_); }

 private:
  void byte(unsigned char b) {
    static const char kHex[] = "0123456789ABCDEF";
    out_.push_back(kHex[b >> 4]);
    out_.push_back(kHex[b & 15]);
  }
  std::string out_{kMagic};
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool number(std::int64_t& v) {
    std::uint64_t u = 0;
    for (int i = 0; i < 8; ++i) {
      unsigned char b = 0;
      if (!byte(b)) return false;
      u |= static_cast<std::uint64_t>(b) << (8 * i);
    }
    v = static_cast<std::int64_t>(u);
    return true;
  }
  bool number32(std::int32_t& v) {
    std::int64_t w = 0;
    // Out-of-range numbers are refused, never truncated into a valid-looking operand.
    if (!number(w) || w < INT32_MIN || w > INT32_MAX) return false;
    v = static_cast<std::int32_t>(w);
    return true;
  }
  // A count of elements that each take at least `chars` characters of what is left: a count
  // past that is a damaged item, refused before anything is made for it.
  bool count(std::size_t& n, std::size_t chars = 2) {
    std::int64_t w = 0;
    if (!number(w) || w < 0 || static_cast<std::uint64_t>(w) > in_.size() / chars) return false;
    n = static_cast<std::size_t>(w);
    return true;
  }
  bool text(std::string& t) {
    std::size_t n = 0;
    if (!count(n)) return false;
    t.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char b = 0;
      if (!byte(b)) return false;
      t[i] = static_cast<char>(b);
    }
    return true;
  }
  [[nodiscard]] bool done() const { return in_.empty(); }

 private:
  static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    // Upper case only, as written: lower-case hex is not text this writer made.
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  bool byte(unsigned char& b) {
    if (in_.size() < 2) return false;
    int hi = nibble(in_[0]);
    int lo = nibble(in_[1]);
    if (hi < 0 || lo < 0) return false;
    b = static_cast<unsigned char>(hi * 16 + lo);
    in_.remove_prefix(2);
    return true;
  }
  std::string_view in_;
};

// Whether a is a destination, so it must be a slot rather than any operand (a constant).
bool writesA(Op op) {
  switch (op) {
    case Op::kJumpIf:
    case Op::kJumpIfNot:
    case Op::kJumpOut:
    case Op::kPrint:
    case Op::kSetElement:
    case Op::kMatGet:  // a is written, but b names the array and is checked below
    case Op::kMatSet:
    case Op::kMatFill:
    case Op::kMatParse:
    case Op::kWrite:
    case Op::kCall:
      return false;
    default:
      return shapeOf(op).a;
  }
}

// The rules the virtual machine relies on without checking as it runs.
bool valid(const Program& p) {
  const auto slots = p.slots;
  const auto constants = static_cast<std::int32_t>(p.constants.size());
  const auto size = static_cast<std::int32_t>(p.code.size());
  auto operand = [&](std::int32_t o) { return o >= 0 ? o < slots : -o - 1 < constants; };
  auto slot = [&](std::int32_t o) { return o >= 0 && o < slots; };
  auto target = [&](std::int32_t t) { return t >= 0 && t < size; };
  // An array's elements, counted from its dimension constants at the end of the run, lie in
  // the frame from base.
  auto arrayFits = [&](const Instr& i, std::int32_t base) {
    const int n = i.x & 15;
    // Two dimensions put two sizes at the end of the run, one dimension one.
    const bool twoDims = i.op == Op::kMatGet || i.op == Op::kMatSet ? n == 4 : false;
    if (n < 1 || i.c < 0 ||
        static_cast<std::size_t>(i.c) + static_cast<std::size_t>(n) > p.operands.size())
      return false;
    double elements = 1;
    for (int k = n - (twoDims ? 2 : 1); k < n; ++k) {
      const std::int32_t o = p.operands[static_cast<std::size_t>(i.c + k)];
      double d = 0;
      if (o >= 0 || -o - 1 >= constants ||
          !parseNumeric(p.constants[static_cast<std::size_t>(-o - 1)], d) || d < 1)
        return false;
      elements *= d;
    }
    return base >= 0 && elements <= static_cast<double>(slots - base);
  };
  // The last instruction must be RETURN so that running off the end cannot leave the code.
  if (slots < 0 || p.parameters < 0 || p.parameters > slots || p.lines.size() != p.code.size() ||
      p.code.empty() || p.code.back().op != Op::kReturn || p.parameters > 255)
    return false;
  // The compiler makes a slot for each variable and at most one temporary per instruction: a
  // frame larger than that is not one it made, and would cost memory on every call.
  if (static_cast<std::size_t>(slots) > p.variables.size() + p.code.size()) return false;
  for (const Instr& i : p.code) {
    // Every operand and target is checked here once, so the machine trusts them as it runs.
    if (i.op >= Op::kCount_) return false;
    OpShape s = shapeOf(i.op);
    if (s.a && !(writesA(i.op) ? slot(i.a) : operand(i.a))) return false;
    if (s.b && !operand(i.b)) return false;
    if (s.c && !s.run && !operand(i.c)) return false;
    if (s.run && (i.c < 0 || static_cast<std::size_t>(i.c) + (i.x & 15u) > p.operands.size()))
      return false;
    switch (i.op) {
      case Op::kJump:
      case Op::kGosub:
        if (!target(i.a)) return false;
        break;
      case Op::kJumpIf:
      case Op::kJumpIfNot:
        if (!target(i.b)) return false;
        break;
      case Op::kJumpOut:
        if (!target(i.c)) return false;
        break;
      case Op::kForPrep:
      case Op::kForNext:
        if (!slot(i.b) || !slot(i.b + 1) || !target(i.c)) return false;
        break;
      case Op::kOpen:
      case Op::kRead:
      case Op::kWrite:
      case Op::kLocate:
      case Op::kDelete:
        if (!slot(i.b)) return false;
        break;
      case Op::kTransaction:
        if (!slot(i.b) || i.x < 1 || i.x > 3) return false;
        break;
      case Op::kFunction:
        if (i.b < 0 || i.b >= static_cast<std::int32_t>(Fn::kCount_)) return false;
        break;
      case Op::kCall:
        // The callee's name must be a constant: a CALL through a variable is not compiled.
        if (i.a >= 0) return false;
        break;
      case Op::kMatGet:
        if (!slot(i.a) || !arrayFits(i, i.b)) return false;
        break;
      case Op::kMatBuild:
        if (!arrayFits(i, i.b)) return false;
        break;
      case Op::kMatSet:
      case Op::kMatFill:
      case Op::kMatParse:
        if (!arrayFits(i, i.a)) return false;
        break;
      case Op::kReadNext:
      case Op::kReadList:
      case Op::kExecute:
        if (!slot(i.b)) return false;
        break;
      case Op::kCommon:
        // The block's b slots from a must all lie in the frame.
        if ((i.x & 15) != 2 || i.a < 0 || i.b < 1 || i.b > slots - i.a) return false;
        break;
      default:
        break;
    }
    // Operand counts the machine reads without checking: each op's run must have exactly them.
    const int count = i.x & 15;
    if ((i.op == Op::kElement || i.op == Op::kSetElement) && (count < 1 || count > 3)) return false;
    if (i.op == Op::kSubstring && (count < 1 || count > 2)) return false;
    if (i.op == Op::kLocate && count != 5 && count != 6) return false;
    if ((i.op == Op::kRead || i.op == Op::kWrite) && count != 2 && count != 3) return false;
    if (i.op == Op::kDelete && count != 2) return false;
    if (i.op == Op::kOpen && count != 1 && count != 2) return false;
    if (i.op == Op::kRelease && count != 0 && count != 2) return false;
    if ((i.op == Op::kMatGet || i.op == Op::kMatSet) && count != 2 && count != 4) return false;
    if (i.op == Op::kMatFill && count != 1) return false;
    if ((i.op == Op::kMatParse || i.op == Op::kMatBuild) && count != 2) return false;
    if ((i.op == Op::kReadNext || i.op == Op::kReadList || i.op == Op::kExecute) && count != 1)
      return false;
    if (i.op == Op::kSelect && count != ((i.x & 0x10) != 0 ? 1 : 2)) return false;
  }
  for (std::int32_t o : p.operands)
    if (!operand(o)) return false;
  return true;
}

}  // namespace

std::string serialize(const Program& p) {
  Writer w;
  w.number(p.subroutine ? 1 : 0);
  w.text(p.name);
  w.number(p.parameters);
  w.number(p.slots);
  w.number(static_cast<std::int64_t>(p.code.size()));
  for (std::size_t k = 0; k < p.code.size(); ++k) {
    const Instr& i = p.code[k];
    // Op in the low byte, x in the next: the reader refuses anything above 16 bits.
    w.number(static_cast<std::int64_t>(i.op) | (static_cast<std::int64_t>(i.x) << 8));
    w.number(i.a);
    w.number(i.b);
    w.number(i.c);
    w.number(p.lines[k]);
  }
  w.number(static_cast<std::int64_t>(p.operands.size()));
  for (std::int32_t o : p.operands) w.number(o);
  w.number(static_cast<std::int64_t>(p.constants.size()));
  for (const std::string& c : p.constants) w.text(c);
  w.number(static_cast<std::int64_t>(p.variables.size()));
  for (const std::string& v : p.variables) w.text(v);
  return w.take();
}

std::shared_ptr<const Program> deserialize(std::string_view text) {
  if (text.substr(0, kMagic.size()) != kMagic) return nullptr;
  Reader r(text.substr(kMagic.size()));
  auto p = std::make_shared<Program>();
  std::int64_t flag = 0;
  std::size_t n = 0;
  if (!r.number(flag) || !r.text(p->name) || !r.number32(p->parameters) || !r.number32(p->slots) ||
      !r.count(n, 5 * kNumberChars))
    return nullptr;
  p->subroutine = flag == 1;
  p->code.resize(n);
  p->lines.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    std::int64_t head = 0;
    Instr& i = p->code[k];
    if (!r.number(head) || head < 0 || head > 0xFFFF || !r.number32(i.a) || !r.number32(i.b) ||
        !r.number32(i.c) || !r.number32(p->lines[k]))
      return nullptr;
    if ((head & 0xFF) >= static_cast<std::int64_t>(Op::kCount_)) return nullptr;
    i.op = static_cast<Op>(head & 0xFF);
    i.x = static_cast<std::uint8_t>(head >> 8);
  }
  if (!r.count(n, kNumberChars)) return nullptr;
  p->operands.resize(n);
  for (std::size_t k = 0; k < n; ++k)
    if (!r.number32(p->operands[k])) return nullptr;
  if (!r.count(n, kNumberChars)) return nullptr;
  p->constants.resize(n);
  for (std::size_t k = 0; k < n; ++k)
    if (!r.text(p->constants[k])) return nullptr;
  if (!r.count(n, kNumberChars)) return nullptr;
  p->variables.resize(n);
  for (std::size_t k = 0; k < n; ++k)
    if (!r.text(p->variables[k])) return nullptr;
  // Trailing text means the item is not what this writer made, even if the rest parsed.
  if (!r.done() || !valid(*p)) return nullptr;
  p->prepareConstants();
  return p;
}

}  // namespace tarn::server::corvex
