// The file statements of Corvex (OPEN, READ, WRITE, DELETE, RELEASE), kept apart from the VM
// core so that only this part knows the port and its store.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "server/engine/conv/conversion.h"
#include "server/engine/corvex/program.h"
#include "server/engine/corvex/value.h"

namespace tarn::server {
class PortState;
struct OpenSection;
}  // namespace tarn::server

namespace tarn::server::corvex {

// The files one call has opened, by the number a file variable holds.
class Files {
 public:
  explicit Files(PortState* port);
  ~Files();
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;

  // Runs file instruction i: a and written as the VM read them from i's operands. Leaves the
  // outcome in r[i.b]: 0 THEN, 1 ELSE, 2 LOCKED. Throws Failure, and the store's errors.
  void run(const Instr& i, Value* r, const Value* const* a, const Value* written);

  // The port's number format for conversions (the default one without a port).
  [[nodiscard]] const NumberFormat& format() const;

 private:
  OpenSection& fileOf(const Value& v);
  PortState& port();

  PortState* port_;
  std::vector<OpenSection> files_;
  NumberFormat defaultFormat_;
};

// The text of a store failure, or nothing when e is some other exception.
[[nodiscard]] std::optional<std::string> storeFailure(const std::exception_ptr& e);

}  // namespace tarn::server::corvex
