// One account on the SQLite store: a database file holding its files (a dictionary section and
// data sections), their items, indexes and protection records, and the lock table that every
// process opening the account shares.
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

#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/store/sqlite/sqlite_index_store.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {

class SqliteAccount final : public Account {
 public:
  // Opens the account database at path, creating its schema and master dictionary when create
  // is set. name is the account's name as the system knows it. Throws StoreError.
  [[nodiscard]] static std::unique_ptr<SqliteAccount> open(const std::string& path,
                                                           std::string name, bool create);
  ~SqliteAccount() override;

  [[nodiscard]] sqlite3* db() const noexcept { return db_.get(); }
  [[nodiscard]] IndexStore& indexes() override { return *indexes_; }

  bool begin() override;
  void commit() override;
  void rollback() noexcept override;

  [[nodiscard]] std::optional<std::string> findFile(std::string_view file, bool exact) override;
  [[nodiscard]] std::optional<Section> findSection(std::string_view file, bool dictionary,
                                                   std::string_view section, bool exact) override;
  [[nodiscard]] std::vector<Section> sections(std::string_view file) override;
  bool createDictionary(std::string_view file, std::int64_t modulo, bool caseFold) override;
  bool createDataSection(std::string_view file, std::string_view section, std::int64_t modulo,
                         bool caseFold) override;
  void dropSections(const std::vector<Section>& doomed) override;

  [[nodiscard]] bool readItem(const Section& s, std::string_view id, std::string& out) override;
  void writeItem(const Section& s, std::string_view id, std::string_view body) override;
  [[nodiscard]] bool writeItemUnlessLocked(const Section& s, std::string_view id,
                                           std::string_view body, const LockOwner& owner) override;
  [[nodiscard]] bool holdsItemLock(const Section& s, std::string_view id) override;
  bool deleteItem(const Section& s, std::string_view id) override;
  void clearSection(const Section& s) override;
  // Repeated counts with no change between them cost no walk.
  [[nodiscard]] std::int64_t countItems(const Section& s) override;
  std::size_t appendIds(const Section& s, std::string& out) override;
  void forEachItem(
      const Section& s,
      const std::function<void(std::string_view id, std::string_view body)>& visit) override;

  [[nodiscard]] LockOutcome lockItem(const Section& s, std::string_view id,
                                     const LockOwner& owner) override;
  [[nodiscard]] LockOutcome lockFile(const Section& s, const LockOwner& owner) override;
  void unlockItem(const Section& s, std::string_view id, const LockOwner& owner) override;
  void unlockFile(const Section& s, const LockOwner& owner) override;
  [[nodiscard]] WriteCheck checkWrite(const Section& s, std::string_view id,
                                      const LockOwner& owner) override;
  [[nodiscard]] bool sectionHeldElsewhere(const Section& s, const LockOwner& owner) override;
  void markOpen(const Section& s, const LockOwner& owner) override;
  void unmarkOpen(const Section& s, const LockOwner& owner) override;
  [[nodiscard]] bool openElsewhere(const Section& s, const LockOwner& owner) override;
  void releaseAll(const LockOwner& owner) override;
  void releaseLocks(const LockOwner& owner) override;
  // Every owner with a lock or an open mark here, live or not.
  [[nodiscard]] std::vector<LockOwner> owners();

  [[nodiscard]] std::optional<StoredCredentials> credentials() override;
  void setCredentials(const std::optional<StoredCredentials>& credentials) override;
  long addFailedLogon(std::string_view source) override;
  void clearFailedLogons(std::string_view source) override;
  [[nodiscard]] long failedLogons(std::string_view source) override;
  void grant(std::string_view other) override;
  void revoke(std::string_view other) override;
  [[nodiscard]] bool grants(std::string_view other) override;
  [[nodiscard]] std::vector<std::string> grantees() override;
  [[nodiscard]] std::uint64_t protectionVersion() override;

 private:
  SqliteAccount(DbHandle db, std::string name);
  void prepare();
  [[nodiscard]] std::string_view keyFor(const Section& s, std::string_view id) {
    return itemKey(s, id, scratch_);
  }
  // Rows of other owners among the result rows of use: dead owners are swept and skipped.
  bool liveForeignHolder(Statement& query, const Section& s, std::string_view id,
                         const LockOwner& owner, bool* ownerHolds);
  void sweep(const ProcessIdentity& dead);

  DbHandle db_;
  std::string scratch_;
  std::set<std::pair<std::int64_t, std::string>> heldItems_;
  // Item counts by section, with the store's change markers they were taken at.
  struct Count {
    std::int64_t items, version, changes;
  };
  std::map<std::int64_t, Count> counts_;
  TransactionStatements tx_;
  std::unique_ptr<SqliteIndexStore> indexes_;
  std::string indexedBefore_;  // an indexed item's previous body, while it is replaced
  // data_version moves on every commit of another connection but never on this one's own, so
  // changes made here are counted apart.
  std::uint64_t protectionVersion_ = 0;
  std::int64_t seenDataVersion_ = -1;
  Statement read_, write_, writeUnlessLocked_, delete_, clear_, count_, dataVersion_, ids_,
      spelled_, items_;
  Statement findFile_, findDict_, findData_, firstData_, sections_, allSections_, insertSection_,
      dropSection_, dropItems_, dropLocks_;
  Statement itemHolders_, fileHolders_, sectionHolders_, openHolders_, insertLock_, deleteLock_,
      deleteOwner_, deleteOwnerLocks_, sweep_;
  Statement credentials_, clearCredentials_, insertCredentials_, addFailed_, clearFailed_, failed_,
      grant_, revoke_, grants_, grantees_;
};

}  // namespace tarn::server::store
