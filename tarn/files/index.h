// clsTarnIndex: a cursor over one b-tree index of a file. It walks the index in key order,
// positions on the first or last entry, searches for a key, and hands back the key found, the
// item-id stored under it and the value count of a multi-valued key.
#pragma once

#include <cstdint>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnDynamicArray;
class clsTarnFile;
class clsTarnODBC;

enum eTarnCreateIndexOptions : std::int32_t {
  TarnReplaceIndex = -1,
  TarnPreserveIndex = 0,
  TarnEntireIndex = -1,
  TarnPartialIndex = 0,
};

class TARN_API clsTarnIndex : public Object {
 public:
  // Releases the file and the session; sends nothing (the server index number stays open).
  ~clsTarnIndex() override;

  // The cursor position: key, item-id and value count found by the last successful operation.
  [[nodiscard]] const String& brIndexKey() const noexcept { return sIndexKey; }
  [[nodiscard]] const String& brIndexId() const noexcept { return sIndexId; }
  [[nodiscard]] std::int32_t brIndexVC() const noexcept { return nIndexVC; }
  // The a-correlative the index is defined by.
  [[nodiscard]] const String& brName() const noexcept { return sName; }

  // Runs the key operation cChar ("C", "L", "N", "P", "X", or any code the server knows) from
  // sKey, sIId and nVMC (0 when omitted). Found: the position and the three arguments take the
  // entry, true. No entry (status 22): false, gLastError 0, nothing changed. Any other status, or
  // a reply without its two marks, throws TarnError (source clsTarnIndex.brKey <corr> <key> <id>).
  bool brKey(const String& cChar, String& sKey, String& sIId);
  bool brKey(const String& cChar, String& sKey, String& sIId, std::int32_t& nVMC);
  // Every item-id under the first key at or after sKey, as a dynamic array ("X"); nVMC receives
  // how many. sKey is left alone (the key found is in brIndexKey). With no such key the array
  // holds sIId and nVMC keeps its value. Throws as brKey.
  [[nodiscard]] Ref<clsTarnDynamicArray> brKeyX(String& sKey, const String& sIId);
  [[nodiscard]] Ref<clsTarnDynamicArray> brKeyX(String& sKey, const String& sIId,
                                                std::int32_t& nVMC);

  // Steps from the position; false at the end (position kept). vsIId, when given, receives
  // brIndexId after the step, found or not. Throws as brKey.
  bool brMoveNext();
  bool brMoveNext(Variant& vsIId);
  bool brMovePrevious();
  bool brMovePrevious(Variant& vsIId);
  // Clears the position, then steps to the first entry; false (position empty) when none.
  bool brMoveFirst();
  bool brMoveFirst(Variant& vsIId);
  // The last entry; the position is kept when there is none.
  bool brMoveLast();
  bool brMoveLast(Variant& vsIId);

  // The first (last) entry at or after (at or before) sKey: true when its key contains sKey,
  // ignoring case; the position stays on the entry either way. No entry: position cleared, false.
  bool brFindFirst(const String& sKey);
  bool brFindFirst(const String& sKey, Variant& vsIId);
  bool brFindLast(const String& sKey);
  bool brFindLast(const String& sKey, Variant& vsIId);
  // The next (previous) entry, matched as above; a sKey other than the last find's starts a new
  // search with brFindFirst (brFindLast). No entry: position cleared, false.
  bool brFindNext(const String& sKey);
  bool brFindNext(const String& sKey, Variant& vsIId);
  bool brFindPrevious(const String& sKey);
  bool brFindPrevious(const String& sKey, Variant& vsIId);

  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }

 private:
  friend class clsTarnFile;
  clsTarnIndex() = default;
  [[nodiscard]] static Ref<clsTarnIndex> create();

  // Opens the file's current root correlative on the server. Throws TarnError (source
  // clsTarnIndex.rsOpen <file> <corr>).
  void rsOpen(clsTarnFile& file);
  // brKey from the current position.
  bool step(char16_t code);
  bool find(char16_t code, const String& sKey);
  bool findAgain(bool forward, const String& sKey);
  bool matches(const String& sKey) const;
  void clearPosition();
  bool giveId(bool found, Variant& vsIId) const;

  String sFindKey;
  String sName;
  String sFileName;
  std::int32_t nIndexNumber = -1;
  String sIndexKey;
  String sIndexId;
  std::int32_t nIndexVC = 0;
  Ref<clsTarnODBC> oODBC;
  Ref<clsTarnFile> oFile;
  String sOperation;
};

}  // namespace tarn
