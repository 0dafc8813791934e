// Who owns a port: a process, told apart from a later process that reuses its id.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string>

namespace tarn::server::store {

struct ProcessIdentity {
  std::int64_t pid = 0;
  std::int64_t start = 0;  // start time in clock ticks since boot, as the kernel reports it
  friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

// The calling process. Read afresh at each call so that a forked child is itself.
[[nodiscard]] ProcessIdentity currentProcess() noexcept;
// True while the process that identity names is running (a zombie counts as gone).
[[nodiscard]] bool isAlive(const ProcessIdentity& identity) noexcept;
// This machine's name, or "?" when the kernel does not say.
[[nodiscard]] std::string hostName();

}  // namespace tarn::server::store
