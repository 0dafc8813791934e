#include "server/engine/corvex/vm.h"

#include <cmath>

#include "server/engine/corvex/builtins.h"
#include "server/engine/corvex/files.h"
#include "server/engine/corvex/machine.h"

namespace tarn::server::corvex {
namespace {

constexpr int kMaxCallDepth = 200;
constexpr std::size_t kMaxGosubDepth = 10000;
// How many backward jumps run between looks at the cancel flag and the clock.
constexpr unsigned kTicksBetweenChecks = 4096;

struct Stopped {};
struct StopAll {};

class Machine {
 public:
  explicit Machine(Runtime& rt) : rt_(rt), files_(rt.port) {}

  void call(const Program& p, std::vector<Value>& args, int depth);

  std::string where;  // "NAME line N" of the failing instruction

 private:
  void tick() {
    if (++ticks_ % kTicksBetweenChecks != 0) [[likely]]
      return;
    checkStop();
  }
  [[gnu::noinline]] void checkStop() {
    if (rt_.cancel != nullptr && rt_.cancel->load(std::memory_order_relaxed)) throw Stopped{};
    if (rt_.deadline && std::chrono::steady_clock::now() >= *rt_.deadline) throw Stopped{};
  }
  void execute(const Program& p, Value* r, int depth);
  void newline() {
    if (printedLines_++ > 0) rt_.output.push_back(kAm);
    rt_.output += line_;
    line_.clear();
  }

  Runtime& rt_;
  Files files_;
  std::string line_;
  unsigned ticks_ = 0;
  int printedLines_ = 0;

