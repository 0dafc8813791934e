#include "server/engine/corvex/vm.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <new>

#include "server/engine/corvex/builtins.h"
#include "server/engine/corvex/files.h"
#include "server/engine/corvex/machine.h"

// Computed-goto dispatch where the compiler has it: each instruction jumps straight to the next
// one's code, which predicts far better than one shared switch. Elsewhere a switch does the same.
#if defined(__GNUC__) && !defined(TARN_CORVEX_SWITCH)
#define CORVEX_COMPUTED_GOTO 1
#else
#define CORVEX_COMPUTED_GOTO 0
#endif

namespace tarn::server::corvex {
namespace {

// Calls take no native stack, so these limits are not about the thread: they stop a runaway
// recursion with a clear message instead of letting it run into the memory budget.
constexpr int kMaxCallDepth = 200;
constexpr std::size_t kMaxGosubDepth = 10000;
// Work between looks at the cancel flag and the clock, in units of about one cheap instruction;
// text operations count a unit per 16 bytes they touch. Some 65,000 units take well under a
// millisecond, and the clock costs tens of nanoseconds here, so looking costs nothing measurable
// while a call still stops within milliseconds of its limit whatever its turns do.
constexpr std::int64_t kWorkBetweenChecks = 1 << 16;
// What a file statement counts besides its bytes: a trip to the store.
constexpr std::size_t kFileWork = 1024;

// Stopped: cancelled or past the deadline (RunStatus::kStopped). StopAll: a STOP statement,
// which ends the whole call normally.
struct Stopped {};
struct StopAll {};

std::chrono::steady_clock::time_point coarseNow() noexcept {
  // The coarse clock is a memory read where the plain one may be a system call; its few
  // milliseconds of resolution are far inside what a time limit allows.
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return std::chrono::steady_clock::time_point(std::chrono::seconds(t.tv_sec) +
                                               std::chrono::nanoseconds(t.tv_nsec));
}

class Machine final : public Budget {
 public:
  explicit Machine(Runtime& rt) : Budget(rt.memoryLimit), rt_(rt), files_(rt.port) {
    // The deadline is measured on the coarse clock from now on.
    if (rt_.deadline) {
      const auto left = *rt_.deadline - std::chrono::steady_clock::now();
      deadline_ = coarseNow() + left;
    }
    // Room for the usual frames up front; deeper calls grow the stack as they go.
    stack_.reserve(256);
    calls_.reserve(kMaxCallDepth + 1);
  }

  void call(const Program& p, std::vector<Value>& args);
  // The bytes the reply to the call will take, counted against the budget with the rest.
  void checkReply(const std::vector<Value>& args);

  std::string where;  // "NAME line N" of the failing instruction

 private:
  // Counts work done; every kWorkBetweenChecks units, looks at the cancel flag and the clock.
  void work(std::size_t units) {
    work_ -= static_cast<std::int64_t>(units);
    if (work_ < 0) [[unlikely]]
      checkStop();
  }
  // A text operation over `bytes`: work, and memory that may have been taken.
  void textWork(std::size_t bytes) {
    work(bytes >> 4);
    took(bytes);
  }
  [[gnu::noinline]] void checkStop() {
    work_ = kWorkBetweenChecks;
    if (rt_.cancel != nullptr && rt_.cancel->load(std::memory_order_relaxed)) throw Stopped{};
    if (deadline_ && coarseNow() >= *deadline_) throw Stopped{};
  }
  std::size_t count() const override {
    // Capacities, not sizes: what is allocated is what the budget is for.
    std::size_t n = stack_.capacity() * sizeof(Value) + rt_.output.capacity() + line_.capacity() +
                    gosubs_.capacity() * sizeof(std::size_t);
    for (const Value& v : stack_) n += v.heapBytes();
    auto blocks = [&](const std::map<std::string, std::vector<Value>>& all) {
      for (const auto& [name, block] : all) {
        n += name.capacity() + block.capacity() * sizeof(Value);
        for (const Value& v : block) n += v.heapBytes();
      }
    };
    blocks(unnamed_);
    if (rt_.commons != nullptr) blocks(*rt_.commons);
    return n;
  }
  void execute(const Program& top);
  // Copies slots a.. from the common block (or into it, x 0x10). The unnamed block lives as
  // long as this call; named ones as long as the runtime's table, the port's.
  void common(const Instr& i, Value* r, const std::string& name, long offset) {
    std::vector<Value>& block =
        // Without the port's table a named block lives in this call's own map, as the unnamed one
        // does.
        name.empty() || rt_.commons == nullptr ? unnamed_[name] : (*rt_.commons)[name];
    // Object code from elsewhere could name any offset: a block is never larger than a frame.
    if (offset < 0 || offset > (1 << 20)) throw Failure{"bad COMMON offset"};
    const auto end = static_cast<std::size_t>(offset + i.b);
    if (block.size() < end) {
      need(static_cast<double>(end - block.size()) * sizeof(Value));
      block.resize(end);
    }
    for (std::int32_t k = 0; k < i.b; ++k) {
      Value& kept = block[static_cast<std::size_t>(offset + k)];
      if ((i.x & 0x10) != 0) {
        textWork(r[i.a + k].textBytes());
        kept = r[i.a + k];
      } else {
        textWork(kept.textBytes());
        r[i.a + k] = kept;
      }
    }
  }
  const Program& callee(const Value& name);
  void newline() {
    textWork(line_.size());
    checkSize(static_cast<double>(rt_.output.size() + line_.size() + 1));
    if (printedLines_++ > 0) rt_.output.push_back(kAm);
    rt_.output += line_;
    line_.clear();
  }

