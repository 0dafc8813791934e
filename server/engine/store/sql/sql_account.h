// The account policy of the SQL stores, written once over the seam in sql_seam.h: finding,
// creating and dropping sections; item reads and writes with their index upkeep; item and file
// locks with the sweep of dead owners; the port's cache of its own item locks; clears; and the
// protection records. A store instantiates it with its adapter, which owns the connection, the
// prepared statements and the index store. It is a template so that each store's statements are
// called directly (see sql_seam.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/engine/store/sql/sql_seam.h"
#include "server/engine/store/store.h"

namespace tarn::server::store::sql {

template <SqlStore Db>
class SqlAccount : public Account {
 public:
  template <typename... Args>
  explicit SqlAccount(std::string name, Args&&... dbArgs)
      : Account(std::move(name)), db_(std::forward<Args>(dbArgs)...) {}

  [[nodiscard]] Db& sql() noexcept { return db_; }
  [[nodiscard]] IndexStore& indexes() override { return db_.indexes(); }

  bool begin() override { return db_.begin(); }
  void commit() override { db_.commit(); }
  void rollback() noexcept override { db_.rollback(); }

  // --- catalogue

  std::optional<std::string> findFile(std::string_view file, bool exact) override {
    auto r = db_.query(Statement::kFindFile, Folded{file});
    if (!r.next()) return std::nullopt;
    std::string name(r.bytes(0));
    if (exact && name != file) return std::nullopt;
    return name;
  }

  std::optional<Section> findSection(std::string_view file, bool dictionary,
                                     std::string_view section, bool exact) override {
    std::optional<std::string> canonical = findFile(file, exact);
    if (!canonical) return std::nullopt;
    // The master dictionary is its own dictionary.
    if (equalsNoCase(*canonical, kMasterDictionary)) {
      dictionary = false;
      section = {};
    }
    const Folded f{*canonical};
    auto r = dictionary        ? db_.query(Statement::kFindDictionary, f)
             : section.empty() ? db_.query(Statement::kFirstData, f)
                               : db_.query(Statement::kFindData, f, Folded{section});
    if (!r.next()) return std::nullopt;
    Section found = sectionFrom(r);
    if (!dictionary && !section.empty() && exact && found.name != section) return std::nullopt;
    return found;
  }

  std::vector<Section> sections(std::string_view file) override {
    auto r = file.empty() ? db_.query(Statement::kAllSections)
                          : db_.query(Statement::kSections, Folded{file});
    std::vector<Section> out;
    while (r.next()) out.push_back(sectionFrom(r));
    return out;
  }

  bool createDictionary(std::string_view file, std::int64_t modulo, bool caseFold) override {
    Transaction tx(*this);
    if (findFile(file, false)) return false;
    insertSection(file, kSectionDictionary, {}, modulo, caseFold);
    if (std::optional<Section> md = findSection(kMasterDictionary, false, {}, false))
      writeItem(*md, file, fileDefinition(modulo));
    tx.commit();
    return true;
  }

  bool createDataSection(std::string_view file, std::string_view section, std::int64_t modulo,
                         bool caseFold) override {
    Transaction tx(*this);
    std::optional<std::string> canonical = findFile(file, false);
    if (!canonical) {
      createDictionary(file, modulo, true);
      canonical = std::string(file);
    } else if (equalsNoCase(*canonical, kMasterDictionary)) {
      return false;
    }
    if (db_.query(Statement::kFindData, Folded{*canonical}, Folded{section}).next()) return false;
    insertSection(*canonical, kSectionData, section, modulo, caseFold);
    tx.commit();
    return true;
  }

  void dropSections(const std::vector<Section>& doomed) override {
    if (doomed.empty()) return;
    Transaction tx(*this);
    const std::string file = doomed.front().file;
    for (const Section& s : doomed) {
      db_.serialiseSection(s);
      std::erase_if(heldItems_, [&](const auto& held) { return held.first == s.id; });
      db_.indexes().sectionDropped(s);
      db_.run(Statement::kDropItems, s.id);
      db_.run(Statement::kDropLocks, s.id);
      db_.run(Statement::kDropSection, s.id);
    }
    if (sections(file).empty()) {
      if (std::optional<Section> md = findSection(kMasterDictionary, false, {}, false))
        deleteItem(*md, file);
    }
    tx.commit();
  }

  // --- items

  bool readItem(const Section& s, std::string_view id, std::string& out) override {
    auto r = db_.query(Statement::kRead, s.id, keyFor(s, id));
    if (!r.next()) return false;
    out.append(r.bytes(0));
    return true;
  }

  void writeItem(const Section& s, std::string_view id, std::string_view body) override {
    Transaction tx(*this);
    IndexStore& indexes = db_.indexes();
    const bool indexed = indexes.any(s);
    indexedBefore_.clear();
    const bool existed = indexed && readItem(s, id, indexedBefore_);
    const std::string_view key = keyFor(s, id);
    db_.run(Statement::kWrite, s.id, key, spelling(key, id), body);
    if (indexed) indexes.itemChanged(s, id, existed ? &indexedBefore_ : nullptr, &body);
    tx.commit();
  }

