// Thin RAII owners over the SQLite C API, as the engine's stores use it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarn::server::store {

// What kind of trouble a store failure is, as far as a client can act on it.
enum class StoreFailure {
  kBusy,      // another writer held the store past the wait
  kFull,      // the disk (or the database's page limit) is full
  kReadOnly,  // the database or its directory cannot be written
  kCorrupt,   // the file is damaged or is not an account at all
  kIo,        // the operating system refused a read, write or open
  kOther,
};

// A SQLite call failed. code is the extended result code; busy() tells a lock timeout apart.
class StoreError : public std::runtime_error {
 public:
  StoreError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  [[nodiscard]] int code() const noexcept { return code_; }
  [[nodiscard]] bool busy() const noexcept {
    return (code_ & 0xff) == SQLITE_BUSY || (code_ & 0xff) == SQLITE_LOCKED;
  }
  [[nodiscard]] StoreFailure failure() const noexcept;

 private:
  int code_;
};

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

// Test seam: when set, every statement step first asks it, with the statement's SQL; a
// non-zero answer fails the step with that result code, as if SQLite had returned it.
using StepFault = int (*)(const char* sql);
void setStepFaultForTesting(StepFault fault) noexcept;

// Opens (creating when asked) a database for use by one thread at a time. Throws StoreError.
[[nodiscard]] DbHandle openDatabase(const std::string& path, bool create);
// Runs one or more statements without results. Throws StoreError.
void exec(sqlite3* db, const char* sql);
// Puts the database in WAL mode with synchronous=NORMAL. The switch takes an exclusive lock
// without consulting the busy handler, so a process that meets another one switching the same
// new file retries for a while instead of failing.
void useWal(sqlite3* db);
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
    // Steps to completion, for statements without rows. Throws StoreError.
    void run();
    [[nodiscard]] std::int64_t integer(int column) const noexcept {
      return sqlite3_column_int64(stmt_, column);
    }
    [[nodiscard]] std::string_view bytes(int column) const noexcept;
    [[nodiscard]] bool isNull(int column) const noexcept {
      return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
    }

   private:
    sqlite3_stmt* stmt_;
    sqlite3* db_;
  };

 private:
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt_;
  sqlite3* db_ = nullptr;
};

// A write transaction that rolls back unless committed. BEGIN IMMEDIATE takes the write lock at
// once so that checks made inside it still hold at the commit.
// The three statements are prepared once per store and passed in.
struct TransactionStatements {
  Statement begin, commit, rollback;
};

class Transaction {
 public:
  // Begins; throws StoreError (a busy store after its timeout included).
  explicit Transaction(TransactionStatements& statements);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  // Makes the changes durable. Throws StoreError.
  void commit();

 private:
  TransactionStatements& statements_;
  bool open_ = true;
};

}  // namespace tarn::server::store
