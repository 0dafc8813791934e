// clsTarnRuleModule: a compiled subroutine loaded on the server, called with an array of
// arguments that come back, changed or not, into the same array.
#pragma once

#include <cstdint>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnConnection;
class clsTarnODBC;

// Where a module stands: not loaded, loaded, or called with arguments at least once.
enum eRuleModuleState : std::int32_t {
  ermsClosed = 0,
  ermsOpened = 1,
  ermsCalled = 2,
};

// Declared for clients; no member takes or returns it.
enum eTarnRuleModuleStatus : std::int32_t {
  brDeadRule = 0,
  brLocalRule = 1,
  brRemoteRule = -1,
};

class TARN_API clsTarnRuleModule : public Object {
 public:
  // Closes the module on the server when it was loaded; a failed close is ignored.
  ~clsTarnRuleModule() override;

  // The reference it was loaded by: [base,][file, ]name.
  [[nodiscard]] const String& brName() const noexcept { return sName; }

  // Runs the subroutine with the elements of vArgs in storage order, up to the first omitted
  // argument (the missing marker), each sent as its text. Results come back as strings into
  // positions 0..count-1, so vArgs must be one-dimensional with lower bound 0: otherwise 9
  // (subscript out of range) after the subroutine ran. Loads the module first when it is not
  // loaded. Returns true; throws TarnError under clsTarnRuleModule.brRun <name> keeping the
  // number (status 17, a main program called as a subroutine, arrives as 1041).
  bool brCall(VariantArray& vArgs);
  // The same for a variant holding the array; 13 (type mismatch) when it holds none.
  bool brCall(Variant& vArgs);

  // The handle string (class code 274), as a variant.
  [[nodiscard]] Variant brHandle() const;
  // Always True: the library speaks ODBC only.
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }
  // Accepted and ignored: a module on an ODBC connection needs neither.
  void brTelnet(const Ref<Object>&) noexcept {}
  void brVirtualMachine(const Ref<Object>&) noexcept {}

 private:
  friend class clsTarnConnection;
  friend struct RuleModuleInternals;
  clsTarnRuleModule() = default;
  [[nodiscard]] static Ref<clsTarnRuleModule> create();

  // Takes the session and the composed name from conn and loads the module. Throws under
  // clsTarnRuleModule.rsLoad <name>.
  void rsLoad(clsTarnConnection& conn);
  // Sends the load request and keeps the module number.
  void load();

  std::int32_t nModuleNumber = -1;
  String sName;
  Ref<clsTarnODBC> oODBC;
  Ref<clsTarnConnection> oConnection;
  eRuleModuleState nState = ermsClosed;
  String sOperation;
  // Request and reply text of calls, kept so that its storage is reused from call to call.
  String exchange_;
};

}  // namespace tarn
