// The file statements of Corvex (OPEN, READ, WRITE, DELETE, RELEASE), kept apart from the VM
// core so that only this part knows the port and its store.
#pragma once

#include <cstdint>
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

// Flags in the x of a file instruction, above the operand count.
inline constexpr std::uint8_t kLocksItem = 0x10;  // READU, READVU: lock before reading
inline constexpr std::uint8_t kOnError = 0x20;    // an ON ERROR clause takes failures as outcome 3
inline constexpr std::uint8_t kKeepsLock = 0x10;  // WRITEU on a write: the lock stays after it
inline constexpr std::uint8_t kListVariable = 0x10;  // SELECT ... TO a variable, not a number

// The files and select lists one call has opened. A file variable holds its file's number
// from 1; a select-list variable a negative number.
class Files {
 public:
  explicit Files(PortState* port);
  ~Files();
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;

  // Runs file instruction i: a and written as the VM read them from i's operands. Leaves the
  // outcome in r[i.b]: 0 THEN, 1 ELSE, 2 LOCKED. Throws Failure, and the store's errors.
  void run(const Instr& i, Value* r, const Value* const* a, const Value* written);
  // TRANSACTION START (kind 1), COMMIT (2) or ABORT (3) on the port's transaction; false for its
  // ELSE: one already open at a start, none open at a commit or abort, or a refused commit.
  bool transaction(int kind);

  // The port's number format for conversions (the default one without a port).
  [[nodiscard]] const NumberFormat& format() const;
  [[nodiscard]] std::string accountName() const;
  [[nodiscard]] long portNumber() const;

 private:
  struct SelectList {
    std::string ids;  // joined by attribute marks
    std::size_t at = 0;
    bool active = false;
  };
  void perform(const Instr& i, Value* r, const Value* const* a, const Value* written);
  void list(const Instr& i, Value* r, const Value* const* a);
  SelectList& listOf(const Value& v);
  OpenSection& fileOf(const Value& v);
  PortState& port();
  // WRITE, WRITEV and DELETE inside the port's transaction: staged until its commit.
  void stage(const Instr& i, OpenSection& f, const std::string& id, const Value* const* a,
             const Value* written, Value* r);

  PortState* port_;
  std::vector<OpenSection> files_;
  std::vector<SelectList> lists_;  // 0 to 10 by number, then the list variables
  NumberFormat defaultFormat_;
};

// The text of a store failure, or nothing when e is some other exception.
[[nodiscard]] std::optional<std::string> storeFailure(const std::exception_ptr& e);

}  // namespace tarn::server::corvex
