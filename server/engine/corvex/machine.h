// What the virtual machine, its built-in functions and its file statements share: how a
// run-time error is raised and how operands are read as numbers.
#pragma once

#include <cstddef>
#include <string>

#include "server/engine/corvex/value.h"

namespace tarn::server::corvex {

// No text a call makes may pass this size; nor may an element position, since positions past
// the end are filled with marks.
inline constexpr std::size_t kMaxText = std::size_t{64} << 20;

// Thrown to stop the call with a run-time error; the VM adds the module and the line.
struct Failure {
  std::string text;
};

[[noreturn, gnu::cold, gnu::noinline]] void notANumber(const Value& v);
[[noreturn, gnu::cold, gnu::noinline]] void tooLong();

// The memory one call may hold: its values, its output and its reply. Anything about to build
// a text asks first, so that a call over its budget stops before the memory is taken.
class Budget {
 public:
  // Thrown when a call needs more than its budget.
  struct Exceeded {};

  explicit Budget(std::size_t limit) : limit_(limit) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;
  virtual ~Budget() = default;

  [[nodiscard]] std::size_t limit() const noexcept { return limit_; }
  // Room for n more bytes; throws Exceeded when there is none even after a recount.
  void need(double n) {
    if (static_cast<double>(held_ + pending_) + n > static_cast<double>(limit_)) [[unlikely]]
      settle(n);
  }
  // n bytes may have been taken since the last count (an estimate; a recount corrects it).
  void took(std::size_t n) {
    pending_ += n;
    if (held_ + pending_ > limit_) [[unlikely]]
      settle(0);
  }

 protected:
  // The bytes the call holds now, counted exactly.
  [[nodiscard]] virtual std::size_t count() const = 0;

 private:
  [[gnu::noinline]] void settle(double n) {
    held_ = count();
    pending_ = 0;
    if (static_cast<double>(held_) + n > static_cast<double>(limit_)) throw Exceeded{};
  }

  std::size_t limit_;
  std::size_t held_ = 0;
  std::size_t pending_ = 0;
};

// The budget of the call running on this thread (none outside a call).
inline thread_local Budget* tCallBudget = nullptr;

// Before a text of n bytes is built: within the size any text may have, and within the budget
// of the running call.
inline void checkSize(double n) {
  if (n > static_cast<double>(kMaxText)) [[unlikely]]
    tooLong();
  if (tCallBudget != nullptr) tCallBudget->need(n);
}

inline double numberOf(const Value& v) {
  double n = 0;
  if (!v.number(n)) [[unlikely]]
    notANumber(v);
  return n;
}

// A number as a position or a count.
long longOf(const Value& v);

}  // namespace tarn::server::corvex
