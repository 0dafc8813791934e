#include "tarn/files/index.h"

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/dynarray/text_compare_internal.h"
#include "tarn/files/file.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnIndex";
constexpr std::int32_t kNoIndexEntry = 22;
}  // namespace

Ref<clsTarnIndex> clsTarnIndex::create() {
  return Ref<clsTarnIndex>(new clsTarnIndex());
}

clsTarnIndex::~clsTarnIndex() {
  oFile.reset();
  oODBC.reset();
}

void clsTarnIndex::rsOpen(clsTarnFile& file) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsOpen " + sFileName + u" " + sName; },
      [&] {
        oFile = Ref<clsTarnFile>(&file);
        oODBC = file.rsODBC();
        sFileName = file.brName();
        sName = file.rsRootCorrelative();
        if (!oODBC) throw TarnError::platform(err::kObjectNotSet);
        String request = envelope::buildRequest(u'I', {StringView(sFileName), StringView(sName)});
        oODBC->rsCmd(request);
        nIndexNumber = Variant(std::move(request)).toInt32();
      });
}

bool clsTarnIndex::brKey(const String& cChar, String& sKey, String& sIId) {
  std::int32_t omitted = 0;
  return brKey(cChar, sKey, sIId, omitted);
}

bool clsTarnIndex::brKey(const String& cChar, String& sKey, String& sIId, std::int32_t& nVMC) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brKey " + sName + u" " + sKey + u" " + sIId; },
      [&] {
        if (!oODBC) throw TarnError::platform(err::kObjectNotSet);
        String reply = envelope::buildRequest(
            u'K', {StringView(cChar), nIndexNumber, StringView(sKey), StringView(sIId), nVMC});
        Variant status = String();
        oODBC->rsCmd(reply, status);
        const std::int32_t s = envelope::statusValue(status.toString());
        if (s == kNoIndexEntry) {
          gLastError = 0;
          return false;
        }
        if (s != 0) throw TarnError(serverStatusError(s), String(), String());
        const std::size_t first = reply.find(kAM);
        const std::size_t second = first == String::npos ? first : reply.find(kAM, first + 1);
        if (second == String::npos) throw TarnError::platform(err::kSubscript);
        const std::int32_t vc = Variant(reply.substr(first + 1, second - first - 1)).toInt32();
        // The item-id is everything after the second mark: "X" lists several there.
        sIndexId.assign(reply, second + 1);
        reply.resize(first);
        sIndexKey = std::move(reply);
        nIndexVC = vc;
        sKey = sIndexKey;
        sIId = sIndexId;
        nVMC = nIndexVC;
        return true;
      });
}

Ref<clsTarnDynamicArray> clsTarnIndex::brKeyX(String& sKey, const String& sIId) {
  std::int32_t omitted = 0;
  return brKeyX(sKey, sIId, omitted);
}

Ref<clsTarnDynamicArray> clsTarnIndex::brKeyX(String& sKey, const String& sIId,
                                              std::int32_t& nVMC) {
  String key = sKey;
  String ids = sIId;
  std::int32_t vc = nVMC;
  (void)brKey(u"X", key, ids, vc);
  nVMC = vc;
  auto result = clsTarnDynamicArray::create();
  result->brCString(std::move(ids));
  return result;
}

void clsTarnIndex::clearPosition() {
  sIndexKey.clear();
  sIndexId.clear();
  nIndexVC = 0;
}

bool clsTarnIndex::step(char16_t code) {
  // brKey writes the entry found back into its arguments; copies keep the position intact
  // until the reply has been taken apart.
  String key = sIndexKey;
  String id = sIndexId;
  std::int32_t vc = nIndexVC;
  return brKey(String(1, code), key, id, vc);
}

bool clsTarnIndex::giveId(bool found, Variant& vsIId) const {
  vsIId = Variant(sIndexId);
  return found;
}

