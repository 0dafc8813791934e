// One account on the SQLite store: a database file holding its files (a dictionary section and
// data sections), their items, indexes and protection records, and the lock table that every
// process opening the account shares. The policy over it is store/sql's; here are the SQL, the
// bindings and the walks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/sql/sql_account.h"
#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/store/sqlite/sqlite_index_store.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {

// The account's connection as the SQL account policy runs it.
class SqliteDb {
 public:
  explicit SqliteDb(DbHandle db);
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  [[nodiscard]] sqlite3* handle() const noexcept { return db_.get(); }

  using Rows = Statement::Use;

  template <typename... Values>
  [[nodiscard]] Rows query(sql::Statement id, const Values&... values) {
    return Rows(statements_[static_cast<int>(id)], values...);
  }
  template <typename... Values>
  std::int64_t run(sql::Statement id, const Values&... values) {
    Rows(statements_[static_cast<int>(id)], values...).run();
    return sqlite3_changes(db_.get());
  }
  // BEGIN IMMEDIATE already orders every writer of the database.
  template <typename... Values>
  std::int64_t runOrdered(sql::Statement id, const Section&, std::string_view,
                          const Values&... values) {
    return run(id, values...);
  }
  void serialiseItem(const Section&, std::string_view) {}
  void serialiseSection(const Section&) {}
  // A process checks its own ports without asking the kernel: they live while it runs.
  [[nodiscard]] static bool live(const Rows&, const LockOwner& holder, const LockOwner& owner) {
    return holder.process == owner.process || isAlive(holder.process);
  }
  [[nodiscard]] static std::int64_t claim() noexcept { return 0; }

  bool begin();
  void commit();
  void rollback() noexcept;
  [[nodiscard]] SqliteIndexStore& indexes() noexcept { return *indexes_; }

  void protectionChanged() noexcept { ++protectionVersion_; }
  [[nodiscard]] std::uint64_t protectionVersion();

  // Repeated counts with no change between them cost no walk.
  [[nodiscard]] std::int64_t countItems(const Section& s);
  std::size_t appendIds(const Section& s, std::string& out);
  void forEachItem(const Section& s,
                   const std::function<void(std::string_view, std::string_view)>& visit);

 private:
  DbHandle db_;
  TransactionStatements tx_;
  std::array<Statement, sql::kStatements> statements_;
  Statement count_, dataVersion_, ids_, spelled_, items_;
  std::unique_ptr<SqliteIndexStore> indexes_;
  // Item counts by section, with the store's change markers they were taken at.
  struct Count {
    std::int64_t items, version, changes;
  };
  std::map<std::int64_t, Count> counts_;
  // data_version moves on every commit of another connection but never on this one's own, so
  // changes made here are counted apart.
  std::uint64_t protectionVersion_ = 0;
  std::int64_t seenDataVersion_ = -1;
};

class SqliteAccount final : public sql::SqlAccount<SqliteDb> {
 public:
  // Opens the account database at path, creating its schema and master dictionary when create
  // is set. name is the account's name as the system knows it. Throws StoreError.
  [[nodiscard]] static std::unique_ptr<SqliteAccount> open(const std::string& path,
                                                           std::string name, bool create);
  SqliteAccount(std::string name, DbHandle db) : SqlAccount(std::move(name), std::move(db)) {}

  [[nodiscard]] sqlite3* db() noexcept { return sql().handle(); }
  // Every owner with a lock or an open mark here, live or not.
  [[nodiscard]] std::vector<LockOwner> owners();
};

}  // namespace tarn::server::store
