// The intrinsic functions of Corvex.
#pragma once

#include "server/engine/conv/conversion.h"
#include "server/engine/corvex/program.h"
#include "server/engine/corvex/value.h"

namespace tarn::server::corvex {

class Files;

// out <- fn(a[0..n)); port gives the number format for conversions and the port's names.
// Throws Failure.
void callBuiltin(Fn fn, Value& out, const Value* const* a, int n, const Files& port);

// The dimensioned-array instructions (kMatGet .. kMatBuild) on frame r; a holds the operand
// run, b the instruction's b operand.
void arrayOp(const Instr& i, Value* r, const Value* const* a, const Value& b);

// FMT and the format mask of `X "R2#10"`: justification, decimals, fill and width.
[[nodiscard]] std::string formatMask(const std::string& value, std::string_view mask,
                                     const NumberFormat& format);
// MATCHES: whether s fits one of the patterns (separated by value marks).
[[nodiscard]] bool matchesPattern(std::string_view s, std::string_view patterns);

}  // namespace tarn::server::corvex
