// Library-internal access to a rule module's state, for the harnesses that check the state
// machine and the server-side module by number; not installed.
#pragma once

#include "tarn/lists/rule_module.h"

namespace tarn {

struct RuleModuleInternals {
  [[nodiscard]] static eRuleModuleState state(const clsTarnRuleModule& m) { return m.nState; }
  [[nodiscard]] static std::int32_t number(const clsTarnRuleModule& m) { return m.nModuleNumber; }
  // Marks the module as never loaded, so that its teardown sends nothing.
  static void forget(clsTarnRuleModule& m) { m.nState = ermsClosed; }
};

}  // namespace tarn