  bool writeItemUnlessLocked(const Section& s, std::string_view id, std::string_view body,
                             const LockOwner& owner) override {
    // An indexed file's write needs the checked path; the statement would decline it anyway.
    if (db_.indexes().seenIndexed(s)) return false;
    const std::string_view key = keyFor(s, id);
    // The statement declines on any row of another owner, live or not: the checked path then
    // sweeps the dead ones.
    return db_.runOrdered(Statement::kWriteUnlessLocked, s, key, s.id, key, spelling(key, id), body,
                          owner.port, owner.process.pid, owner.process.start) > 0;
  }

  bool holdsItemLock(const Section& s, std::string_view id) override {
    if (heldItems_.empty()) return false;
    return heldItems_.count({s.id, std::string(keyFor(s, id))}) != 0;
  }

  bool deleteItem(const Section& s, std::string_view id) override {
    Transaction tx(*this);
    IndexStore& indexes = db_.indexes();
    indexedBefore_.clear();
    if (indexes.any(s) && readItem(s, id, indexedBefore_))
      indexes.itemChanged(s, id, &indexedBefore_, nullptr);
    const bool existed = db_.run(Statement::kDelete, s.id, keyFor(s, id)) > 0;
    tx.commit();
    return existed;
  }

  void clearSection(const Section& s) override {
    Transaction tx(*this);
    db_.run(Statement::kClear, s.id);
    db_.indexes().sectionCleared(s);
    tx.commit();
  }

  std::int64_t countItems(const Section& s) override { return db_.countItems(s); }
  std::size_t appendIds(const Section& s, std::string& out) override {
    return db_.appendIds(s, out);
  }
  void forEachItem(const Section& s,
                   const std::function<void(std::string_view, std::string_view)>& visit) override {
    db_.forEachItem(s, visit);
  }

  // --- locks

  LockOutcome lockItem(const Section& s, std::string_view id, const LockOwner& owner) override {
    Transaction tx(*this);
    const std::string key(keyFor(s, id));
    db_.serialiseItem(s, key);
    if (liveForeignHolder(Statement::kItemHolders, s, key, owner, nullptr))
      return LockOutcome::kHeldElsewhere;
    insertLock(s, kLockItem, key, owner);
    tx.commit();
    heldItems_.emplace(s.id, key);
    return LockOutcome::kGranted;
  }

  LockOutcome lockFile(const Section& s, const LockOwner& owner) override {
    Transaction tx(*this);
    db_.serialiseSection(s);
    if (liveForeignHolder(Statement::kFileHolders, s, {}, owner, nullptr))
      return LockOutcome::kHeldElsewhere;
    insertLock(s, kLockFile, {}, owner);
    tx.commit();
    return LockOutcome::kGranted;
  }

  void unlockItem(const Section& s, std::string_view id, const LockOwner& owner) override {
    const std::string key(keyFor(s, id));
    deleteLock(s, kLockItem, key, owner);
    heldItems_.erase({s.id, key});
  }

  void unlockFile(const Section& s, const LockOwner& owner) override {
    deleteLock(s, kLockFile, {}, owner);
  }

  WriteCheck checkWrite(const Section& s, std::string_view id, const LockOwner& owner) override {
    const std::string key(keyFor(s, id));
    db_.serialiseItem(s, key);
    WriteCheck result;
    result.heldElsewhere =
        liveForeignHolder(Statement::kItemHolders, s, key, owner, &result.heldByOwner);
    return result;
  }

  bool sectionHeldElsewhere(const Section& s, const LockOwner& owner) override {
    db_.serialiseSection(s);
    return liveForeignHolder(Statement::kFileHolders, s, {}, owner, nullptr);
  }

  void markOpen(const Section& s, const LockOwner& owner) override {
    insertLock(s, kMarkOpen, openMark(owner), owner);
  }

  void unmarkOpen(const Section& s, const LockOwner& owner) override {
    deleteLock(s, kMarkOpen, openMark(owner), owner);
  }

  bool openElsewhere(const Section& s, const LockOwner& owner) override {
    return liveForeignHolder(Statement::kOpenHolders, s, {}, owner, nullptr);
  }

  void releaseAll(const LockOwner& owner) override {
    heldItems_.clear();
    db_.run(Statement::kDeleteOwner, owner.process.pid, owner.process.start, owner.port);
  }

  void releaseLocks(const LockOwner& owner) override {
    heldItems_.clear();
    db_.run(Statement::kDeleteOwnerLocks, owner.process.pid, owner.process.start, owner.port);
  }

  // --- protection records

