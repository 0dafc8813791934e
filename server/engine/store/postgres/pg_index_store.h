// The file indexes of an account on the PostgreSQL store: definitions and entries in two tables
// of the account's schema, kept current by the account's item paths.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "server/engine/store/postgres/pg.h"
#include "server/engine/store/sql/sql_index_store.h"
#include "server/engine/store/store.h"

namespace tarn::server::store::postgres {

class PgIndexStore final : public sql::SqlIndexStore<PgIndexStore> {
 public:
  // The tables, made with the account's schema ("@." stands for it).
  [[nodiscard]] static const char* schema() noexcept;

  PgIndexStore(Session& session, std::string tag, std::string schema);

  // Entries go in by one binary COPY, in entry order.
  std::int64_t build(const Section& s, const Correlative& c,
                     const ItemVisitor& forEachItem) override;

  template <typename... Values>
  [[nodiscard]] Rows query(sql::IndexStatement id, const Values&... values) {
    return Rows(session_.runWith(queries_[static_cast<int>(id)], values...));
  }
  template <typename... Values>
  void run(sql::IndexStatement id, const Values&... values) {
    (void)session_.runWith(queries_[static_cast<int>(id)], values...);
  }

 private:
  Session& session_;
  std::string schema_;
  std::array<Query, sql::kIndexStatements> queries_;
  Query serialiseSection_;
  std::string copyEntries_;
};

}  // namespace tarn::server::store::postgres
