#include "server/engine/corvex/machine.h"

namespace tarn::server::corvex {

void notANumber(const Value& v) {
  throw Failure{"'" + v.text().substr(0, 40) + "' is not a number"};
}

void tooLong() {
  throw Failure{"text longer than " + std::to_string(kMaxText) + " bytes"};
}

long longOf(const Value& v) {
  double n = numberOf(v);
  // Positions and counts far out of range (and a NaN from a power) act as the extremes.
  if (!(n >= -2e9 && n <= 2e9)) return n > 0 ? 2000000000L : -2000000000L;
  return static_cast<long>(n);
}

}  // namespace tarn::server::corvex