 public:
  void flush() {
    if (!line_.empty()) newline();
  }
};

void Machine::call(const Program& p, std::vector<Value>& args, int depth) {
  if (depth > kMaxCallDepth) throw Failure{"calls nested too deeply"};
  if (static_cast<std::int32_t>(args.size()) > p.parameters)
    throw Failure{std::to_string(args.size()) + " arguments passed to " + p.name +
                  ", which takes " + std::to_string(p.parameters)};
  std::vector<Value> frame(static_cast<std::size_t>(p.slots));
  for (std::size_t k = 0; k < args.size(); ++k) frame[k] = std::move(args[k]);
  struct CopyBack {
    std::vector<Value>& frame;
    std::vector<Value>& args;
    ~CopyBack() {
      for (std::size_t k = 0; k < args.size(); ++k) args[k] = std::move(frame[k]);
    }
  } back{frame, args};
  execute(p, frame.data(), depth);
}

void Machine::execute(const Program& p, Value* r, int depth) {
  const Instr* const code = p.code.data();
  const Value* const k = p.constantValues.data();
  const std::int32_t* const runs = p.operands.data();
  std::vector<std::size_t> gosubs;
  std::size_t pc = 0;
  auto val = [&](std::int32_t o) -> const Value& { return o >= 0 ? r[o] : k[-o - 1]; };
  const Value* args[8];
  std::vector<const Value*> many;
  auto gather = [&](const Instr& i) -> const Value* const* {
    const int n = i.x & 15;
    const Value** out = args;
    if (n > 8) {
      many.resize(static_cast<std::size_t>(n));
      out = many.data();
    }
    for (int a = 0; a < n; ++a) out[a] = &val(runs[i.c + a]);
    return out;
  };
  try {
    for (;;) {
      const Instr& i = code[pc++];
      switch (i.op) {
        case Op::kMove:
          if (i.a != i.b) r[i.a] = val(i.b);
          break;
        case Op::kAdd:
          r[i.a].setNumber(numberOf(val(i.b)) + numberOf(val(i.c)));
          break;
        case Op::kSub:
          r[i.a].setNumber(numberOf(val(i.b)) - numberOf(val(i.c)));
          break;
        case Op::kMul:
          r[i.a].setNumber(numberOf(val(i.b)) * numberOf(val(i.c)));
          break;
        case Op::kDiv: {
          double x = numberOf(val(i.b));
          double y = numberOf(val(i.c));
          if (y == 0) throw Failure{"division by zero"};
          r[i.a].setNumber(x / y);
          break;
        }
        case Op::kPow:
          r[i.a].setNumber(std::pow(numberOf(val(i.b)), numberOf(val(i.c))));
          break;
        case Op::kCat:
          checkSize(static_cast<double>(val(i.b).sizeBound()) +
                    static_cast<double>(val(i.c).sizeBound()));
          if (i.a == i.b) {
            // Appending to the variable itself: edit in place, so a loop that builds text is
            // linear.
            if (i.c == i.a) {
              std::string twice = r[i.a].text();
              r[i.a].editText() += twice;
            } else {
              val(i.c).appendTo(r[i.a].editText());
            }
          } else {
            std::string t;
            const std::string& x = val(i.b).text();
            const std::string& y = val(i.c).text();
            t.reserve(x.size() + y.size());
            t += x;
            t += y;
            r[i.a].setText(std::move(t));
          }
          break;
        case Op::kEq:
          r[i.a].setNumber(compareValues(val(i.b), val(i.c)) == 0 ? 1 : 0);
          break;
        case Op::kNe:
          r[i.a].setNumber(compareValues(val(i.b), val(i.c)) != 0 ? 1 : 0);
          break;
        case Op::kLt:
          r[i.a].setNumber(compareValues(val(i.b), val(i.c)) < 0 ? 1 : 0);
          break;
        case Op::kGt:
          r[i.a].setNumber(compareValues(val(i.b), val(i.c)) > 0 ? 1 : 0);
          break;
        case Op::kLe:
          r[i.a].setNumber(compareValues(val(i.b), val(i.c)) <= 0 ? 1 : 0);
          break;
        case Op::kGe:
          r[i.a].setNumber(compareValues(val(i.b), val(i.c)) >= 0 ? 1 : 0);
          break;
        case Op::kAnd:
          r[i.a].setNumber(val(i.b).truth() && val(i.c).truth() ? 1 : 0);
          break;
        case Op::kOr:
          r[i.a].setNumber(val(i.b).truth() || val(i.c).truth() ? 1 : 0);
          break;
        case Op::kNeg:
          r[i.a].setNumber(-numberOf(val(i.b)));
          break;
        case Op::kNot:
          r[i.a].setNumber(val(i.b).truth() ? 0 : 1);
          break;
        case Op::kJump:
          if (static_cast<std::size_t>(i.a) < pc) tick();
          pc = static_cast<std::size_t>(i.a);
          break;
        case Op::kJumpIf:
          if (val(i.a).truth()) pc = static_cast<std::size_t>(i.b);
          break;
        case Op::kJumpIfNot:
          if (!val(i.a).truth()) pc = static_cast<std::size_t>(i.b);
          break;
        case Op::kJumpOut: {
          const double outcome = numberOf(val(i.a));
          const bool in = outcome >= 0 && outcome < 3 && (i.b & (1 << static_cast<int>(outcome)));
          if (!in) pc = static_cast<std::size_t>(i.c);
          break;
        }
        case Op::kForPrep: {
          double x = numberOf(r[i.a]);
          double limit = numberOf(r[i.b]);
          double step = numberOf(r[i.b + 1]);
          if (step >= 0 ? x > limit : x < limit) pc = static_cast<std::size_t>(i.c);
          break;
        }
        case Op::kForNext: {
          tick();
          const double step = numberOf(r[i.b + 1]);
          const double x = numberOf(r[i.a]) + step;
          r[i.a].setNumber(x);
          if (step >= 0 ? x <= numberOf(r[i.b]) : x >= numberOf(r[i.b]))
            pc = static_cast<std::size_t>(i.c);
          break;
        }
        case Op::kElement: {
          const Value* const* a = gather(i);
          const int n = i.x & 15;
          long pos[3] = {0, 0, 0};
          for (int j = 0; j < n; ++j) pos[j] = longOf(*a[j]);
          std::string_view got = extract(val(i.b).text(), pos[0], pos[1], pos[2]);
          if (i.a == i.b) {
            r[i.a].setText(std::string(got));
          } else {
            r[i.a].setText(got);
          }
          break;
        }
        case Op::kSetElement: {
          const Value* const* a = gather(i);
          const int n = i.x & 15;
          long pos[3] = {0, 0, 0};
          for (int j = 0; j < n; ++j) pos[j] = longOf(*a[j]);
          checkSize(static_cast<double>(r[i.a].sizeBound()) +
                    static_cast<double>(val(i.b).sizeBound()) +
                    static_cast<double>(pos[0] + pos[1] + pos[2]));
          if (n == 1 && pos[0] < 0 && i.b != i.a) {
            // X<-1> = value: append in place.
            std::string& s = r[i.a].editText();
            if (!s.empty()) s.push_back(kAm);
            val(i.b).appendTo(s);
          } else if (i.b == i.a) {
            std::string copy = r[i.a].text();
            replaceElement(r[i.a].editText(), pos[0], pos[1], pos[2], copy);
          } else {
            const std::string& v = val(i.b).text();
            replaceElement(r[i.a].editText(), pos[0], pos[1], pos[2], v);
          }
          break;
        }
        case Op::kSubstring: {
          const Value* const* a = gather(i);
          const std::string& s = val(i.b).text();
          std::string_view got;
          if ((i.x & 15) == 1) {
            // x[n]: the last n characters.
            long n = longOf(*a[0]);
            long len = textLength(s);
            got = substring(s, len - n + 1 < 1 ? 1 : len - n + 1, n);
          } else {
            got = substring(s, longOf(*a[0]), longOf(*a[1]));
          }
          r[i.a].setText(std::string(got));
          break;
        }
        case Op::kFunction: {
          const Value* const* a = gather(i);
          callBuiltin(static_cast<Fn>(i.b), r[i.a], a, i.x & 15, files_.format());
          break;
        }
        case Op::kPrint:
          line_ += val(i.a).text();
          break;
        case Op::kNewline:
          newline();
          break;
        case Op::kGosub:
          if (gosubs.size() >= kMaxGosubDepth) throw Failure{"GOSUB nested too deeply"};
          tick();
          gosubs.push_back(pc);
          pc = static_cast<std::size_t>(i.a);
          break;
        case Op::kReturn:
          if (gosubs.empty()) return;
          pc = gosubs.back();
          gosubs.pop_back();
          break;
        case Op::kStop:
          throw StopAll{};
        case Op::kCall: {
          tick();
          const std::string& target = val(i.a).text();
          std::shared_ptr<const Program> callee = rt_.resolve ? rt_.resolve(target) : nullptr;
          if (!callee) throw Failure{"subroutine " + target + " is not cataloged"};
          if (!callee->subroutine) throw Failure{target + " is not a subroutine"};
          const int n = i.x & 15;
          std::vector<Value> passed(static_cast<std::size_t>(n));
          for (int j = 0; j < n; ++j) passed[static_cast<std::size_t>(j)] = val(runs[i.c + j]);
          std::string saved = std::move(where);
          call(*callee, passed, depth + 1);
          where = std::move(saved);
          // Arguments that are variables come back changed: by reference.
          for (int j = 0; j < n; ++j) {
            std::int32_t o = runs[i.c + j];
            if (o >= 0) r[o] = std::move(passed[static_cast<std::size_t>(j)]);
          }
          break;
        }
        case Op::kOpen:
        case Op::kRead:
        case Op::kWrite:
        case Op::kDelete:
        case Op::kRelease:
          files_.run(i, r, gather(i), i.op == Op::kWrite ? &val(i.a) : nullptr);
          break;
        case Op::kLocate: {
          const Value* const* a = gather(i);
          long pos = 0;
          bool found =
              locate(a[0]->text(), a[1]->text(), longOf(*a[2]), longOf(*a[3]), a[4]->text(), pos);
          r[i.a].setNumber(static_cast<double>(pos));
          r[i.b].setNumber(found ? 0 : 1);
          break;
        }
        case Op::kCount_:
          throw Failure{"bad instruction"};
      }
    }
  } catch (...) {
    // Name the instruction that failed or was stopped; the innermost call names it first.
    if (where.empty()) {
      std::size_t at = pc == 0 ? 0 : pc - 1;
      where = (p.name.empty() ? std::string("program") : p.name) + " line " +
              std::to_string(p.lines[at]);
    }
    throw;
  }
}

}  // namespace

RunResult run(const Program& p, std::vector<Value>& args, Runtime& rt) {
  Machine m(rt);
  RunResult result;
  try {
    m.call(p, args, 0);
  } catch (const StopAll&) {
  } catch (const Failure& f) {
    result.status = RunStatus::kError;
    result.message = m.where + ": " + f.text;
  } catch (const Stopped&) {
    result.status = RunStatus::kStopped;
    result.message = m.where.empty() ? "the call was stopped" : m.where + ": the call was stopped";
  } catch (...) {
    std::optional<std::string> store = storeFailure(std::current_exception());
    if (!store) throw;
    result.status = RunStatus::kError;
    result.message = m.where + ": " + *store;
  }
  m.flush();
  return result;
}

}  // namespace tarn::server::corvex
