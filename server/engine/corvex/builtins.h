// The intrinsic functions of Corvex.
#pragma once

#include "server/engine/conv/conversion.h"
#include "server/engine/corvex/program.h"
#include "server/engine/corvex/value.h"

namespace tarn::server::corvex {

// out <- fn(a[0..n)); format is the port's, for the conversions. Throws Failure.
void callBuiltin(Fn fn, Value& out, const Value* const* a, int n, const NumberFormat& format);

}  // namespace tarn::server::corvex
