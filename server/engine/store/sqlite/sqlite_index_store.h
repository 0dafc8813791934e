// The file indexes of an account on the SQLite store: definitions and entries in two tables of
// the account's database, changed in the same transaction as the item that produced them.
#pragma once

#include <array>
#include <cstdint>

#include "server/engine/store/index_keys.h"
#include "server/engine/store/sql/sql_index_store.h"
#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {

class SqliteIndexStore final : public sql::SqlIndexStore<SqliteIndexStore> {
 public:
  // The tables this store keeps, created idempotently with the account's schema.
  [[nodiscard]] static const char* schema() noexcept;

  // Prepares its statements on db. Throws StoreError.
  explicit SqliteIndexStore(sqlite3* db);

  // Sorts the entries first, so that the b-tree is filled at its end, and inserts them in batches.
  std::int64_t build(const Section& s, const Correlative& c,
                     const ItemVisitor& forEachItem) override;

  template <typename... Values>
  [[nodiscard]] Statement::Use query(sql::IndexStatement id, const Values&... values) {
    return Statement::Use(statements_[static_cast<int>(id)], values...);
  }
  template <typename... Values>
  void run(sql::IndexStatement id, const Values&... values) {
    Statement::Use(statements_[static_cast<int>(id)], values...).run();
  }

 private:
  std::array<Statement, sql::kIndexStatements> statements_;
  Statement fill_;
};

}  // namespace tarn::server::store