  std::optional<StoredCredentials> credentials() override {
    auto r = db_.query(Statement::kCredentials);
    if (!r.next()) return std::nullopt;
    return StoredCredentials{std::string(r.bytes(0)), std::string(r.bytes(1))};
  }

  void setCredentials(const std::optional<StoredCredentials>& credentials) override {
    Transaction tx(*this);
    db_.run(Statement::kClearCredentials);
    if (credentials)
      db_.run(Statement::kInsertCredentials, Text{credentials->user}, Text{credentials->hash});
    db_.protectionChanged();
    tx.commit();
  }

  long addFailedLogon(std::string_view source) override {
    auto r = db_.query(Statement::kAddFailed, Text{source});
    return r.next() ? static_cast<long>(r.integer(0)) : 1;
  }

  void clearFailedLogons(std::string_view source) override {
    db_.run(Statement::kClearFailed, Text{source});
  }

  long failedLogons(std::string_view source) override {
    auto r = db_.query(Statement::kFailed, Text{source});
    return r.next() ? static_cast<long>(r.integer(0)) : 0;
  }

  void grant(std::string_view other) override { changeGrant(Statement::kGrant, other); }
  void revoke(std::string_view other) override { changeGrant(Statement::kRevoke, other); }

  bool grants(std::string_view other) override {
    return db_.query(Statement::kGrants, Text{other}).next();
  }

  std::vector<std::string> grantees() override {
    auto r = db_.query(Statement::kGrantees);
    std::vector<std::string> out;
    while (r.next()) out.emplace_back(r.bytes(0));
    return out;
  }

  std::uint64_t protectionVersion() override { return db_.protectionVersion(); }

 private:
  std::string_view keyFor(const Section& s, std::string_view id) {
    return itemKey(s, id, scratch_);
  }
  // The original spelling is kept only where folding changed it.
  static OrNull spelling(std::string_view key, std::string_view id) {
    return OrNull{id, key != id};
  }

  template <typename Rows>
  static Section sectionFrom(const Rows& r) {
    Section s;
    s.id = r.integer(0);
    s.file = std::string(r.bytes(1));
    s.name = std::string(r.bytes(2));
    s.dictionary = r.integer(3) == kSectionDictionary;
    s.caseFold = r.integer(4) != 0;
    s.modulo = r.integer(5);
    return s;
  }

  void insertSection(std::string_view file, std::int64_t kind, std::string_view name,
                     std::int64_t modulo, bool caseFold) {
    db_.run(Statement::kInsertSection, Text{file}, Folded{file}, kind, Text{name}, Folded{name},
            std::int64_t{caseFold ? 1 : 0}, modulo);
  }

  void insertLock(const Section& s, std::int64_t kind, std::string_view item,
                  const LockOwner& owner) {
    db_.run(Statement::kInsertLock, s.id, kind, item, owner.port, owner.process.pid,
            owner.process.start, db_.claim());
  }

  void deleteLock(const Section& s, std::int64_t kind, std::string_view item,
                  const LockOwner& owner) {
    db_.run(Statement::kDeleteLock, s.id, kind, item, owner.port, owner.process.pid,
            owner.process.start);
  }

  void changeGrant(Statement change, std::string_view other) {
    Transaction tx(*this);
    db_.run(change, Text{other});
    db_.protectionChanged();
    tx.commit();
  }

  // Whether a live owner other than owner holds a lock among the rows of holders; the locks of
  // dead holders are swept as they are met, not after a timeout.
  bool liveForeignHolder(Statement holders, const Section& s, std::string_view key,
                         const LockOwner& owner, bool* ownerHolds) {
    bool foreign = false;
    lastHolder_ = 0;
    dead_.clear();
    {
      auto r = holders == Statement::kItemHolders ? db_.query(holders, s.id, key)
                                                  : db_.query(holders, s.id);
      while (r.next()) {
        const LockOwner holder{r.integer(0), {r.integer(1), r.integer(2)}};
        if (holder == owner) {
          if (ownerHolds && r.integer(3) == kLockItem) *ownerHolds = true;
        } else if (db_.live(r, holder, owner)) {
          foreign = true;
          lastHolder_ = holder.port;
        } else {
          dead_.emplace_back(r.integer(4), r.integer(5));
        }
      }
    }
    // A dead holder often has several rows here; one sweep removes them all.
    std::sort(dead_.begin(), dead_.end());
    dead_.erase(std::unique(dead_.begin(), dead_.end()), dead_.end());
    for (const auto& [a, b] : dead_) db_.run(Statement::kSweep, a, b);
    return foreign;
  }

  Db db_;
  std::string scratch_;
  std::string indexedBefore_;  // an indexed item's previous body, while it is replaced
  std::set<std::pair<std::int64_t, std::string>> heldItems_;
  std::vector<std::pair<std::int64_t, std::int64_t>> dead_;  // sweep keys met by one lock check
};

}  // namespace tarn::server::store::sql
