#include "server/engine/corvex/vm.h"

#include <cmath>

#include "server/engine/conv/conversion.h"
#include "server/engine/store/store.h"

namespace tarn::server::corvex {
namespace {

constexpr int kMaxCallDepth = 200;
// No text a call makes may pass this size; nor may an element position, since positions past
// the end are filled with marks.
constexpr std::size_t kMaxText = std::size_t{64} << 20;
constexpr std::size_t kMaxGosubDepth = 10000;
// How many backward jumps run between looks at the cancel flag and the clock.
constexpr unsigned kTicksBetweenChecks = 4096;

struct Failure {
  std::string text;
};
struct Stopped {};
struct StopAll {};

class Machine {
 public:
  explicit Machine(Runtime& rt) : rt_(rt) {}

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
  void function(Fn fn, Value& out, const Value* const* args, int n);
  void file(const Instr& i, Value* r, const Value* const* args, const Value* written);
  // TRANSACTION START (1), COMMIT (2) or ABORT (3); false for its ELSE: a transaction already
  // open at a start, none open at a commit or abort, or a commit refused and rolled back.
  bool transaction(int kind) {
    PortTransaction& t = port().transaction;
    if (kind == 1) return t.start();
    if (!t.active()) return false;
    if (kind == 2) return !t.commit(port().owner());
    t.abort(port().owner());
    return true;
  }
  // WRITE, WRITEV and DELETE inside the port's transaction: staged until its commit.
  void stageInTransaction(const Instr& i, OpenSection& f, const std::string& id,
                          const Value* const* a, const Value* written, Value* r);
  OpenSection& fileOf(const Value& v) {
    if (v.file() < 1 || static_cast<std::size_t>(v.file()) > files_.size())
      throw Failure{"not a file variable"};
    return files_[static_cast<std::size_t>(v.file()) - 1];
  }
  PortState& port() {
    if (rt_.port == nullptr) throw Failure{"files are not available here"};
    return *rt_.port;
  }
  void newline() {
    if (printedLines_++ > 0) rt_.output.push_back(kAm);
    rt_.output += line_;
    line_.clear();
  }

  Runtime& rt_;
  std::vector<OpenSection> files_;
  std::string line_;
  unsigned ticks_ = 0;
  int printedLines_ = 0;
  NumberFormat defaultFormat_;

