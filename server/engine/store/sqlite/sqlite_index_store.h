// The file indexes of an account on the SQLite store: definitions and entries in two tables of
// the account's database, changed in the same transaction as the item that produced them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/sqlite/entry_feed.h"
#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {

class SqliteIndexStore final : public IndexStore {
 public:
  // The tables this store keeps, created idempotently with the account's schema.
  [[nodiscard]] static const char* schema() noexcept;

  // Prepares its statements on db. Throws StoreError.
  explicit SqliteIndexStore(sqlite3* db);

  // --- definitions (inside the caller's transaction)
  [[nodiscard]] std::optional<std::int64_t> find(const Section& s, const Correlative& c) override;
  [[nodiscard]] bool exists(std::int64_t number) override;
  [[nodiscard]] std::vector<Correlative> definitions(const Section& s) override;
  // Sorts the entries first, so that the b-tree is filled at its end.
  std::int64_t build(const Section& s, const Correlative& c,
                     const ItemVisitor& forEachItem) override;
  bool drop(const Section& s, const Correlative& c) override;

  // --- maintenance, called by the item paths inside their transaction
  // Whether any index is defined on s; the other maintenance calls do nothing when not.
  [[nodiscard]] bool any(const Section& s);
  // Whether the last any() for s found an index: a hint that lets writers skip a path that
  // cannot serve them, never a reason to skip maintenance.
  [[nodiscard]] bool seenIndexed(const Section& s) const;
  // The item id of s changed from before (nullptr: it did not exist) to after (nullptr: deleted).
  // Call it right after any(s) in the same transaction: it uses the definitions any() read.
  void itemChanged(const Section& s, std::string_view id, const std::string* before,
                   const std::string_view* after);
  // Every item of s went.
  void sectionCleared(const Section& s);
  // s itself goes: its definitions with their entries.
  void sectionDropped(const Section& s);

  // --- cruising
  [[nodiscard]] bool probe(Probe kind, std::int64_t number, std::string_view key,
                           std::string_view item, long vc, IndexHit& hit) override;
  void idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) override;

 private:
  struct Definition {
    std::int64_t number;
    Correlative correlative;
  };
  void loadDefinitions(const Section& s);
  // The definitions of s: those any() loaded just before, else read afresh.
  const std::vector<Definition>& defsFor(const Section& s);
  void insertEntries(std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys);
  void respellEntries(std::int64_t number, const Section& s, std::string_view id,
                      const std::vector<KeyValue>& keys);
  void deleteEntries(std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys);
  [[nodiscard]] std::string_view itemKey(bool foldIds, std::string_view id);

  EntryFeed feed_;  // registered before the statement that reads it is prepared
  std::vector<Definition> defs_;
  std::int64_t loadedFor_ = 0;  // the section whose definitions any() left in defs_
  std::set<std::int64_t> indexed_;
  std::string scratch_;
  KeyChanges changes_;
  Statement defsOf_, findDef_, existsDef_, insertDef_, dropDef_, dropDefsOf_, clearEntries_,
      dropEntriesOf_, insertEntry_, insertAll_, respellEntry_, deleteEntry_;
  Statement probes_[kProbes], idsUnder_;
};

}  // namespace tarn::server::store
