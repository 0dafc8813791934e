#include "tarn/lists/select_list.h"

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/files/file.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"
#include "tarn/frame/numeric.h"
#include "tarn/lists/tcl_command.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnSelectList";

// Moves the next field of buffer (from pos on, up to delimiter or the end) into field, whose
// storage is reused: walking a long list then costs no allocation per id.
void takeField(String& buffer, std::size_t& pos, char16_t delimiter, String& field) {
  const StringView rest = StringView(buffer).substr(pos);
  const auto p = rest.find(delimiter);
  field.assign(rest.substr(0, p));
  if (p == StringView::npos) {
    buffer.clear();
    pos = 0;
  } else {
    pos += p + 1;
  }
}
}  // namespace

Ref<clsTarnSelectList> clsTarnSelectList::create() {
  return Ref<clsTarnSelectList>(new clsTarnSelectList());
}

clsTarnSelectList::~clsTarnSelectList() {
  if (nListHandle >= 0) {
    const String name = name_;
    name_.clear();
    itemId_.clear();
    if (const std::int32_t number = closeServerList()) {
      (void)rsRaiseError(number, kClassName, u"Class_Terminate " + name);
    }
  }
  oParent.reset();
  oODBC.reset();
}

std::int32_t clsTarnSelectList::closeServerList() noexcept {
  const std::int32_t handle = nListHandle;
  nListHandle = -1;
  if (handle < 0 || !oODBC) return 0;
  try {
    String request = envelope::buildRequest(u'c', {handle});
    oODBC->rsCmd(request);
  } catch (...) {
    return caughtErrorNumber();
  }
  return 0;
}

void clsTarnSelectList::resetToCreationState() {
  name_.clear();
  itemId_.clear();
  eol_ = bol_ = false;
  listType_ = tarnList_TypeNone;
  itemIndex_ = 0;
  nListHandle = -1;
  nSource = -1;
  sBuffer.clear();
  bufferPos_ = 0;
  bLastBatch = false;
  bBatchMode = true;
}

void clsTarnSelectList::rsOpen() {
  withHandler(
      sOperation, kClassName, [&] { return u"rsOpen" + name_; },
      [&] {
        nListHandle = -1;
        eol_ = bol_ = false;
        listType_ = tarnList_TypeNone;
        itemIndex_ = 0;
        String request = envelope::buildRequest(u'S', {nSource});
        oODBC->rsCmd(request);
        nListHandle = Variant(std::move(request)).toInt32();
      });
}

void clsTarnSelectList::rsInitializeConn(clsTarnConnection& connection, const String& countText) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsInitializeConn " + name_; },
      [&] {
        count_ = isNumericText(countText) ? Variant(countText).toInt32() : 0;
        oParent = Ref<Object>(&connection);
        oODBC = connection.rsODBC();
        name_ = connection.rsCommand();
        nSource = -1;
        rsOpen();
        listType_ = tarnList_TypeTCL;
      });
}

void clsTarnSelectList::rsInitializeFile(clsTarnFile& file) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsInitializeFile " + name_; },
      [&] {
        oParent = Ref<Object>(&file);
        oODBC = file.rsODBC();
        name_ = file.brName();
        nSource = file.rsFileNumber();
        count_ = file.rsItemCount();
        rsOpen();
        listType_ = tarnList_TypeFile;
      });
}

void clsTarnSelectList::rsInitializeDynamicArray(clsTarnDynamicArray& array) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsInitializeDynamicArray " + name_; },
      [&] {
        oODBC.reset();
        oParent = Ref<Object>(&array);
        name_ = array.brName();
        sBuffer = array.brCString();
        bufferPos_ = 0;
        count_ = array.brDCount(String(1, kAM)).toInt32();
        eol_ = false;
        bol_ = true;
        itemIndex_ = 1;
        nListHandle = -1;
        listType_ = tarnList_TypeItem;
        itemId_ = rsTakeField(kAM);
        bLastBatch = true;
      });
}

String clsTarnSelectList::rsTakeField(char16_t delimiter) {
  String field;
  takeField(sBuffer, bufferPos_, delimiter, field);
  return field;
}

bool clsTarnSelectList::brReadnext() {
  itemId_.clear();
  if (eol_) return false;
  bool counted = true;
  String reply;
  for (;;) {
    try {
      if (!bufferEmpty()) {
        takeField(sBuffer, bufferPos_, kAM, itemId_);
      } else if (!bBatchMode) {
        reply = envelope::buildRequest(u'N', {nListHandle});
        oODBC->rsCmd(reply);
        itemId_ = std::move(reply);
      } else if (bLastBatch) {
        bLastBatch = false;
        eol_ = true;
      } else {
        reply = envelope::buildRequest(u'n', {nListHandle});
        oODBC->rsCmd(reply);
        sBuffer = std::move(reply);
        bufferPos_ = 0;
        takeField(sBuffer, bufferPos_, kAM, itemId_);
      }
      break;
    } catch (...) {
      const std::int32_t number = caughtErrorNumber();
      if (number == err::kEndOfList && bBatchMode) {
        // The last ids arrive with the status that says they are the last.
        sBuffer = std::move(reply);
        bufferPos_ = 0;
        bLastBatch = true;
      } else if (number == err::kEndOfList) {
        eol_ = true;
        counted = false;
        break;
      } else if (bBatchMode) {
        bBatchMode = false;
      } else {
        OdbcDiagnostic diagnostic = caughtDiagnostic();
        gLastError = 0;
        sOperation = u"brReadnext" + name_;
        throw rsRaiseError(number, kClassName, sOperation, std::move(diagnostic));
      }
      reply.clear();
    }
  }
  if (counted) {
    ++itemIndex_;
    bol_ = itemIndex_ == 1;
  }
  return !eol_;
}

bool clsTarnSelectList::brReadnext(Variant& sItemId) {
  if (eol_) {
    itemId_.clear();
    return false;
  }
  const bool found = brReadnext();
  sItemId = Variant(itemId_);
  return found;
}

bool clsTarnSelectList::brReselect() {
  try {
    const std::int32_t type = listType_;
    const String command = name_;
    // A server list left open would live until the port ends; close it before the new one.
    (void)closeServerList();
    resetToCreationState();
    switch (type) {
      case tarnList_TypeFile:
        rsInitializeFile(*refCast<clsTarnFile>(oParent));
        break;
      case tarnList_TypeItem:
        rsInitializeDynamicArray(*refCast<clsTarnDynamicArray>(oParent));
        break;
      case tarnList_TypeTCL: {
        // Re-run this list's own command, not whatever the connection ran last.
        auto connection = refCast<clsTarnConnection>(oParent);
        connection->lastCommand_ = command;
        auto tcl = clsTarnTclCommand::create();
        tcl->rsInitializeCommand(*connection);
        tcl->brExecute();
        auto captured = tcl->brCapturing();
        captured->brConvert(u" ", String(1, kAM));
        rsInitializeConn(*connection, captured->brExtractStr(3));
        break;
      }
      default:
        break;
    }
    return true;
  } catch (...) {
    return false;
  }
}

String clsTarnSelectList::brHandle() const {
  return rsFormatHandle(TarnClassSL, static_cast<std::int32_t>(identity()));
}

Ref<clsTarnSelectList> clsTarnDynamicArray::brSelect() {
  auto list = clsTarnSelectList::create();
  list->rsInitializeDynamicArray(*this);
  return list;
}

}  // namespace tarn
