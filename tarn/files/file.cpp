#include "tarn/files/file.h"

#include <unicode/uchar.h>

#include <cstdio>

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"
#include "tarn/frame/numeric.h"
#include "tarn/lists/select_list.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnFile";
// Cache entries are \1 name \2 seven digits \1.
constexpr char16_t kEntryMark = 1;
constexpr char16_t kNumberMark = 2;
// The largest exchange buffer a file object keeps between reads and writes, in characters.
constexpr std::size_t kKeptExchangeChars = 64 * 1024;

char16_t upperAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? c - 32 : c;
}

bool startsWithIgnoringCase(StringView s, StringView prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (upperAscii(s[i]) != prefix[i]) return false;
  }
  return true;
}

bool sameIgnoringCase(char16_t a, char16_t b) {
  return a == b || u_foldCase(a, U_FOLD_CASE_DEFAULT) == u_foldCase(b, U_FOLD_CASE_DEFAULT);
}

String columnText(const Variant& column) {
  try {
    return column.isMissing() ? String() : column.toString();
  } catch (...) {
    return String();
  }
}
}  // namespace

Ref<clsTarnFile> clsTarnFile::create() {
  return Ref<clsTarnFile>(new clsTarnFile());
}

clsTarnFile::~clsTarnFile() {
  const std::int32_t file = nFileNumber;
  const std::int32_t dictionary = nDictNumber;
  nFileNumber = nDictNumber = -1;
  const String name = sName;
  sName.clear();
  sItemId.clear();
  try {
    if (file >= 0) (void)send(envelope::buildRequest(u'C', {file}));
    if (dictionary >= 0) (void)send(envelope::buildRequest(u'C', {dictionary}));
  } catch (...) {
    (void)rsRaiseError(caughtErrorNumber(), kClassName, u"Class_Terminate " + name);
  }
  oConnection.reset();
  oODBC.reset();
  oEnvironment.reset();
}

String clsTarnFile::send(String request) {
  session().rsCmd(request);
  return request;
}

clsTarnODBC& clsTarnFile::session() const {
  if (!oODBC) throw TarnError::platform(err::kObjectNotSet);
  return *oODBC;
}

void clsTarnFile::rsInitialize(clsTarnConnection& connection) {
  withHandler(
      sOperation, kClassName, [&] { return u"rsInitialize " + connection.brName() + u" " + sName; },
      [&] {
        oConnection = Ref<clsTarnConnection>(&connection);
        oODBC = connection.rsODBC();
        oEnvironment = connection.rsEnvironment();
        sName = connection.rsFileName();
        envelope::refuseMarks(sName);
        nFileNumber = Variant(send(envelope::buildRequest(u'O', {StringView(sName)}))).toInt32();
        sType = (startsWithIgnoringCase(sName, u"D ") || startsWithIgnoringCase(sName, u"DICT "))
                    ? u"Dict"
                    : u"Data";
      });
}

std::int32_t clsTarnFile::columnNumber(const Variant& sColumn) {
  if (!sColumn.isNumeric()) return brAttribute(sColumn.toString());
  return sColumn.toInt32();
}

Ref<clsTarnDynamicArray> clsTarnFile::readItem(const String& sItemName, const Variant& sColumn,
                                               const Variant& bLocking) {
  if (envelope::holdsMark(sItemName)) {
    sItemId = sItemName;  // the error's source names the id that was refused
    envelope::refuseMarks(sItemName);
  }
  const bool locking = !bLocking.isMissing() && bLocking.toInt32() != 0;
  // Before the attribute lookup, so that its failure's source names this call's item.
  sItemId = sItemName;
  std::int32_t column = sColumn.isMissing() ? -1 : columnNumber(sColumn);
  auto result = clsTarnDynamicArray::create();
  if (column == 0) {
    sContents = sItemName;  // attribute 0 is the item-id: no need to ask
  } else {
    if (column < 0) column = 0;
    envelope::buildRequestInto(exchange_, locking ? u'r' : u'R',
                               {nFileNumber, StringView(sItemName), column});
    session().rsCmd(exchange_);
    // The reply becomes the contents; the old contents' storage carries the next exchange.
    sContents.swap(exchange_);
    if (exchange_.capacity() > kKeptExchangeChars) String().swap(exchange_);
  }
  result->rsInitFromFile(*this);
  return result;
}

Ref<clsTarnDynamicArray> clsTarnFile::brRead(const String& sItemName, const Variant& sColumn,
                                             const Variant& bLocking) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brRead " + sName + u" " + sItemId; },
      [&] { return readItem(sItemName, sColumn, bLocking); });
}

Ref<clsTarnDynamicArray> clsTarnFile::brReadU(const String& sItemName) {
  return withHandler(
      sOperation, kClassName, [&] { return u"brReadu " + sName + u" " + sItemId; },
      [&] { return brRead(sItemName, -1, -1); });
}

Ref<clsTarnDynamicArray> clsTarnFile::brReadVU(const String& sItemName, const Variant& sColumn) {
  return withHandler(
      sOperation, kClassName,
      [&] { return u"brReadUV " + sName + u" " + sItemId + u" " + columnText(sColumn); },
      [&] { return brRead(sItemName, sColumn, -1); });
}

