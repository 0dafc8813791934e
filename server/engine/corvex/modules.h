// Compiled modules in an account: COMPILE and CATALOG, and finding a module by the names a
// client or a CALL uses.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/engine/corvex/program.h"
#include "server/engine/port_state.h"

namespace tarn::server::corvex {

// How a TCL verb reports: plain lines, and numbered messages.
struct Reporter {
  std::function<void(std::string_view line)> print;
  std::function<void(int number, std::string_view text)> message;
};

// COMPILE base,file, name (or file, name): compiles the source item and keeps the object code
// in the file's dictionary. Prints one line per compile error.
void compileCommand(PortState& state, std::string_view arguments, const Reporter& out);
// CATALOG base,file, name (or file, name): names the compiled module in this account's MD.
void catalogCommand(PortState& state, std::string_view arguments, const Reporter& out);

// A module found for "base,file, name", "file, name", "account,name" or a cataloged "name". A
// module in an account that does not grant the current one is not found.
struct Found {
  int status = 0;  // 0, 2 no such module, 46 source without object code
  std::shared_ptr<const Program> program;
  std::shared_ptr<store::Account> account;  // where the object code came from
};
[[nodiscard]] Found findModule(PortState& state, std::string_view reference);

}  // namespace tarn::server::corvex