  Runtime& rt_;
  Files files_;
  std::map<std::string, std::vector<Value>> unnamed_;
  // The frames of every call in progress, innermost last: one stack for the whole call, so a
  // CALL takes no allocation of its own.
  std::vector<Value> stack_;
  // The callers of the running program, innermost last.
  struct Call {
    const Program* program;
    std::size_t base;            // its frame in stack_
    std::size_t pc;              // where it goes on
    std::size_t gosubBase;       // its GOSUB returns in gosubs_
    const std::int32_t* passed;  // the operands it passed
    int count;
  };
  std::vector<Call> calls_;
  std::vector<std::size_t> gosubs_;  // GOSUB returns of every call in progress
  // Programs named by CALLs, by the constant that names them in their caller.
  std::vector<std::pair<const Value*, std::shared_ptr<const Program>>> callees_;
  std::string line_;
  const Value nothing_;  // an argument object code left out
  std::int64_t work_ = kWorkBetweenChecks;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  int printedLines_ = 0;

 public:
  void flush() {
    if (!line_.empty()) newline();
  }
};

void Machine::call(const Program& p, std::vector<Value>& args) {
  if (static_cast<std::int32_t>(args.size()) > p.parameters)
    throw Failure{std::to_string(args.size()) + " arguments passed to " + p.name +
                  ", which takes " + std::to_string(p.parameters)};
  need(static_cast<double>(p.slots) * sizeof(Value));
  stack_.resize(static_cast<std::size_t>(p.slots));
  for (std::size_t k = 0; k < args.size(); ++k) stack_[k] = std::move(args[k]);
  struct CopyBack {
    std::vector<Value>& frame;
    std::vector<Value>& args;
    ~CopyBack() {
      for (std::size_t k = 0; k < args.size(); ++k) args[k] = std::move(frame[k]);
    }
  } back{stack_, args};
  execute(p);
}

void Machine::checkReply(const std::vector<Value>& args) {
  // Each argument travels as its text, its length and two marks.
  // The arguments are out of the stack by now: count them beside the reply made from them.
  std::size_t reply = 0;
  for (const Value& v : args) reply += v.heapBytes() + v.text().size() + 24;
  // The frames are no longer needed once the arguments are out; freeing them first lets a call
  // whose reply fits use the memory its frames held.
  stack_.clear();
  stack_.shrink_to_fit();
  need(static_cast<double>(reply));
}

const Program& Machine::callee(const Value& name) {
  // Keyed by the address of the name constant, which lives as long as its program: a CALL in a
  // loop resolves once and then costs a pointer comparison, not a string lookup.
  for (const auto& [key, program] : callees_)
    if (key == &name) return *program;
  const std::string& target = name.text();
  std::shared_ptr<const Program> p = rt_.resolve ? rt_.resolve(target) : nullptr;
  if (!p) throw Failure{"subroutine " + target + " is not cataloged"};
  if (!p->subroutine) throw Failure{target + " is not a subroutine"};
  callees_.emplace_back(&name, p);
  return *p;
}

void Machine::execute(const Program& top) {
  // The running program and frame; a CALL saves them in calls_ and the callee runs in this same
  // loop, so a call costs no native frame, no allocation and no exception scope of its own.
  const Program* p = &top;
  const Instr* code = p->code.data();
  // Constants sit below index 0 of their own array, so an operand is one indexed read from
  // either the frame or the constants, chosen without a branch.
  const Value* k = p->constantBase();
  const std::int32_t* runs = p->operands.data();
  std::size_t base = 0;
  Value* r = stack_.data();
  std::size_t gosubBase = 0;  // this call's GOSUB returns start here in gosubs_
  std::size_t pc = 0;
  // Gives a finished call's variables back to its caller and makes the caller current again.
  auto leave = [&] {
    const Call& c = calls_.back();
    Value* caller = stack_.data() + c.base;
    for (int j = 0; j < c.count; ++j) {
      if (c.passed[j] >= 0) caller[c.passed[j]].takeFrom(r[j]);
    }
    // The callee's values go now; the slots stay, empty, for the next call.
    for (Value *v = r, *end = r + p->slots; v != end; ++v) v->clear();
    gosubs_.resize(gosubBase);
    p = c.program;
    code = p->code.data();
    k = p->constantBase();
    runs = p->operands.data();
    base = c.base;
    r = caller;
    gosubBase = c.gosubBase;
    pc = c.pc;
    calls_.pop_back();
  };
  const Instr* i = nullptr;
  auto val = [&](std::int32_t o) -> const Value& { return (o >= 0 ? r : k)[o]; };
  const Value* args[8];
  std::vector<const Value*> many;
  auto gather = [&](const Instr& in) -> const Value* const* {
    const int n = in.x & 15;
    const Value** out = args;
    if (n > 8) {
      many.resize(static_cast<std::size_t>(n));
      out = many.data();
    }
    for (int a = 0; a < n; ++a) out[a] = &val(runs[in.c + a]);
    return out;
  };
  // A backward jump charges the instructions it may repeat.
  // Kept in a local rather than in work_, so that a tight loop's count stays in a register.
  std::int64_t turns = kWorkBetweenChecks;
  auto jumpTo = [&](std::size_t target) {
    if (target < pc) {
      turns -= static_cast<std::int64_t>(pc - target);
      if (turns < 0) [[unlikely]] {
        turns = kWorkBetweenChecks;
        checkStop();
      }
    }
    pc = target;
  };
  // Numerically when both sides read as numbers, else as text; only text comparison costs work.
  auto compare = [&](const Value& x, const Value& y) {
    double a = 0;
    double b = 0;
    if (x.comparesAsNumber(a) && y.comparesAsNumber(b)) return a < b ? -1 : (a > b ? 1 : 0);
    work((x.textBytes() + y.textBytes()) >> 4);
    return compareValues(x, y);
  };
  std::size_t walked = 0;

#if CORVEX_COMPUTED_GOTO
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
  // In the order of Op.
  static void* const kTargets[] = {
      &&op_kMove,      &&op_kAdd,      &&op_kSub,      &&op_kMul,      &&op_kDiv,
      &&op_kPow,       &&op_kCat,      &&op_kEq,       &&op_kNe,       &&op_kLt,
      &&op_kGt,        &&op_kLe,       &&op_kGe,       &&op_kAnd,      &&op_kOr,
      &&op_kNeg,       &&op_kNot,      &&op_kJump,     &&op_kJumpIf,   &&op_kJumpIfNot,
      &&op_kJumpOut,   &&op_kForPrep,  &&op_kForNext,  &&op_kElement,  &&op_kSetElement,
      &&op_kSubstring, &&op_kFunction, &&op_kPrint,    &&op_kNewline,  &&op_kGosub,
      &&op_kReturn,    &&op_kCall,     &&op_kStop,     &&op_kOpen,     &&op_kRead,
      &&op_kWrite,     &&op_kDelete,   &&op_kRelease,  &&op_kLocate,   &&op_kMatGet,
      &&op_kMatSet,    &&op_kMatFill,  &&op_kMatParse, &&op_kMatBuild, &&op_kSelect,
      &&op_kReadNext,  &&op_kReadList, &&op_kExecute,  &&op_kCommon,   &&op_kTransaction,
      &&op_kCount_};
  static_assert(sizeof kTargets / sizeof kTargets[0] == static_cast<std::size_t>(Op::kCount_) + 1,
                "one target per instruction");
#define OP(name) op_##name:
#define NEXT()                                        \
  do {                                                \
    i = code + pc++;                                  \
    goto* kTargets[static_cast<std::uint8_t>(i->op)]; \
  } while (0)
#else
#define OP(name) case Op::name:
#define NEXT() continue
#endif

  try {
#if CORVEX_COMPUTED_GOTO
    NEXT();
#else
    for (;;) {
      i = code + pc++;
      switch (i->op) {
#endif
    OP(kMove) {
      if (i->a != i->b) {
        const Value& from = val(i->b);
        // Short texts copy within the value; only a long copy is worth counting.
        if (from.textBytes() > 64) textWork(from.textBytes());
        r[i->a] = from;
      }
      NEXT();
    }
    OP(kAdd) {
      r[i->a].setNumber(numberOf(val(i->b)) + numberOf(val(i->c)));
      NEXT();
    }
    OP(kSub) {
      r[i->a].setNumber(numberOf(val(i->b)) - numberOf(val(i->c)));
      NEXT();
    }
    OP(kMul) {
      r[i->a].setNumber(numberOf(val(i->b)) * numberOf(val(i->c)));
      NEXT();
    }
    OP(kDiv) {
      const double x = numberOf(val(i->b));
      const double y = numberOf(val(i->c));
      // An error rather than infinity, which would only surface later as a strange number.
      if (y == 0) throw Failure{"division by zero"};
      r[i->a].setNumber(x / y);
      NEXT();
    }
    OP(kPow) {
      r[i->a].setNumber(std::pow(numberOf(val(i->b)), numberOf(val(i->c))));
      NEXT();
    }
    OP(kCat) {
      checkSize(static_cast<double>(val(i->b).sizeBound()) +
                static_cast<double>(val(i->c).sizeBound()));
      if (i->a == i->b) {
        // Appending to the variable itself: edit in place, so a loop that builds text is
        // linear.
        std::string& s = r[i->a].editText();
        const std::size_t before = s.size();
        if (i->c == i->a) {
          s.append(s);
        } else {
          val(i->c).appendTo(s);
        }
        textWork(s.size() - before);
      } else {
        std::string t;
        const std::string& x = val(i->b).text();
        const std::string& y = val(i->c).text();
        t.reserve(x.size() + y.size());
        t += x;
        t += y;
        textWork(t.size());
        r[i->a].setText(std::move(t));
      }
      NEXT();
    }
    OP(kEq) {
      r[i->a].setNumber(compare(val(i->b), val(i->c)) == 0 ? 1 : 0);
      NEXT();
    }
    OP(kNe) {
      r[i->a].setNumber(compare(val(i->b), val(i->c)) != 0 ? 1 : 0);
      NEXT();
    }
    OP(kLt) {
      r[i->a].setNumber(compare(val(i->b), val(i->c)) < 0 ? 1 : 0);
      NEXT();
    }
    OP(kGt) {
      r[i->a].setNumber(compare(val(i->b), val(i->c)) > 0 ? 1 : 0);
      NEXT();
    }
    OP(kLe) {
      r[i->a].setNumber(compare(val(i->b), val(i->c)) <= 0 ? 1 : 0);
      NEXT();
    }
    OP(kGe) {
      r[i->a].setNumber(compare(val(i->b), val(i->c)) >= 0 ? 1 : 0);
      NEXT();
    }
    OP(kAnd) {
      // Both operands were computed before this instruction: AND and OR do not short-circuit.
      r[i->a].setNumber(val(i->b).truth() && val(i->c).truth() ? 1 : 0);
      NEXT();
    }
    OP(kOr) {
      r[i->a].setNumber(val(i->b).truth() || val(i->c).truth() ? 1 : 0);
      NEXT();
    }
    OP(kNeg) {
      r[i->a].setNumber(-numberOf(val(i->b)));
      NEXT();
    }
    OP(kNot) {
      r[i->a].setNumber(val(i->b).truth() ? 0 : 1);
      NEXT();
    }
    OP(kJump) {
      jumpTo(static_cast<std::size_t>(i->a));
      NEXT();
    }
    OP(kJumpIf) {
      if (val(i->a).truth()) jumpTo(static_cast<std::size_t>(i->b));
      NEXT();
    }
    OP(kJumpIfNot) {
      if (!val(i->a).truth()) jumpTo(static_cast<std::size_t>(i->b));
      NEXT();
    }
    OP(kJumpOut) {
      const double outcome = numberOf(val(i->a));
      // Outcomes are 0..3; anything else is in no set, and the shift stays defined.
      const bool in = outcome >= 0 && outcome < 4 && (i->b & (1 << static_cast<int>(outcome)));
      if (!in) jumpTo(static_cast<std::size_t>(i->c));
      NEXT();
    }
    OP(kForPrep) {
      const double x = numberOf(r[i->a]);
      const double limit = numberOf(r[i->b]);
      const double step = numberOf(r[i->b + 1]);
      // A loop whose start is already past its limit runs no time at all; the step's sign decides
      // which way is past.
      if (step >= 0 ? x > limit : x < limit) pc = static_cast<std::size_t>(i->c);
      NEXT();
    }
    OP(kForNext) {
      const double step = numberOf(r[i->b + 1]);
      const double x = numberOf(r[i->a]) + step;
      r[i->a].setNumber(x);
      if (step >= 0 ? x <= numberOf(r[i->b]) : x >= numberOf(r[i->b]))
        jumpTo(static_cast<std::size_t>(i->c));
      NEXT();
    }
    OP(kElement) {
      const Value* const* a = gather(*i);
      const int n = i->x & 15;
      long pos[3] = {0, 0, 0};
      for (int j = 0; j < n; ++j) pos[j] = longOf(*a[j]);
      walked = 0;
      // The source remembers where this read stopped, so the next one along starts there.
      std::string_view got = val(i->b).element(pos[0], pos[1], pos[2], walked);
      textWork(walked + got.size());
      // got may point into the variable being assigned: copy it before the old text goes.
      if (i->a == i->b) {
        r[i->a].setText(std::string(got));
      } else {
        r[i->a].setText(got);
      }
      NEXT();
    }
    OP(kSetElement) {
      const Value* const* a = gather(*i);
      const int n = i->x & 15;
      long pos[3] = {0, 0, 0};
      for (int j = 0; j < n; ++j) pos[j] = longOf(*a[j]);
      checkSize(static_cast<double>(r[i->a].sizeBound()) +
                static_cast<double>(val(i->b).sizeBound()) +
                static_cast<double>(pos[0] + pos[1] + pos[2]));
      if (n == 1 && pos[0] < 0 && i->b != i->a) {
        // X<-1> = value: append in place.
        std::string& s = r[i->a].editText();
        const std::size_t before = s.size();
        if (!s.empty()) s.push_back(kAm);
        val(i->b).appendTo(s);
        textWork(s.size() - before);
      } else if (i->b == i->a) {
        // X<n> = X: replaceElement edits the string it would be reading from.
        std::string copy = r[i->a].text();
        replaceElement(r[i->a].editText(), pos[0], pos[1], pos[2], copy);
        textWork(r[i->a].textBytes() + copy.size());
      } else {
        const std::string& v = val(i->b).text();
        replaceElement(r[i->a].editText(), pos[0], pos[1], pos[2], v);
        textWork(r[i->a].textBytes());
      }
      NEXT();
    }
    OP(kSubstring) {
      const Value* const* a = gather(*i);
      const Value& s = val(i->b);
      walked = 0;
      // x[n] is the last n characters; x[start, length] the rest, where a negative start counts
      // from the end: x[-2,2] is the last two characters.
      std::string_view got;
      if ((i->x & 15) == 1) {
        got = s.lastChars(longOf(*a[0]), walked);
      } else {
        long start = longOf(*a[0]);
        if (start < 0) start += s.length(walked) + 1;
        got = s.chars(start, longOf(*a[1]), walked);
      }
      textWork(walked + got.size());
      // Always a copy: got may point into r[i->a] itself.
      r[i->a].setText(std::string(got));
      NEXT();
    }
    OP(kFunction) {
      const Value* const* a = gather(*i);
      // Object code may pass a function fewer arguments than it reads: the rest are empty, and
      // there is always a first (the functions read their last argument as text).
      for (int j = i->x & 15; j < 8; ++j) args[j] = &nothing_;
      const int n = std::max(i->x & 15, 1);
      const auto fn = static_cast<Fn>(i->b);
      walked = 0;
      if (fn == Fn::kLen) {
        // LEN and FIELD read through the positions their text remembers.
        r[i->a].setNumber(static_cast<double>(a[0]->length(walked)));
        work(walked >> 4);
      } else if (fn == Fn::kField) {
        std::string_view got =
            a[0]->fieldOf(a[1]->text(), longOf(*a[2]), n > 3 ? longOf(*a[3]) : 1, walked);
        textWork(walked + got.size());
        if (a[0] == &r[i->a]) {
          r[i->a].setText(std::string(got));
        } else {
          r[i->a].setText(got);
        }
      } else {
        for (int j = 0; j < n; ++j) walked += a[j]->textBytes();
        work(walked >> 4);
        callBuiltin(fn, r[i->a], a, n, files_);
        textWork(r[i->a].textBytes());
      }
      NEXT();
    }
    OP(kPrint) {
      const std::string& t = val(i->a).text();
      checkSize(static_cast<double>(line_.size() + t.size()));
      line_ += t;
      textWork(t.size());
      NEXT();
    }
    OP(kNewline) {
      newline();
      NEXT();
    }
    OP(kGosub) {
      if (gosubs_.size() - gosubBase >= kMaxGosubDepth) throw Failure{"GOSUB nested too deeply"};
      gosubs_.push_back(pc);
      jumpTo(static_cast<std::size_t>(i->a));
      NEXT();
    }
    OP(kReturn) {
      if (gosubs_.size() > gosubBase) {
        jumpTo(gosubs_.back());
        gosubs_.pop_back();
        NEXT();
      }
      if (calls_.empty()) return;
      leave();
      NEXT();
    }
    OP(kStop) {
      throw StopAll{};
    }
    OP(kCall) {
      if (calls_.size() >= kMaxCallDepth) throw Failure{"calls nested too deeply"};
      const Program& target = callee(val(i->a));
      const int n = i->x & 15;
      if (n > target.parameters)
        throw Failure{std::to_string(n) + " arguments passed to " + target.name + ", which takes " +
                      std::to_string(target.parameters)};
      // A call costs work in proportion to its callee, so a loop of small calls still reaches
      // the checks.
      work(target.code.size());
      const std::int32_t* passed = runs + i->c;
      // Variables go by reference: each is moved into the callee's frame and back, unless it
      // is passed twice, when each place gets a copy and the last one back wins.
      bool twice = false;
      for (int j = 0; j < n && !twice; ++j)
        for (int m = j + 1; m < n; ++m) twice = twice || (passed[j] >= 0 && passed[j] == passed[m]);
      const std::size_t frame = base + static_cast<std::size_t>(p->slots);
      need(static_cast<double>(target.slots) * sizeof(Value));
      // Slots past the running frame are empty: new, or cleared when their call ended.
      if (stack_.size() < frame + static_cast<std::size_t>(target.slots))
        stack_.resize(frame + static_cast<std::size_t>(target.slots));
      // The resize may have moved the stack: the caller's frame pointer is taken afresh.
      r = stack_.data() + base;
      Value* into = stack_.data() + frame;
      // Copies first, which may fail for memory, then the moves and the record, which cannot:
      // a call either starts whole or leaves its caller as it was.
      for (int j = 0; j < n; ++j)
        if (passed[j] < 0 || twice) into[j] = val(passed[j]);
      for (int j = 0; j < n; ++j)
        if (passed[j] >= 0 && !twice) into[j].takeFrom(r[passed[j]]);
      calls_.push_back({p, base, pc, gosubBase, passed, n});
      p = &target;
      code = p->code.data();
      k = p->constantBase();
      runs = p->operands.data();
      base = frame;
      r = into;
      gosubBase = gosubs_.size();
      pc = 0;
      NEXT();
    }
    OP(kOpen)
    OP(kRead)
    OP(kWrite)
    OP(kDelete)
    OP(kRelease)
    OP(kSelect)
    OP(kReadNext)
    OP(kReadList)
    OP(kExecute) {
      // WRITE reads a; the other statements here that have an a assign it.
      const Value* written = i->op == Op::kWrite ? &val(i->a) : nullptr;
      work(kFileWork + (written != nullptr ? written->textBytes() >> 4 : 0));
      files_.run(*i, r, gather(*i), written);
      if (i->op != Op::kWrite && shapeOf(i->op).a) textWork(r[i->a].textBytes());
      NEXT();
    }
    OP(kLocate) {
      const Value* const* a = gather(*i);
      long pos = 0;
      work(a[1]->textBytes() >> 4);
      const long start = (i->x & 15) > 5 ? longOf(*a[5]) : 1;
      const bool found = locate(a[0]->text(), a[1]->text(), longOf(*a[2]), longOf(*a[3]),
                                a[4]->text(), pos, start);
      r[i->a].setNumber(static_cast<double>(pos));
      // Outcome 0: found; 1: not found, which the jump after it takes as ELSE.
      r[i->b].setNumber(found ? 0 : 1);
      NEXT();
    }
    OP(kMatGet)
    OP(kMatSet)
    OP(kMatFill)
    OP(kMatParse)
    OP(kMatBuild) {
      const Value* const* a = gather(*i);
      const Value& b = val(i->b);
      if (i->op == Op::kMatFill) {
        // A fill copies the value into every element: asked for before any copy is made.
        need(std::max(0.0, static_cast<double>(longOf(*a[0]))) *
             static_cast<double>(b.textBytes()));
      }
      arrayOp(*i, r, a, b);
      textWork(i->op == Op::kMatGet || i->op == Op::kMatBuild ? r[i->a].textBytes()
                                                              : b.textBytes());
      NEXT();
    }
    OP(kCommon) {
      common(*i, r, val(runs[i->c]).text(), longOf(val(runs[i->c + 1])));
      NEXT();
    }
    OP(kTransaction) {
      work(kFileWork);
      r[i->b].setNumber(files_.transaction(i->x) ? 0 : 1);
      NEXT();
    }
    OP(kCount_) {
      throw Failure{"bad instruction"};
    }
#if !CORVEX_COMPUTED_GOTO
  }
}
#endif
}
catch (...) {
  // Name the instruction that failed or was stopped, then give every call's variables back to
  // its caller, so that the arguments hold their final values whatever happened.
  // pc has already moved past the instruction that threw.
  const std::size_t at = pc == 0 ? 0 : pc - 1;
  where = (p->name.empty() ? std::string("program") : p->name) + " line " +
          std::to_string(p->lines[at]);
  while (!calls_.empty()) leave();
  throw;
}
#undef OP
#undef NEXT
#if CORVEX_COMPUTED_GOTO
#pragma GCC diagnostic pop
#endif
}

}  // namespace

RunResult run(const Program& p, std::vector<Value>& args, Runtime& rt) {
  RunResult result;
  // A machine that cannot even be set up has taken no memory worth reporting in a line.
  std::optional<Machine> machine;
  try {
    machine.emplace(rt);
  } catch (const std::bad_alloc&) {
    result.status = RunStatus::kStopped;
    result.message = "the call was stopped: the server is out of memory";
    return result;
  }
  Machine& m = *machine;
  // A call may run another on the same thread (a sentence's I items inside EXECUTE): the outer
  // budget is put back afterwards.
  Budget* const outer = tCallBudget;
  tCallBudget = &m;
  auto stopped = [&](const char* why) {
    result.status = RunStatus::kStopped;
    result.message = (m.where.empty() ? std::string() : m.where + ": ") + why;
  };
  try {
    try {
      m.call(p, args);
    } catch (const StopAll&) {
    }
    m.flush();
    m.checkReply(args);
  } catch (const Failure& f) {
    result.status = RunStatus::kError;
    result.message = m.where + ": " + f.text;
  } catch (const Stopped&) {
    stopped("the call was stopped");
  } catch (const Budget::Exceeded&) {
    const std::string why = "the call needed more than its " + std::to_string(m.limit()) +
                            " bytes of memory (MaxCallMemory)";
    stopped(why.c_str());
  } catch (const std::bad_alloc&) {
    stopped("the call was stopped: the server is out of memory");
  } catch (...) {
    tCallBudget = outer;
    std::optional<std::string> store = storeFailure(std::current_exception());
    if (!store) throw;
    result.status = RunStatus::kError;
    result.message = m.where + ": " + *store;
  }
  tCallBudget = outer;
  if (result.status != RunStatus::kDone) {
    // What was printed before the end still goes back, as far as the budget allows.
    try {
      // The last line is flushed without the budget, then the output is cut to it.
      tCallBudget = nullptr;
      m.flush();
    } catch (...) {
    }
    if (rt.output.size() > m.limit()) rt.output.resize(m.limit());
  }
  return result;
}

}  // namespace tarn::server::corvex
