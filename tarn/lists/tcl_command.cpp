#include "tarn/lists/tcl_command.h"

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnTclCommand";
}

clsTarnTclCommand::clsTarnTclCommand() = default;

clsTarnTclCommand::~clsTarnTclCommand() = default;

Ref<clsTarnTclCommand> clsTarnTclCommand::create() {
  return Ref<clsTarnTclCommand>(new clsTarnTclCommand());
}

void clsTarnTclCommand::rsInitializeCommand(clsTarnConnection& conn, bool holdConnection) {
  if (holdConnection) oConnection = Ref<clsTarnConnection>(&conn);
  command_ = conn.rsCommand();
  oODBC = conn.rsODBC();
  oEnvironment = conn.rsEnvironment();
}

void clsTarnTclCommand::brResults(std::int16_t value) {
  bResultsSet = true;
  results_ = value;
}

void clsTarnTclCommand::brData(const String& text) {
  if (text.empty()) return;
  sData = text;
  bHasData = true;
}

void clsTarnTclCommand::brExecute(const Variant& vsCommand, const Variant& vnResults) {
  withHandler(
      sOperation, kClassName, [&] { return u"brExecute " + command_; },
      [&] {
        sCaptured.clear();
        sReturned.clear();
        std::int16_t option = 0;
        if (vsCommand.isNumeric()) {
          option = vsCommand.toInt16();
          if (!vnResults.isMissing()) command_ = vnResults.toString();
        } else if (vnResults.isNumeric()) {
          option = vnResults.toInt16();
          if (!vsCommand.isMissing()) command_ = vsCommand.toString();
        } else if (vsCommand.isMissing() && vnResults.isMissing()) {
          option = bResultsSet ? results_ : std::int16_t{TarnExecuteWithBoth};
        } else if (vsCommand.isMissing()) {
          command_ = vnResults.toString();
        } else if (vnResults.isMissing()) {
          command_ = vsCommand.toString();
        }
        if (!oODBC) throw TarnError::platform(err::kObjectNotSet);

        envelope::RequestBuilder request(u'E');
        request.add(command_);
        if (bHasData) request.add(sData);
        String reply = request.take();
        oODBC->rsCmd(reply);
        sCaptured = envelope::rsTakeCountedField(reply);
        sReturned = envelope::rsTakeCountedField(reply);
        if (option == TarnExecuteCapturing) sReturned.clear();
        if (option == TarnExecuteReturning) sCaptured.clear();
        bHasData = false;
        sData.clear();
      });
}

Ref<clsTarnDynamicArray> clsTarnTclCommand::brCapturing() {
  staged_ = sCaptured;
  auto array = clsTarnDynamicArray::create();
  array->rsInitFromTclCommand(*this);
  return array;
}

Ref<clsTarnDynamicArray> clsTarnTclCommand::brReturning() {
  staged_ = sReturned;
  auto array = clsTarnDynamicArray::create();
  array->rsInitFromTclCommand(*this);
  return array;
}

String tclQuote(StringView value) {
  // A quoted word runs to the next occurrence of its own quote character; there is no escape.
  for (const char16_t quote : {u'"', u'\'', u'\\'}) {
    if (value.find(quote) != StringView::npos) continue;
    if (envelope::holdsMark(value)) break;
    String word;
    word.reserve(value.size() + 2);
    word += quote;
    word += value;
    word += quote;
    return word;
  }
  throw rsRaiseError(err::kBadParameters, kClassName, u"tclQuote");
}

String clsTarnTclCommand::brHandle() const {
  return rsFormatHandle(TarnClassTCL, static_cast<std::int32_t>(identity()));
}

void clsTarnDynamicArray::rsInitFromTclCommand(clsTarnTclCommand& command) {
  environment_ = command.rsEnvironment();
  name_ = command.brName();
  brCString(command.rsOutput());
  linked_ = true;
}

}  // namespace tarn