Ref<clsTarnDynamicArray> clsTarnFile::brReadV(const String& sItemName, const Variant& sColumn) {
  return withHandler(
      sOperation, kClassName,
      [&] { return u"brReadV " + sName + u" " + sItemId + u" " + columnText(sColumn); },
      [&] { return brRead(sItemName, sColumn); });
}

void clsTarnFile::writeItem(const String& sItemName, StringView contents, const Variant& sColumn,
                            const Variant& bLocking) {
  envelope::refuseMarks(sItemName);
  const std::int32_t column = sColumn.isMissing() ? -1 : columnNumber(sColumn);
  const bool release = bLocking.isMissing() || bLocking.toInt32() == -1;
  if (column == 0) throw TarnError(err::kBadColumn, String(), String());
  if (column > 0) {
    envelope::buildRequestInto(exchange_, release ? u'V' : u'v',
                               {nFileNumber, StringView(sItemName), column, contents});
  } else {
    envelope::buildRequestInto(exchange_, release ? u'W' : u'w',
                               {nFileNumber, StringView(sItemName), contents});
  }
  session().rsCmd(exchange_);
  if (exchange_.capacity() > kKeptExchangeChars) String().swap(exchange_);
}

void clsTarnFile::brWrite(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName,
                          const Variant& sColumn, const Variant& bLocking) {
  sItemId = sItemName;
  gLastError = 0;
  sOperation = u"brWrite{u} " + sName + u" " + sItemId;
  const String operation = sOperation;
  withHandler(
      sOperation, kClassName, [&] { return operation; },
      [&] {
        if (!aItem) throw TarnError::platform(err::kObjectNotSet);
        // Straight from the array's text: a large item is not copied again on its way out.
        writeItem(sItemName, aItem->brCString(), sColumn, bLocking);
      });
}

void clsTarnFile::brWriteU(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName) {
  withHandler(
      sOperation, kClassName, [&] { return u"brWriteU " + sName + u" " + sItemId; },
      [&] { brWrite(aItem, sItemName, -1, 0); });
}

void clsTarnFile::brWriteVU(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName,
                            const Variant& sColumn) {
  withHandler(
      sOperation, kClassName,
      [&] { return u"brWriteVU " + sName + u" " + sItemId + u" " + columnText(sColumn); },
      [&] { brWrite(aItem, sItemName, sColumn, 0); });
}

void clsTarnFile::brWriteV(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName,
                           const Variant& sColumn) {
  withHandler(
      sOperation, kClassName,
      [&] { return u"brWriteV " + sName + u" " + sItemId + u" " + columnText(sColumn); },
      [&] { brWrite(aItem, sItemName, sColumn); });
}

std::int32_t clsTarnFile::cachedAttribute(StringView name) const {
  const StringView cache = sAttrCache;
  const std::size_t keyLength = name.size() + 2;
  for (std::size_t at = cache.find(kEntryMark); at != StringView::npos;
       at = cache.find(kEntryMark, at + 1)) {
    if (cache.size() - at < keyLength + 7 || cache[at + keyLength - 1] != kNumberMark) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = sameIgnoringCase(cache[at + 1 + i], name[i]);
    }
    if (!same) continue;
    std::int32_t number = 0;
    for (std::size_t i = 0; i < 7; ++i) number = number * 10 + (cache[at + keyLength + i] - u'0');
    return number;
  }
  return -1;
}

// A dictionary's names live in the account's master dictionary, the master dictionary's own in
// the system's; any other file's in its own dictionary.
String clsTarnFile::lookupDictionaryName() const {
  if (sType == u"Dict") return u"md";
  StringView trimmed = sName;
  while (!trimmed.empty() && trimmed.front() == u' ') trimmed.remove_prefix(1);
  while (!trimmed.empty() && trimmed.back() == u' ') trimmed.remove_suffix(1);
  if ((trimmed.size() == 2 && startsWithIgnoringCase(trimmed, u"MD")) ||
      trimmed.find(u",,") != StringView::npos) {
    return u"mds,,";
  }
  return u"dict " + sName;
}

namespace {
// A file's name as a person wrote it: the connection composes " CUST" for the data section.
String shownName(StringView name) {
  while (!name.empty() && name.front() == u' ') name.remove_prefix(1);
  return String(name);
}
}  // namespace