 public:
  void flush() {
    if (!line_.empty()) newline();
  }
};

[[noreturn, gnu::cold, gnu::noinline]] void notANumber(const Value& v) {
  throw Failure{"'" + v.text().substr(0, 40) + "' is not a number"};
}

[[noreturn, gnu::cold, gnu::noinline]] void tooLong() {
  throw Failure{"text longer than " + std::to_string(kMaxText) + " bytes"};
}
inline void checkSize(double n) {
  if (n > static_cast<double>(kMaxText)) [[unlikely]]
    tooLong();
}

inline double numberOf(const Value& v) {
  double n = 0;
  if (!v.number(n)) [[unlikely]]
    notANumber(v);
  return n;
}
long longOf(const Value& v) {
  double n = numberOf(v);
  // Positions and counts far out of range (and a NaN from a power) act as the extremes.
  if (!(n >= -2e9 && n <= 2e9)) return n > 0 ? 2000000000L : -2000000000L;
  return static_cast<long>(n);
}

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
          function(static_cast<Fn>(i.b), r[i.a], a, i.x & 15);
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
          file(i, r, gather(i), i.op == Op::kWrite ? &val(i.a) : nullptr);
          break;
        case Op::kTransaction:
          r[i.b].setNumber(transaction(i.x) ? 0 : 1);
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

void Machine::function(Fn fn, Value& out, const Value* const* a, int n) {
  auto num = [&](int k) { return k < n ? numberOf(*a[k]) : 0.0; };
  auto lng = [&](int k) { return k < n ? longOf(*a[k]) : 0L; };
  static const std::string kEmpty;
  auto txt = [&](int k) -> const std::string& { return k < n ? a[k]->text() : kEmpty; };
  switch (fn) {
    case Fn::kLen:
      out.setNumber(static_cast<double>(textLength(txt(0))));
      return;
    case Fn::kTrim:
      out.setText(trim(txt(0)));
      return;
    case Fn::kField:
      out.setText(field(txt(0), txt(1), lng(2), n > 3 ? lng(3) : 1));
      return;
    case Fn::kIndex:
      out.setNumber(static_cast<double>(indexOf(txt(0), txt(1), lng(2))));
      return;
    case Fn::kCount:
      out.setNumber(static_cast<double>(countOf(txt(0), txt(1))));
      return;
    case Fn::kDcount:
      out.setNumber(static_cast<double>(dcount(txt(0), txt(1))));
      return;
    case Fn::kExtract:
      out.setText(std::string(extract(txt(0), lng(1), lng(2), lng(3))));
      return;
    case Fn::kReplace:
    case Fn::kInsert: {
      // The last argument is the new text; the positions before it default to 0.
      long pos[3] = {0, 0, 0};
      for (int k = 1; k < n - 1; ++k) pos[k - 1] = lng(k);
      checkSize(static_cast<double>(txt(0).size()) + static_cast<double>(txt(n - 1).size()) +
                static_cast<double>(pos[0] + pos[1] + pos[2]));
      std::string s = txt(0);
      if (fn == Fn::kReplace) {
        replaceElement(s, pos[0], pos[1], pos[2], txt(n - 1));
      } else {
        insertElement(s, pos[0], pos[1], pos[2], txt(n - 1));
      }
      out.setText(std::move(s));
      return;
    }
    case Fn::kDelete: {
      std::string s = txt(0);
      deleteElement(s, lng(1), lng(2), lng(3));
      out.setText(std::move(s));
      return;
    }
    case Fn::kOconv:
    case Fn::kIconv: {
      const NumberFormat& f = rt_.port != nullptr ? rt_.port->format : defaultFormat_;
      std::optional<std::string> got =
          fn == Fn::kOconv ? oconv(txt(0), txt(1), f) : iconv(txt(0), txt(1), f);
      out.setText(got ? std::move(*got) : std::string());
      return;
    }
    case Fn::kUpcase:
      out.setText(upcase(txt(0)));
      return;
    case Fn::kDowncase:
      out.setText(downcase(txt(0)));
      return;
    case Fn::kStr:
      checkSize(static_cast<double>(txt(0).size()) * num(1));
      out.setText(repeat(txt(0), lng(1)));
      return;
    case Fn::kSpace:
      checkSize(num(0));
      out.setText(repeat(" ", lng(0)));
      return;
    case Fn::kNum: {
      double d = 0;
      out.setNumber(a[0]->number(d) ? 1 : 0);
      return;
    }
    case Fn::kAlpha:
      out.setNumber(alphabetic(txt(0)) ? 1 : 0);
      return;
    case Fn::kInt:
      out.setNumber(std::trunc(num(0)));
      return;
    case Fn::kAbs:
      out.setNumber(std::fabs(num(0)));
      return;
    case Fn::kMod: {
      double d = num(1);
      if (d == 0) throw Failure{"MOD by zero"};
      out.setNumber(std::fmod(num(0), d));
      return;
    }
    case Fn::kSeq:
      out.setNumber(static_cast<double>(sequence(txt(0))));
      return;
    case Fn::kChar:
      out.setText(character(lng(0)));
      return;
    case Fn::kDate:
      out.setNumber(static_cast<double>(internalDateToday()));
      return;
    case Fn::kTime:
      out.setNumber(static_cast<double>(internalTimeNow()));
      return;
    case Fn::kConvert:
      out.setText(convertChars(txt(0), txt(1), txt(2)));
      return;
    case Fn::kChange:
      if (txt(2).size() > txt(1).size())
        checkSize(static_cast<double>(txt(0).size()) +
                  static_cast<double>(countOf(txt(0), txt(1))) *
                      static_cast<double>(txt(2).size() - txt(1).size()));
      out.setText(changeAll(txt(0), txt(1), txt(2)));
      return;
    case Fn::kNot:
      out.setNumber(a[0]->truth() ? 0 : 1);
      return;
    case Fn::kCount_:
      break;
  }
  throw Failure{"bad function"};
}

void Machine::stageInTransaction(const Instr& i, OpenSection& f, const std::string& id,
                                 const Value* const* a, const Value* written, Value* r) {
  PortTransaction& t = port().transaction;
  std::string body;
  const bool exists = readThrough(t, *f.account, f.section, id, body);
  std::optional<std::string> change;
  if (i.op == Op::kDelete) {
    if (!exists) {
      r[i.b].setNumber(1);
      return;
    }
  } else if ((i.x & 15) == 3) {
    replaceElement(body, std::max(1L, longOf(*a[2])), 0, 0, written->text());
    change = std::move(body);
  } else {
    change = written->text();
  }
  switch (stageLockedChange(t, f.account, f.section, id, std::move(change), port().owner())) {
    case StagedChange::kStaged:
      r[i.b].setNumber(0);
      return;
    case StagedChange::kLockedElsewhere:
      r[i.b].setNumber(2);
      return;
    case StagedChange::kNotLocked:
      throw Failure{std::string(i.op == Op::kDelete ? "DELETE" : "WRITE") + " of '" + id +
                    "' inside a transaction without its lock: READU it first"};
  }
}

// Outcomes of file statements: 0 THEN, 1 ELSE, 2 LOCKED.
void Machine::file(const Instr& i, Value* r, const Value* const* a, const Value* written) {
  const int n = i.x & 15;
  switch (i.op) {
    case Op::kOpen: {
      std::string reference = n == 2 ? a[0]->text() + " " + a[1]->text() : a[0]->text();
      std::optional<OpenSection> found = port().resolve(reference);
      if (!found) {
        r[i.b].setNumber(1);
        return;
      }
      files_.push_back(std::move(*found));
      r[i.a].setFile(static_cast<int>(files_.size()));
      r[i.b].setNumber(0);
      return;
    }
    case Op::kRead: {
      OpenSection& f = fileOf(*a[0]);
      const std::string id = a[1]->text();
      const long attribute = n == 3 ? longOf(*a[2]) : 0;
      if ((i.x & 0x10) != 0) {
        if (f.account->lockItem(f.section, id, port().owner()) ==
            store::LockOutcome::kHeldElsewhere) {
          r[i.b].setNumber(2);
          return;
        }
        if (port().transaction.active()) port().transaction.holdToEnd(f.account, f.section, id);
      }
      std::string body;
      if (id.empty() || !readThrough(port().transaction, *f.account, f.section, id, body)) {
        r[i.a].setText(std::string_view());
        r[i.b].setNumber(1);
        return;
      }
      if (n == 3) {
        r[i.a].setText(std::string(extract(body, attribute, 0, 0)));
      } else {
        r[i.a].setText(std::move(body));
      }
      r[i.b].setNumber(0);
      return;
    }
    case Op::kWrite:
    case Op::kDelete: {
      OpenSection& f = fileOf(*a[0]);
      const std::string id = a[1]->text();
      if (id.empty()) {
        r[i.b].setNumber(1);
        return;
      }
      store::Account& account = *f.account;
      if (port().transaction.active()) {
        stageInTransaction(i, f, id, a, written, r);
        return;
      }
      store::Transaction tx(account);
      store::Account::WriteCheck locks = account.checkWrite(f.section, id, port().owner());
      if (locks.heldElsewhere) {
        r[i.b].setNumber(2);
        return;
      }
      bool done = true;
      if (i.op == Op::kDelete) {
        done = account.deleteItem(f.section, id);
      } else if (n == 3) {
        std::string body;
        (void)account.readItem(f.section, id, body);
        replaceElement(body, std::max(1L, longOf(*a[2])), 0, 0, written->text());
        account.writeItem(f.section, id, body);
      } else {
        account.writeItem(f.section, id, written->text());
      }
      if (locks.heldByOwner) account.unlockItem(f.section, id, port().owner());
      tx.commit();
      r[i.b].setNumber(done ? 0 : 1);
      return;
    }
    case Op::kRelease:
      if (n == 0) {
        port().releaseLocks();
      } else {
        OpenSection& f = fileOf(*a[0]);
        // Inside a transaction every lock is kept to its end.
        if (port().transaction.active()) {
          port().transaction.holdToEnd(f.account, f.section, a[1]->text());
        } else {
          f.account->unlockItem(f.section, a[1]->text(), port().owner());
        }
      }
      return;
    default:
      return;
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
  } catch (const store::StoreError& e) {
    result.status = RunStatus::kError;
    result.message = m.where + ": the store failed: " + e.what();
  }
  m.flush();
  return result;
}

}  // namespace tarn::server::corvex
