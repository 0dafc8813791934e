// Code emission for the Corvex compiler: instructions, constants, variable and temporary slots.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/engine/corvex/program.h"

namespace tarn::server::corvex {

// Temporaries are numbered from here while the program is compiled, since the count of
// variables is known only at the end; finish() moves them after the last variable.
inline constexpr std::int32_t kTempBase = 1 << 24;

class Emitter {
 protected:
  [[nodiscard]] std::int32_t here() const { return static_cast<std::int32_t>(p_.code.size()); }
  // Appends an instruction on the current line; gives its address.
  std::int32_t emit(Op op, std::int32_t a = 0, std::int32_t b = 0, std::int32_t c = 0,
                    std::uint8_t x = 0);
  // Points the jump at `at` (whichever field holds its target) to target.
  void patch(std::int32_t at, std::int32_t target);
  // Operand of a constant (negative), of a named variable (a new slot on first use), of a fresh
  // temporary (free again after the statement), and the start of an operand run.
  std::int32_t constant(std::string_view text);
  std::int32_t variable(const std::string& n);
  std::int32_t temp();
  std::int32_t operandRun(const std::vector<std::int32_t>& ops);
  // Renumbers the temporaries once every variable is known and sizes the frame.
  void finish();

  int line_ = 1;
  Program p_;
  std::unordered_map<std::string, std::int32_t> vars_;
  std::unordered_map<std::string, std::int32_t> constIndex_;
  // Temporaries in use in this statement, and the most any statement needed: the frame's tail.
  int temps_ = 0;
  int maxTemps_ = 0;
};

}  // namespace tarn::server::corvex
