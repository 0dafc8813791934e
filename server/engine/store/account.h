// One account: a SQLite database holding its files (a dictionary section and data sections),
// their items, and the lock table that every process opening the account shares.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/index_store.h"
#include "server/engine/store/process.h"
#include "server/engine/store/sqlite.h"

namespace tarn::server::store {

inline constexpr char kAttributeMark = '\xFE';
inline constexpr char kValueMark = '\xFD';
inline constexpr char kSubValueMark = '\xFC';
inline constexpr std::string_view kMasterDictionary = "MD";

// One dictionary or data section of a file.
struct Section {
  std::int64_t id = 0;
  std::string file;  // the file's name as it was created
  std::string name;  // the data section's name; empty for a dictionary
  bool dictionary = false;
  bool caseFold = true;  // item-ids compare without regard to ASCII letter case
  std::int64_t modulo = 1;
};

// The holder of a lock: a port of a live process.
struct LockOwner {
  std::int64_t port = 0;
  ProcessIdentity process;
  friend bool operator==(const LockOwner&, const LockOwner&) = default;
};

enum class LockOutcome { kGranted, kHeldElsewhere };

class Account {
 public:
  // Opens the account database at path, creating its schema and master dictionary when create
  // is set. name is the account's name as the system knows it. Throws StoreError.
  [[nodiscard]] static std::unique_ptr<Account> open(const std::string& path, std::string name,
                                                     bool create);
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;
  ~Account();

  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  [[nodiscard]] sqlite3* db() const noexcept { return db_.get(); }
  [[nodiscard]] TransactionStatements& transactions() noexcept { return tx_; }
  // The file indexes of this account; the item members below keep them current.
  [[nodiscard]] IndexStore& indexes() noexcept { return *indexes_; }

  // --- catalogue. Name matching ignores ASCII case unless exact is set. Throws StoreError.
  // The file's canonical name, when it exists.
  [[nodiscard]] std::optional<std::string> findFile(std::string_view file, bool exact);
  // The dictionary (section empty and dictionary set) or a data section; an empty data section
  // name means the file's default data section (the one named like the file, else the first).
  [[nodiscard]] std::optional<Section> findSection(std::string_view file, bool dictionary,
                                                   std::string_view section, bool exact);
  [[nodiscard]] std::vector<Section> sections(std::string_view file);
  // Creates the file with its dictionary; false when the file exists.
  bool createDictionary(std::string_view file, std::int64_t modulo, bool caseFold);
  // Creates a data section (and the dictionary when the file is new); false when it exists.
  bool createDataSection(std::string_view file, std::string_view section, std::int64_t modulo,
                         bool caseFold);
  // Removes the sections with their items and locks; the file's MD entry goes with its last
  // section.
  void dropSections(const std::vector<Section>& doomed);

  // --- items. Keys fold per the section. Throws StoreError.
  // Appends the item's body to out; false when there is no such item.
  [[nodiscard]] bool readItem(const Section& s, std::string_view id, std::string& out);
  void writeItem(const Section& s, std::string_view id, std::string_view body);
  // One autocommit statement that writes unless a lock of another owner (live or not) is on the
  // item or its file; false when it did not write.
  [[nodiscard]] bool writeItemUnlessLocked(const Section& s, std::string_view id,
                                           std::string_view body, const LockOwner& owner);
  // Whether this account object granted an item lock on it that has not been released. Each
  // port opens its own account objects, so this is the port's own view, without a query.
  [[nodiscard]] bool holdsItemLock(const Section& s, std::string_view id);
  // False when there was no such item.
  bool deleteItem(const Section& s, std::string_view id);
  void clearSection(const Section& s);
  // The section's item count; repeated counts with no change between them cost no walk.
  [[nodiscard]] std::int64_t countItems(const Section& s);
  // Item-ids in key order, each followed by the attribute mark except the last. Returns the count.
  std::size_t appendIds(const Section& s, std::string& out);
  // Visits every item in key order; the views live only during the call.
  void forEachItem(const Section& s,
                   const std::function<void(std::string_view id, std::string_view body)>& visit);

  // --- locks. Each call is one transaction unless the caller holds one. Throws StoreError.
  // Locks the item for owner unless another live owner holds it or its file.
  [[nodiscard]] LockOutcome lockItem(const Section& s, std::string_view id, const LockOwner& owner);
  // Locks the file unless another live owner holds it or any item lock in it.
  [[nodiscard]] LockOutcome lockFile(const Section& s, const LockOwner& owner);
  void unlockItem(const Section& s, std::string_view id, const LockOwner& owner);
  void unlockFile(const Section& s, const LockOwner& owner);
  // For a write inside the caller's transaction: whether another live owner holds the item or the
  // file, and whether owner holds the item.
  struct WriteCheck {
    bool heldElsewhere = false;
    bool heldByOwner = false;
  };
  [[nodiscard]] WriteCheck checkWrite(const Section& s, std::string_view id,
                                      const LockOwner& owner);
  // Whether another live owner holds a lock of any kind in the section (clearing, deleting).
  [[nodiscard]] bool sectionHeldElsewhere(const Section& s, const LockOwner& owner);
  // Records that owner has the section open, so that a delete without force can refuse.
  void markOpen(const Section& s, const LockOwner& owner);
  void unmarkOpen(const Section& s, const LockOwner& owner);
  [[nodiscard]] bool openElsewhere(const Section& s, const LockOwner& owner);
  // Drops every lock and open mark of owner in this account.
  void releaseAll(const LockOwner& owner);
  // Drops item and file locks of owner in this account, keeping open marks.
  void releaseLocks(const LockOwner& owner);
  // Every owner with a lock or an open mark here, live or not.
  [[nodiscard]] std::vector<LockOwner> owners();

  // Folds an item-id for a case-insensitive section into scratch and returns the key to bind.
  [[nodiscard]] std::string_view keyFor(const Section& s, std::string_view id);

 private:
  Account(DbHandle db, std::string name);
  void prepare();
  // Rows of other owners among the result rows of use: dead owners are swept and skipped.
  bool liveForeignHolder(Statement& query, const Section& s, std::string_view id,
                         const LockOwner& owner, bool* ownerHolds);
  void sweep(const ProcessIdentity& dead);

  DbHandle db_;
  std::string name_;
  std::string scratch_;
  std::set<std::pair<std::int64_t, std::string>> heldItems_;
  // Item counts by section, with the store's change markers they were taken at.
  struct Count {
    std::int64_t items, version, changes;
  };
  std::map<std::int64_t, Count> counts_;
  TransactionStatements tx_;
  std::unique_ptr<IndexStore> indexes_;
  std::string indexedBefore_;  // an indexed item's previous body, while it is replaced
  Statement read_, write_, writeUnlessLocked_, delete_, clear_, count_, dataVersion_, ids_,
      spelled_, items_;
  Statement findFile_, findDict_, findData_, firstData_, sections_, insertSection_, dropSection_,
      dropItems_, dropLocks_;
  Statement itemHolders_, fileHolders_, sectionHolders_, openHolders_, insertLock_, deleteLock_,
      deleteOwner_, deleteOwnerLocks_, sweep_;
};

// ASCII upper-casing of wire bytes.
[[nodiscard]] std::string upperAscii(std::string_view text);
[[nodiscard]] bool equalsNoCase(std::string_view a, std::string_view b) noexcept;

}  // namespace tarn::server::store
