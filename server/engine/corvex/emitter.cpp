#include "server/engine/corvex/emitter.h"

#include <algorithm>

namespace tarn::server::corvex {

std::int32_t Emitter::emit(Op op, std::int32_t a, std::int32_t b, std::int32_t c, std::uint8_t x) {
  p_.code.push_back({op, x, a, b, c});
  p_.lines.push_back(line_);
  return here() - 1;
}

void Emitter::patch(std::int32_t at, std::int32_t target) {
  Instr& i = p_.code[static_cast<std::size_t>(at)];
  // Each jump keeps its target where the machine reads it: a for the plain jumps, b for the
  // conditional ones, c for the outcome and loop jumps.
  if (i.op == Op::kJump || i.op == Op::kGosub) {
    i.a = target;
  } else if (i.op == Op::kJumpIf || i.op == Op::kJumpIfNot) {
    i.b = target;
  } else {
    i.c = target;
  }
}

std::int32_t Emitter::constant(std::string_view text) {
  // Equal constants share one entry: a loop's "1" is stored once however often it is named.
  auto it = constIndex_.find(std::string(text));
  if (it != constIndex_.end()) return it->second;
  p_.constants.emplace_back(text);
  auto k = -static_cast<std::int32_t>(p_.constants.size());
  constIndex_.emplace(std::string(text), k);
  return k;
}

std::int32_t Emitter::variable(const std::string& n) {
  auto it = vars_.find(n);
  if (it != vars_.end()) return it->second;
  auto slot = static_cast<std::int32_t>(p_.variables.size());
  p_.variables.push_back(n);
  vars_.emplace(n, slot);
  return slot;
}

std::int32_t Emitter::temp() {
  std::int32_t t = kTempBase + temps_++;
  maxTemps_ = std::max(maxTemps_, temps_);
  return t;
}

std::int32_t Emitter::operandRun(const std::vector<std::int32_t>& ops) {
  auto at = static_cast<std::int32_t>(p_.operands.size());
  p_.operands.insert(p_.operands.end(), ops.begin(), ops.end());
  return at;
}

void Emitter::finish() {
  const auto vars = static_cast<std::int32_t>(p_.variables.size());
  auto fix = [&](std::int32_t& s) {
    // Variables keep their slots; temporaries move to just after them, so the frame has no gap.
    if (s >= kTempBase) s = s - kTempBase + vars;
  };
  for (Instr& i : p_.code) {
    OpShape shape = shapeOf(i.op);
    if (shape.a) fix(i.a);
    if (shape.b) fix(i.b);
    if (shape.c && !shape.run) fix(i.c);
  }
  // Constants are negative and variables below kTempBase: only temporaries change.
  for (std::int32_t& s : p_.operands) fix(s);
  p_.slots = vars + maxTemps_;
}

}  // namespace tarn::server::corvex
