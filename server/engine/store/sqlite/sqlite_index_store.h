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
  // Sorts the entries first, so that the b-tree is filled at its end.
  std::int64_t build(const Section& s, const Correlative& c,
                     const ItemVisitor& forEachItem) override;
  bool drop(const Section& s, const Correlative& c) override;

  // --- cruising
  [[nodiscard]] bool probe(Probe kind, std::int64_t number, std::string_view key,
                           std::string_view item, long vc, IndexHit& hit) override;
  void idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) override;

 protected:
  void readDefinitions(const Section& s, std::vector<Definition>& out) override;
  void changeEntries(EntryChange change, std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys) override;
  void clearEntries(std::int64_t number) override;
  void dropDefinitions(const Section& s) override;

 private:
  [[nodiscard]] std::string_view itemKey(bool foldIds, std::string_view id);

  EntryFeed feed_;  // registered before the statement that reads it is prepared
  std::string scratch_;
  Statement defsOf_, findDef_, existsDef_, insertDef_, dropDef_, dropDefsOf_, clearEntries_,
      dropEntriesOf_, insertEntry_, insertAll_, respellEntry_, deleteEntry_;
  Statement probes_[kProbes], idsUnder_;
};

}  // namespace tarn::server::store