bool clsTarnIndex::brMoveNext() {
  return step(u'N');
}
bool clsTarnIndex::brMoveNext(Variant& vsIId) {
  return giveId(brMoveNext(), vsIId);
}
bool clsTarnIndex::brMovePrevious() {
  return step(u'P');
}
bool clsTarnIndex::brMovePrevious(Variant& vsIId) {
  return giveId(brMovePrevious(), vsIId);
}

bool clsTarnIndex::brMoveFirst() {
  clearPosition();
  return step(u'N');
}
bool clsTarnIndex::brMoveFirst(Variant& vsIId) {
  return giveId(brMoveFirst(), vsIId);
}

bool clsTarnIndex::brMoveLast() {
  String key;
  String id;
  std::int32_t vc = 0;
  return brKey(u"L", key, id, vc);
}
bool clsTarnIndex::brMoveLast(Variant& vsIId) {
  return giveId(brMoveLast(), vsIId);
}

bool clsTarnIndex::matches(const String& sKey) const {
  if (sKey.empty()) return true;
  return text::CaselessCollation::process().find(sIndexKey, sKey, 0) != sIndexKey.size();
}

bool clsTarnIndex::find(char16_t code, const String& sKey) {
  sFindKey = sKey;
  String key = sKey;
  String id;
  std::int32_t vc = 0;
  if (brKey(String(1, code), key, id, vc)) return matches(sKey);
  clearPosition();
  return false;
}

bool clsTarnIndex::findAgain(bool forward, const String& sKey) {
  if (sKey != sFindKey) {
    if (find(forward ? u'C' : u'L', sKey)) return true;
    clearPosition();
    return false;
  }
  if (step(forward ? u'N' : u'P')) return matches(sKey);
  clearPosition();
  return false;
}

bool clsTarnIndex::brFindFirst(const String& sKey) {
  return find(u'C', sKey);
}
bool clsTarnIndex::brFindFirst(const String& sKey, Variant& vsIId) {
  return giveId(brFindFirst(sKey), vsIId);
}
bool clsTarnIndex::brFindLast(const String& sKey) {
  return find(u'L', sKey);
}
bool clsTarnIndex::brFindLast(const String& sKey, Variant& vsIId) {
  return giveId(brFindLast(sKey), vsIId);
}
bool clsTarnIndex::brFindNext(const String& sKey) {
  return findAgain(true, sKey);
}
bool clsTarnIndex::brFindNext(const String& sKey, Variant& vsIId) {
  return giveId(brFindNext(sKey), vsIId);
}
bool clsTarnIndex::brFindPrevious(const String& sKey) {
  return findAgain(false, sKey);
}
bool clsTarnIndex::brFindPrevious(const String& sKey, Variant& vsIId) {
  return giveId(brFindPrevious(sKey), vsIId);
}

String clsTarnIndex::brHandle() const {
  return rsFormatHandle(TarnClassBT, static_cast<std::int32_t>(identity()));
}

// --- the index members of clsTarnFile

Ref<clsTarnIndex> clsTarnFile::brRoot(const String& sCorrelative) {
  return withHandler(
      sOperation, u"clsTarnFile", [&] { return u"brRoot " + sName + u" " + sCorrelative; },
      [&] {
        sRootCorrelative = sCorrelative;
        auto index = clsTarnIndex::create();
        index->rsOpen(*this);
        return index;
      });
}

bool clsTarnFile::brCreateIndex(const String& sCorrelative, bool bOverwrite, const Variant&,
                                Variant*) {
  try {
    if (!oConnection) return false;
    oConnection->brExecute(u"CREATE-INDEX " + sName + u" " + sCorrelative +
                           (bOverwrite ? u" (so" : u" (s"));
    return oConnection->brCapturing()->brCString() != u"171";
  } catch (...) {
    gLastError = 0;  // the caller learns of the failure from the result alone
    return false;
  }
}

void clsTarnFile::brDeleteIndex(const String& sCorrelative) {
  try {
    if (oConnection) oConnection->brExecute(u"DELETE-INDEX " + sName + u" " + sCorrelative);
  } catch (...) {
    gLastError = 0;
  }
}

}  // namespace tarn
