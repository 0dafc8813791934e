// clsTarnTclCommand: one TCL command line run on the server, with its captured output (what the
// command printed) and its returned output (the message numbers it produced).
#pragma once

#include <cstdint>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnConnection;
class clsTarnDynamicArray;
class clsTarnEnvironment;
class clsTarnODBC;

enum eTarnExecuteOptions : std::int32_t {
  TarnExecuteNoResults = 0,
  TarnExecuteCapturing = 1,
  TarnExecuteReturning = 2,
  TarnExecuteWithBoth = 3,
};

class TARN_API clsTarnTclCommand : public Object {
 public:
  ~clsTarnTclCommand() override;

  // The command line that brExecute runs when it is not given one.
  [[nodiscard]] const String& brCommand() const noexcept { return command_; }
  void brCommand(const String& value) { command_ = value; }
  [[nodiscard]] const String& brName() const noexcept { return command_; }
  // The result option brExecute uses when called without arguments (3, both, until set).
  [[nodiscard]] std::int16_t brResults() const noexcept { return results_; }
  void brResults(std::int16_t value);

  // Stacks sData as input for the next brExecute; an empty text leaves pending input in place.
  void brData(const String& sData);
  // Runs the command. A numeric first argument is the result option and the second the command
  // (swapped order); otherwise the first is the command and a numeric second the option. Option 1
  // keeps only the captured output, 2 only the returned one. The command's text up to its first
  // attribute mark is the command line; each further part is a stacked input line, ahead of
  // brData's (so text spliced into a command must hold no marks; see tclQuote). Throws TarnError
  // (source clsTarnTclCommand.brExecute <command>): 1024 + status for a server failure, 5 or 13 for
  // a malformed reply; stacked input then stays pending.
  void brExecute(const Variant& vsCommand = Variant::missing(),
                 const Variant& vnResults = Variant::missing());

  // A new, independent array linked to the environment holding the captured (returned) output
  // of the last brExecute.
  [[nodiscard]] Ref<clsTarnDynamicArray> brCapturing();
  [[nodiscard]] Ref<clsTarnDynamicArray> brReturning();

  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }

 private:
  friend class clsTarnConnection;
  friend class clsTarnSelectList;
  friend class clsTarnDynamicArray;
  clsTarnTclCommand();
  [[nodiscard]] static Ref<clsTarnTclCommand> create();

  // Binds the object to conn and takes conn's last command as its own. The connection's private
  // command object is bound with holdConnection false, so that the two never keep each other.
  void rsInitializeCommand(clsTarnConnection& conn, bool holdConnection = true);
  [[nodiscard]] const Ref<clsTarnEnvironment>& rsEnvironment() const noexcept {
    return oEnvironment;
  }
  [[nodiscard]] const String& rsOutput() const noexcept { return staged_; }

  String sCaptured;
  String sReturned;
  String command_;
  Ref<clsTarnODBC> oODBC;
  Ref<clsTarnEnvironment> oEnvironment;
  Ref<clsTarnConnection> oConnection;
  String staged_;
  bool bResultsSet = false;
  std::int16_t results_ = 0;
  String sData;
  bool bHasData = false;
  String sOperation;
};

// The value as one quoted word of a TCL command line, for splicing user text into a command:
// enclosed in ", or ' when it holds ", or \ when it holds both. Throws TarnError 1058 "Bad
// Parameters" (source clsTarnTclCommand.tclQuote) when it holds a mark 251-255 (which would
// start a stacked input line) or all three quote characters.
[[nodiscard]] TARN_API String tclQuote(StringView value);

}  // namespace tarn
