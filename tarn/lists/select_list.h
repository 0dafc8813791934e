// clsTarnSelectList: walks a list of item-ids from a TCL select, from all ids of a file, or from
// the attributes of a dynamic array. Server lists are read in batches (falling back to one id
// per request when batches fail) and closed when the object goes.
#pragma once

#include <cstdint>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnConnection;
class clsTarnDynamicArray;
class clsTarnFile;
class clsTarnODBC;

enum eTarnListTypes : std::int32_t {
  tarnList_TypeNone = 0,
  tarnList_TypeAcnt = 1,
  tarnList_TypeFile = 2,
  tarnList_TypeDict = 3,
  tarnList_TypeItem = 4,
  tarnList_TypeTCL = 5,
};

enum eTarnSelectListOptions : std::int32_t {
  TarnSelectPrimary = 0,
  TarnSelectSecondary = -1,
};

class TARN_API clsTarnSelectList : public Object {
 public:
  ~clsTarnSelectList() override;

  // The TCL command line, the file name, or the dynamic array's name.
  [[nodiscard]] const String& brName() const noexcept { return name_; }
  // The id most recently read; "" after the read that found the end.
  [[nodiscard]] const String& brItemId() const noexcept { return itemId_; }
  // The same id, under the name the family's value-list code uses.
  [[nodiscard]] const String& brValue() const noexcept { return itemId_; }
  // True once a read found the end of the list.
  [[nodiscard]] bool brEOL() const noexcept { return eol_; }
  // True while the list stands at its first id.
  [[nodiscard]] bool brBOL() const noexcept { return bol_; }
  // The number of ids the source reported.
  [[nodiscard]] std::int32_t brCount() const noexcept { return count_; }
  // The number of reads counted so far.
  [[nodiscard]] std::int32_t brItemIndex() const noexcept { return itemIndex_; }
  [[nodiscard]] std::int32_t brIndex() const noexcept { return itemIndex_; }

  // Moves to the next id; false at the end of the list (and on every call after it, without a
  // request). sItemId, when given, receives the id. Throws TarnError (source
  // clsTarnSelectList.brReadnext<name>) when even single reads fail.
  bool brReadnext();
  bool brReadnext(Variant& sItemId);
  // Rebuilds the list from its source and starts again; false (nothing raised) on failure.
  // A server list closes its previous server list first; a TCL list re-runs its own command.
  bool brReselect();

  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  [[nodiscard]] bool brIsODBC() const noexcept { return true; }

 private:
  friend class clsTarnConnection;
  friend class clsTarnFile;
  friend class clsTarnDynamicArray;
  clsTarnSelectList() = default;
  [[nodiscard]] static Ref<clsTarnSelectList> create();

  void rsInitializeConn(clsTarnConnection& connection, const String& countText);
  void rsInitializeFile(clsTarnFile& file);
  void rsInitializeDynamicArray(clsTarnDynamicArray& array);
  void rsOpen();
  // The next field of the buffer up to delimiter (or all of it); the buffer keeps the rest.
  [[nodiscard]] String rsTakeField(char16_t delimiter);
  [[nodiscard]] bool bufferEmpty() const noexcept { return bufferPos_ >= sBuffer.size(); }
  void resetToCreationState();
  // Sends "c" for the open server list, if any; returns the failure number (0 when none).
  std::int32_t closeServerList() noexcept;

  String name_;
  String itemId_;
  bool eol_ = false;
  bool bol_ = false;
  std::int32_t listType_ = tarnList_TypeNone;
  std::int32_t itemIndex_ = 0;
  std::int32_t count_ = 0;
  std::int32_t nListHandle = -1;
  Ref<clsTarnODBC> oODBC;
  Ref<Object> oParent;
  std::int32_t nSource = -1;
  // Ids fetched and not yet read: sBuffer from bufferPos_ on (an offset, so that taking an id
  // costs the id's length, not the buffer's).
  String sBuffer;
  std::size_t bufferPos_ = 0;
  bool bLastBatch = false;
  bool bBatchMode = true;
  String sOperation;
};

}  // namespace tarn
