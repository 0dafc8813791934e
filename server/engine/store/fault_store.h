// A store that wraps another and fails a chosen operation with a chosen kind of failure, so that
// what the engine does with each failure (the status, the rollback, nothing half-written) can be
// checked on every store alike. For tests and fuzzing; no data source ever opens one.
#pragma once

#include <memory>
#include <string>

#include "server/engine/store/store.h"

namespace tarn::server::store {

// Which operation fails, and how. Shared by a system and every account it opens, so that a test
// can arm it while ports run.
struct FaultPlan {
  // The name of an Account member ("writeItem", "commit", ...); an empty name matches every
  // member. A name ending in '*' matches every member it begins.
  std::string operation;
  // The nth matching call from now fails (1: the next); 0 disarms the plan.
  long nth = 0;
  StoreFailure kind = StoreFailure::kIo;

  void arm(std::string op, StoreFailure failure, long at = 1) {
    operation = std::move(op);
    kind = failure;
    nth = at;
  }
  // Counts a call of op; throws the planned StoreError when it is the one.
  void count(const char* op);
};

// Wraps system: every account it opens fails as plan says.
[[nodiscard]] std::unique_ptr<System> faultySystem(std::unique_ptr<System> system,
                                                   std::shared_ptr<FaultPlan> plan);

}  // namespace tarn::server::store
