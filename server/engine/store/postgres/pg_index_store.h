// The file indexes of an account on the PostgreSQL store: definitions and entries in two tables
// of the account's schema, kept current by the account's item paths.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/postgres/pg.h"
#include "server/engine/store/store.h"

namespace tarn::server::store::postgres {

class PgIndexStore final : public IndexStore {
 public:
  // The tables, made with the account's schema ("@." stands for it).
  [[nodiscard]] static const char* schema() noexcept;

  PgIndexStore(Session& session, std::string tag, std::string schema);

  [[nodiscard]] std::optional<std::int64_t> find(const Section& s, const Correlative& c) override;
  [[nodiscard]] bool exists(std::int64_t number) override;
  [[nodiscard]] std::vector<Correlative> definitions(const Section& s) override;
  std::int64_t build(const Section& s, const Correlative& c,
                     const ItemVisitor& forEachItem) override;
  bool drop(const Section& s, const Correlative& c) override;
  [[nodiscard]] bool probe(Probe kind, std::int64_t number, std::string_view key,
                           std::string_view item, long vc, IndexHit& hit) override;
  void idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) override;

  // --- maintenance, called by the item paths inside their transaction
  // Whether any index is defined on s (reading the definitions that itemChanged then uses).
  [[nodiscard]] bool any(const Section& s);
  // Whether the last any() for s found an index: a hint, never a reason to skip maintenance.
  [[nodiscard]] bool seenIndexed(const Section& s) const { return indexed_.count(s.id) != 0; }
  // The item id of s changed from before (nullptr: it did not exist) to after (nullptr: deleted).
  // Call right after any(s) in the same transaction.
  void itemChanged(const Section& s, std::string_view id, const std::string* before,
                   const std::string_view* after);
  void sectionCleared(const Section& s);
  void sectionDropped(const Section& s);

 private:
  struct Definition {
    std::int64_t number;
    Correlative correlative;
  };
  void loadDefinitions(const Section& s);
  void changeEntries(const Query& q, std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys, bool spelled);
  [[nodiscard]] Query query(const char* name, const char* sql, const char* types) const;

  Session& session_;
  std::string tag_, schema_;
  std::vector<Definition> defs_;
  std::set<std::int64_t> indexed_;
  std::string scratch_;
  KeyChanges changes_;
  Query defsOf_, findDef_, existsDef_, insertDef_, dropDef_, dropDefsOf_, clearEntries_,
      dropEntriesOf_, insertEntry_, respellEntry_, deleteEntry_;
  Query probes_[kProbes], idsUnder_, serialiseSection_;
  std::string copyEntries_;
};

}  // namespace tarn::server::store::postgres
