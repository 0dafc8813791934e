// The Corvex virtual machine: runs a Program's bytecode for one call.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/corvex/program.h"

namespace tarn::server {
class PortState;
}  // namespace tarn::server

namespace tarn::server::corvex {

inline constexpr std::size_t kDefaultCallMemory = std::size_t{256} << 20;

// What a call needs from the port that runs it.
struct Runtime {
  PortState* port = nullptr;  // file statements fail as run-time errors without one
  // The program a CALL names; nullptr when there is none.
  std::function<std::shared_ptr<const Program>(std::string_view name)> resolve;
  const std::atomic<bool>* cancel = nullptr;  // set by another thread to stop the call
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // The most memory the call may hold: its values, its output and its reply. Over it, the call
  // stops (kStopped, the message says why).
  std::size_t memoryLimit = kDefaultCallMemory;
  std::string output;  // printed lines joined by attribute marks
  // Named COMMON blocks, kept by the port so that they last from one call to the next; nullptr
  // keeps them for this call only.
  std::map<std::string, std::vector<Value>>* commons = nullptr;
};

enum class RunStatus { kDone, kError, kStopped };

struct RunResult {
  RunStatus status = RunStatus::kDone;
  std::string message;  // for an error: "NAME line N: what went wrong"
};

// Runs p with args as its parameters (fewer arguments than parameters leave the rest empty;
// more is an error). The arguments hold the parameters' final values afterwards, also after
// an error or a stop. Never throws except std::bad_alloc.
[[nodiscard]] RunResult run(const Program& p, std::vector<Value>& args, Runtime& rt);

}  // namespace tarn::server::corvex
