// clsTarnFile: one open database file (a dictionary or data section). Reads items or single
// attributes into dynamic arrays, writes them back, locks, releases, deletes, clears, counts,
// turns attribute names into numbers, and hands out select lists over the file.
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
class clsTarnIndex;
class clsTarnODBC;
class clsTarnSelectList;

enum eTarnItemLockOptions : std::int32_t {
  tarnItem_NoWaiting = 0,
  tarnItem_AmWaiting = -1,
  tarnItem_ReadLocked = -1,
  tarnItem_ReadNoLock = 0,
  tarnItem_WriteUnlock = -1,
  tarnItem_WriteNoLock = 0,
};

enum eTarnItemCount : std::int32_t {
  TarnItemCountDPtrs = -1,
  TarnItemCountTotal = 0,
  TarnItemCountExact = -1,
  TarnItemCountGuess = 0,
};

// Item-ids, attribute names and file names cannot hold the marks 251-255 (U+00FB..U+00FF):
// every member that sends one refuses such a text with 1058 "Bad Parameters" under its usual
// source, before anything reaches the server.
class TARN_API clsTarnFile : public Object {
 public:
  // Closes the file and its lookup dictionary on the server; never raises (a failed close is
  // recorded in gLastError).
  ~clsTarnFile() override;

  // The file reference it was opened by ("DICT CUST", " CUST", ...).
  [[nodiscard]] const String& brName() const noexcept { return sName; }
  // The item-id of the last read, write, delete or release.
  [[nodiscard]] const String& brItemId() const noexcept { return sItemId; }
  // "Dict" when the reference begins with "D " or "DICT " (any case), otherwise "Data".
  [[nodiscard]] const String& brType() const noexcept { return sType; }

  // Reads the item (sColumn omitted or negative), attribute n, or by attribute name; column 0 is
  // the item-id itself and sends nothing. A non-zero bLocking locks the item. Throws TarnError
  // (source clsTarnFile.brRead <file> <id>): 1026 item missing, 1029 locked, ...
  [[nodiscard]] Ref<clsTarnDynamicArray> brRead(const String& sItemName,
                                                const Variant& sColumn = Variant::missing(),
                                                const Variant& bLocking = Variant::missing());
  // The whole item, locked.
  [[nodiscard]] Ref<clsTarnDynamicArray> brReadU(const String& sItemName);
  // One attribute, locked / not locked.
  [[nodiscard]] Ref<clsTarnDynamicArray> brReadVU(const String& sItemName, const Variant& sColumn);
  [[nodiscard]] Ref<clsTarnDynamicArray> brReadV(const String& sItemName, const Variant& sColumn);

  // Writes aItem as the whole item (sColumn omitted or negative) or as one attribute. Only a
  // bLocking of exactly -1 (the default) releases the item lock. Column 0 throws 1035.
  void brWrite(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName,
               const Variant& sColumn = Variant::missing(),
               const Variant& bLocking = Variant::missing());
  // Whole item, keeping the lock.
  void brWriteU(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName);
  // One attribute, keeping / releasing the lock.
  void brWriteVU(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName,
                 const Variant& sColumn);
  void brWriteV(const Ref<clsTarnDynamicArray>& aItem, const String& sItemName,
                const Variant& sColumn);

  // The attribute number that the file's dictionary gives sName; looked up once per name (in
  // any letter case) per file object. Throws 1035 when the dictionary item defines no number,
  // 1026 for any other failure.
  [[nodiscard]] std::int32_t brAttribute(const String& sName);
  [[nodiscard]] std::int32_t brColumn(const String& sName);

  // Deletes the item, releasing its lock; a missing item raises 1026.
  void brDelete(const String& sItemName);
  // Releases this connection's lock on the item.
  void brRelease(const String& sItemId);
  // Locks the whole file for this connection.
  void brFileLock();
  // Never fails: a failed unlock is absorbed.
  void brFileUnlock();
  // Deletes every item of the file.
  void brClearFile();
  // The number of items (exact with COUNT, or the server's estimate); 0 on any failure.
  [[nodiscard]] std::int32_t brItemCount(const Variant& vbExact = Variant::missing(),
                                         const Variant& vbDPntr = Variant::missing());
  // A select list over all item-ids of the file.
  [[nodiscard]] Ref<clsTarnSelectList> brSelect();

  // A cursor on the file's index defined by sCorrelative ("A2"); it keeps this file alive.
  // Throws TarnError (source clsTarnFile.brRoot <file> <corr>) when the server opens none.
  [[nodiscard]] Ref<clsTarnIndex> brRoot(const String& sCorrelative);
  // Builds the index with CREATE-INDEX (replacing an existing one when bOverwrite). False when
  // the index existed and was kept, or the command failed; never raises. bEntirety and
  // vlRecords are accepted and have no effect.
  bool brCreateIndex(const String& sCorrelative, bool bOverwrite,
                     const Variant& bEntirety = Variant::missing(), Variant* vlRecords = nullptr);
  // Drops the index with DELETE-INDEX; any failure is absorbed.
  void brDeleteIndex(const String& sCorrelative);

  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  // The environment's brUniqueId.
  [[nodiscard]] String brUniqueId() const;
  // Always True: the library speaks ODBC only.
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }

 private:
  friend class clsTarnConnection;
  friend class clsTarnDynamicArray;
  friend class clsTarnSelectList;
  friend class clsTarnIndex;
  clsTarnFile() = default;
  [[nodiscard]] static Ref<clsTarnFile> create();

  void rsInitialize(clsTarnConnection& connection);
  [[nodiscard]] const Ref<clsTarnEnvironment>& rsEnvironment() const noexcept {
    return oEnvironment;
  }
  [[nodiscard]] const Ref<clsTarnODBC>& rsODBC() const noexcept { return oODBC; }
  [[nodiscard]] const String& rsRootCorrelative() const noexcept { return sRootCorrelative; }
  [[nodiscard]] std::int32_t rsFileNumber() const noexcept { return nFileNumber; }
  // Exact item count; failures pass to the caller.
  [[nodiscard]] std::int32_t rsItemCount();

  // The reply to request, sent through the session.
  String send(String request);
  // The session; throws 91 (object not set) when the file has none.
  [[nodiscard]] clsTarnODBC& session() const;
  [[nodiscard]] Ref<clsTarnDynamicArray> readItem(const String& sItemName, const Variant& sColumn,
                                                  const Variant& bLocking);
  void writeItem(const String& sItemName, StringView contents, const Variant& sColumn,
                 const Variant& bLocking);
  // The column as a number: numeric text as it stands, anything else looked up as a name.
  [[nodiscard]] std::int32_t columnNumber(const Variant& sColumn);
  // The cached number of an attribute name, or -1.
  [[nodiscard]] std::int32_t cachedAttribute(StringView name) const;
  [[nodiscard]] String lookupDictionaryName() const;
  [[nodiscard]] String countText(bool exact);

  std::int32_t nFileNumber = -1;
  String sName;
  String sItemId;
  String sContents;
  String sType;
  String sRootCorrelative;
  String sAttrCache;
  std::int32_t nDictNumber = -1;
  Ref<clsTarnODBC> oODBC;
  Ref<clsTarnConnection> oConnection;
  Ref<clsTarnEnvironment> oEnvironment;
  String sOperation;
  // Request and reply text of item reads and writes, kept so that its storage is reused.
  String exchange_;
};

}  // namespace tarn
