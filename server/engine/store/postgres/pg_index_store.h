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
  std::int64_t build(const Section& s, const Correlative& c,
                     const ItemVisitor& forEachItem) override;
  bool drop(const Section& s, const Correlative& c) override;
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
  [[nodiscard]] Query query(const char* name, const char* sql, const char* types) const;

  Session& session_;
  std::string tag_, schema_;
  std::string scratch_;
  Query defsOf_, findDef_, existsDef_, insertDef_, dropDef_, dropDefsOf_, clearEntries_,
      dropEntriesOf_, insertEntry_, respellEntry_, deleteEntry_;
  Query probes_[kProbes], idsUnder_, serialiseSection_;
  std::string copyEntries_;
};

}  // namespace tarn::server::store::postgres