std::int32_t clsTarnFile::brAttribute(const String& attributeName) {
  gLastError = 0;
  sOperation = u"brColumn " + attributeName;
  // Refused as itself, not folded into 1026 below: nothing was asked of the server.
  if (envelope::holdsMark(attributeName)) {
    throw rsRaiseError(err::kBadParameters, kClassName, sOperation);
  }
  try {
    if (const std::int32_t cached = cachedAttribute(attributeName); cached >= 0) return cached;
    if (nDictNumber < 0) {
      nDictNumber =
          Variant(send(envelope::buildRequest(u'O', {StringView(lookupDictionaryName())})))
              .toInt32();
    }
    const String item =
        send(envelope::buildRequest(u'R', {nDictNumber, StringView(attributeName)}));
    const auto mark = item.find(kAM);
    if (mark == String::npos) throw TarnError(err::kBadColumn, String(), String());
    StringView attribute = StringView(item).substr(mark + 1, 999);
    attribute = attribute.substr(0, attribute.find(kAM));
    if (!isNumericText(attribute)) throw TarnError(err::kBadColumn, String(), String());
    const std::int32_t number = roundToInt32(*parseNumericText(attribute));
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07d", number);
    sAttrCache += kEntryMark;
    sAttrCache += attributeName;
    sAttrCache += kNumberMark;
    for (const char* d = digits; *d; ++d) sAttrCache += static_cast<char16_t>(*d);
    sAttrCache += kEntryMark;
    return number;
  } catch (...) {
    const std::int32_t caught = caughtErrorNumber();
    const std::int32_t number = caught == err::kBadColumn ? err::kBadColumn : err::kItemMissing;
    OdbcDiagnostic diagnostic = caughtDiagnostic();
    gLastError = 0;
    sOperation = u"brColumn " + attributeName;
    TarnError raised = rsRaiseError(number, kClassName, sOperation, std::move(diagnostic));
    if (caught == err::kItemMissing) {
      raised.setDetail(u"attribute name '" + attributeName + u"' is not in the dictionary of " +
                       shownName(sName));
    } else if (number == err::kBadColumn) {
      raised.setDetail(u"the dictionary item '" + attributeName + u"' of " + shownName(sName) +
                       u" gives no attribute number");
    }
    throw raised;
  }
}

std::int32_t clsTarnFile::brColumn(const String& attributeName) {
  return brAttribute(attributeName);
}

void clsTarnFile::brDelete(const String& sItemName) {
  withHandler(
      sOperation, kClassName, [&] { return u"brDeleteItem " + sName + u" " + sItemId; },
      [&] {
        sItemId = sItemName;
        sContents.clear();
        envelope::refuseMarks(sItemName);
        (void)send(envelope::buildRequest(u'D', {nFileNumber, StringView(sItemName)}));
      });
}

void clsTarnFile::brRelease(const String& itemId) {
  withHandler(
      sOperation, kClassName, [&] { return u"brRelease " + sName + u" " + sItemId; },
      [&] {
        sItemId = itemId;
        sContents.clear();
        envelope::refuseMarks(itemId);
        (void)send(envelope::buildRequest(u'U', {nFileNumber, StringView(itemId)}));
      });
}

void clsTarnFile::brFileLock() {
  withHandler(
      sOperation, kClassName, [&] { return u"brFileLock " + sName; },
      [&] { (void)send(envelope::buildRequest(u'F', {nFileNumber})); });
}

void clsTarnFile::brFileUnlock() {
  try {
    (void)send(envelope::buildRequest(u'f', {nFileNumber}));
  } catch (...) {
    gLastError = 0;  // absorbed: an unlock that fails leaves nothing for the caller to do
  }
}

void clsTarnFile::brClearFile() {
  withHandler(
      sOperation, kClassName, [&] { return u"brClearFile " + sName; },
      [&] { (void)send(envelope::buildRequest(u'd', {nFileNumber})); });
}

String clsTarnFile::countText(bool exact) {
  if (!oConnection) throw TarnError::platform(err::kObjectNotSet);
  oConnection->brExecute((exact ? u"COUNT " : u"ESTIMATE-COUNT ") + sName);
  auto captured = oConnection->brCapturing();
  captured->brConvert(u" ", String(1, kAM));
  return exact ? captured->brExtractStr(2) : captured->brCString();
}

std::int32_t clsTarnFile::brItemCount(const Variant& vbExact, const Variant&) {
  try {
    const bool exact = !vbExact.isMissing() && vbExact.toBool();
    return Variant(countText(exact)).toInt32();
  } catch (...) {
    return 0;
  }
}

std::int32_t clsTarnFile::rsItemCount() {
  return numericPrefix(countText(true));
}

Ref<clsTarnSelectList> clsTarnFile::brSelect() {
  return withHandler(
      sOperation, kClassName, [&] { return u"brSelect " + sName; },
      [&] {
        auto list = clsTarnSelectList::create();
        list->rsInitializeFile(*this);
        return list;
      });
}

String clsTarnFile::brHandle() const {
  return rsFormatHandle(TarnClassFV, static_cast<std::int32_t>(identity()));
}

String clsTarnFile::brUniqueId() const {
  if (!oEnvironment) throw TarnError::platform(err::kObjectNotSet);
  return oEnvironment->brUniqueId();
}

void clsTarnDynamicArray::rsInitFromFile(clsTarnFile& file) {
  environment_ = file.rsEnvironment();
  name_ = file.brItemId();
  // The reply becomes the text: a large item is not copied again on its way in.
  brCString(std::move(file.sContents));
  file.sContents.clear();
  linked_ = true;
}

}  // namespace tarn
