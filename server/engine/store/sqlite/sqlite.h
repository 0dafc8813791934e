// Thin RAII owners over the SQLite C API, as the SQLite store uses them.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/engine/store/sql/sql_statements.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {

// A StoreError for a failed SQLite call: the kind of failure its (extended) result code means.
[[nodiscard]] StoreError sqliteError(int code, const std::string& what);

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

// Opens (creating when asked) a database for use by one thread at a time. Throws StoreError.
[[nodiscard]] DbHandle openDatabase(const std::string& path, bool create);
// Runs one or more statements without results. Throws StoreError.
void exec(sqlite3* db, const char* sql);
// Puts the database in WAL mode with synchronous=NORMAL. The switch takes an exclusive lock
// without consulting the busy handler, so a process that meets another one switching the same
// new file retries for a while instead of failing.
void useWal(sqlite3* db);
// Whether db has a table of that name. Throws StoreError.
[[nodiscard]] bool hasTable(sqlite3* db, const char* name);
// Throws StoreError carrying db's last message when rc is not one of the accepted codes.
void check(sqlite3* db, int rc, const char* context);

// A prepared statement, reset and unbound by every Use when it goes out of scope.
class Statement {
 public:
  Statement() = default;
  // Prepares sql on db for repeated use. Throws StoreError.
  Statement(sqlite3* db, const char* sql);

  // One execution: bind, step, read columns; resets the statement when destroyed.
  class Use {
   public:
    explicit Use(Statement& s) noexcept : stmt_(s.stmt_.get()), db_(s.db_) {}
    // Binds values of the SQL stores' seam (sql_seam.h) in order, no more of them than the
    // statement has parameters.
    template <typename... Values>
    explicit Use(Statement& s, const Values&... values) : Use(s) {
      int index = 0;
      (bindValue(++index, values), ...);
    }
    ~Use() {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    // Binders keep no copy: the bytes must live until the Use ends.
    Use& bind(int index, std::int64_t value);
    Use& bind(int index, std::string_view bytes);
    Use& bindText(int index, std::string_view text);
    // Steps once: true with a row, false when done. Throws StoreError.
    [[nodiscard]] bool step();
    [[nodiscard]] bool next() { return step(); }
    // Steps to completion, for statements without rows. Throws StoreError.
    void run();
    [[nodiscard]] std::int64_t integer(int column) const noexcept {
      return sqlite3_column_int64(stmt_, column);
    }
    [[nodiscard]] std::string_view bytes(int column) const noexcept;

   private:
    [[nodiscard]] bool has(int index) const noexcept {
      return index <= sqlite3_bind_parameter_count(stmt_);
    }
    void bindValue(int index, std::int64_t value) {
      if (has(index)) bind(index, value);
    }
    void bindValue(int index, std::string_view bytes) {
      if (has(index)) bind(index, bytes);
    }
    // Names compare under the columns' NOCASE collation, which needs them bound as text.
    void bindValue(int index, sql::Text text) { bindText(index, text.text); }
    void bindValue(int index, sql::Folded name) { bindText(index, name.name); }
    // Unbound parameters are NULL.
    void bindValue(int index, sql::OrNull value) {
      if (value.present && has(index)) bind(index, value.bytes);
    }

    sqlite3_stmt* stmt_;
    sqlite3* db_;
  };

 private:
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt_;
  sqlite3* db_ = nullptr;
};

// A statement of sql_statements.h as SQLite reads it: no schema before a table, ?N for $N.
[[nodiscard]] std::string sqliteText(std::string_view neutral);

// Prepares each statement of table into its slot. Throws StoreError.
template <typename Id, std::size_t N, std::size_t M>
void prepareAll(sqlite3* db, const sql::StatementText<Id> (&table)[M],
                std::array<Statement, N>& slots) {
  for (const auto& t : table)
    slots[static_cast<std::size_t>(t.id)] = Statement(db, sqliteText(t.sql).c_str());
}

// BEGIN IMMEDIATE, COMMIT and ROLLBACK, prepared once per database. BEGIN IMMEDIATE takes the
// write lock at once so that checks made inside the transaction still hold at the commit.
struct TransactionStatements {
  Statement begin, commit, rollback;
  void prepare(sqlite3* db);
};

// A write transaction on a database that rolls back unless committed.
class WriteTransaction {
 public:
  // Begins; throws StoreError (a busy store after its timeout included).
  explicit WriteTransaction(TransactionStatements& statements);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  // Makes the changes durable. Throws StoreError.
  void commit();

 private:
  TransactionStatements& statements_;
  bool open_ = true;
};

}  // namespace tarn::server::store
