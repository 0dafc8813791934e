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

// A number as a position or a count.
long longOf(const Value& v);

}  // namespace tarn::server::corvex
