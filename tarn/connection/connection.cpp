// Connection lifecycle, locale settings and the object factories.
#include "tarn/connection/connection.h"

#include "common/secret_text.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/files/file.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"
#include "tarn/lists/rule_module.h"
#include "tarn/lists/select_list.h"
#include "tarn/lists/tcl_command.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnConnection";
}

clsTarnConnection::clsTarnConnection()
    : oODBC(clsTarnODBC::create()), command_(clsTarnTclCommand::create()) {}

// Session first, then the environment, then the command object; none of these releases fails.
clsTarnConnection::~clsTarnConnection() {
  oODBC.reset();
  environment_.reset();
  command_.reset();
}

void clsTarnConnection::rsInitialize(const Ref<clsTarnEnvironment>& environment) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsInitialize " + domain_ + u" " + database_; },
      [&] {
        environment_ = environment;
        domain_ = environment->brDomain();
        database_ = environment->rsDatabaseText();
        oODBC->rsInitialize(*this);
        command_->rsInitializeCommand(*this, /*holdConnection=*/false);
        brCasing(environment->brCasing());
        brDecimal(environment->brDecimal());
        brGrouping(environment->brGrouping());
        brCurrency(environment->brCurrency());
      });
}

String clsTarnConnection::brDatabase() const {
  return secrets::masked(StringView(database_));
}

void clsTarnConnection::rsCloseTclObj() noexcept { command_.reset(); }

clsTarnTclCommand& clsTarnConnection::command() {
  if (!command_) throw TarnError::platform(err::kObjectNotSet);
  return *command_;
}

void clsTarnConnection::rsCancel() noexcept {
  if (oODBC) oODBC->rsCancel();
}

String clsTarnConnection::brHandle() const {
  return rsFormatHandle(TarnClassConn, static_cast<std::int32_t>(identity()));
}

String clsTarnConnection::brUniqueId() const {
  if (!environment_) throw TarnError::platform(err::kObjectNotSet);
  return environment_->brUniqueId();
}

void clsTarnConnection::brCurrency(const String& value) {
  command().brExecute(u"SET-NUM-FORMAT " + value + u"//");
  currency_ = value;
}

void clsTarnConnection::brGrouping(const String& value) {
  command().brExecute(u"SET-NUM-FORMAT /" + value + u"/");
  grouping_ = value;
}

void clsTarnConnection::brDecimal(const String& value) {
  command().brExecute(u"SET-NUM-FORMAT //" + value);
  decimal_ = value;
}

void clsTarnConnection::brCasing(bool value) {
  command().brExecute(value ? u"CASE (n" : u"CASE (f");
  casing_ = value;
}

Ref<clsTarnFile> clsTarnConnection::brOpenFile(const String& sDictFlag,
                                               const Variant& sFileName) {
  String name;
  return withHandler(
      sOperation, kClassName, [&] { return u"brOpenFile " + database_ + u" " + name; },
      [&] {
        if (!sFileName.isMissing()) name = sFileName.toString();
        lastFile_ = name.empty() ? sDictFlag : sDictFlag + u" " + name;
        auto file = clsTarnFile::create();
        file->rsInitialize(*this);
        return file;
      });
}

void clsTarnConnection::brCloseFile(Ref<clsTarnFile>& aFile) {
  withHandler(
      sOperation, kClassName,
      [&] { return u"brCloseFile" + (aFile ? aFile->brName() : String()); },
      [&] { aFile.reset(); });
}

Ref<clsTarnTclCommand> clsTarnConnection::brOpenTclCommand(const String& sCmd) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brOpenTclCommand " + sCmd; },
      [&] {
        lastCommand_ = sCmd;
        auto command = clsTarnTclCommand::create();
        command->rsInitializeCommand(*this);
        return command;
      });
}

void clsTarnConnection::brCloseTclCommand(Ref<clsTarnTclCommand>& aTCLCommand) {
  aTCLCommand.reset();
}

Ref<clsTarnRuleModule> clsTarnConnection::brOpenRuleModule(const String& sName,
                                                           const Variant& vsRuleFile,
                                                           const Variant& vsRuleBase) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brOpenRuleModule " + sName; },
      [&]() -> Ref<clsTarnRuleModule> {
        String reference;
        if (!vsRuleBase.isMissing()) reference += vsRuleBase.toString() + u",";
        if (!vsRuleFile.isMissing()) reference += vsRuleFile.toString() + u", ";
        reference += sName;
        lastRule_ = reference;
        auto module = clsTarnRuleModule::create();
        module->rsLoad(*this);
        return module;
      });
}

void clsTarnConnection::brCloseRuleModule(Ref<clsTarnRuleModule>& aModule) {
  withHandler(
      sOperation, kClassName, [&] { return u"brCloseRuleModule " + (aModule ? aModule->brName() : String()); },
      [&] { aModule.reset(); });
}

Ref<clsTarnSelectList> clsTarnConnection::brOpenSelectList(const String& sCmd) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brOpenSelectList " + sCmd; },
      [&] {
        lastCommand_ = sCmd;
        clsTarnTclCommand& cmd = command();
        cmd.brExecute(sCmd);
        auto captured = cmd.brCapturing();
        captured->brConvert(u" ", String(1, kAM));
        const String count = captured->brExtractStr(3);
        auto list = clsTarnSelectList::create();
        list->rsInitializeConn(*this, count);
        return list;
      });
}

void clsTarnConnection::brCloseSelectList(Ref<clsTarnSelectList>& aList) {
  withHandler(
      sOperation, kClassName,
      [&] { return u"brCloseSelectList " + (aList ? aList->brName() : String()); },
      [&] { aList.reset(); });
}

}  // namespace tarn
