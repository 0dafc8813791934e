#include "server/engine/store/sqlite/sqlite.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tarn::server::store {
StoreError sqliteError(int code, const std::string& what) {
  // A handle whose file another port deleted.
  if (code == SQLITE_CONSTRAINT_FOREIGNKEY) return {StoreFailure::kNoSection, what};
  return {[code] {
            switch (code & 0xff) {
              case SQLITE_BUSY:
              case SQLITE_LOCKED:
                return StoreFailure::kBusy;
              case SQLITE_FULL:
                return StoreFailure::kFull;
              case SQLITE_READONLY:
              case SQLITE_PERM:
                return StoreFailure::kReadOnly;
              case SQLITE_CORRUPT:
              case SQLITE_NOTADB:
                return StoreFailure::kCorrupt;
              case SQLITE_IOERR:
              case SQLITE_CANTOPEN:
                return StoreFailure::kIo;
              default:
                return StoreFailure::kOther;
            }
          }(),
          what};
}

DbHandle openDatabase(const std::string& path, bool create) {
  if (create) {
    // Items and password hashes are the owner's alone. SQLite would make the file 0644; made
    // here first it is 0600, and SQLite gives its -wal and -shm files the database's mode.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  DbHandle db(raw);
  if (rc != SQLITE_OK) {
    std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw sqliteError(rc, path + ": " + message);
  }
  sqlite3_extended_result_codes(raw, 1);
  // Waiting out another writer's commit is normal between processes; item locks never wait.
  sqlite3_busy_timeout(raw, 10000);
  return db;
}

bool hasTable(sqlite3* db, const char* name) {
  Statement q(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1");
  Statement::Use row(q);
  row.bindText(1, name);
  return row.step();
}

std::string sqliteText(std::string_view neutral) {
  std::string out;
  out.reserve(neutral.size());
  for (std::size_t i = 0; i < neutral.size(); ++i) {
    const char c = neutral[i];
    const char next = i + 1 < neutral.size() ? neutral[i + 1] : '\0';
    if (c == '@' && next == '.')
      ++i;
    else
      out.push_back(c == '$' && next >= '0' && next <= '9' ? '?' : c);
  }
  return out;
}

void check(sqlite3* db, int rc, const char* context) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  throw sqliteError(rc, std::string(context) + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) {
  check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql);
}

void useWal(sqlite3* db) {
  constexpr const char* kWal = "PRAGMA journal_mode=WAL";
  for (int attempt = 0;; ++attempt) {
    const int rc = sqlite3_exec(db, kWal, nullptr, nullptr, nullptr);
    const int primary = rc & 0xFF;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || attempt == 2000) {
      check(db, rc, kWal);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  exec(db, "PRAGMA synchronous=NORMAL");
}

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  sqlite3_stmt* raw = nullptr;
  check(db, sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr), sql);
  stmt_.reset(raw);
}

Statement::Use& Statement::Use::bind(int index, std::int64_t value) {
  check(db_, sqlite3_bind_int64(stmt_, index, value), "bind");
  return *this;
}

Statement::Use& Statement::Use::bind(int index, std::string_view bytes) {
  // A zero-length blob must not be bound as NULL: keys compare by value.
  static const char kEmpty = 0;
  const char* data = bytes.empty() ? &kEmpty : bytes.data();
  check(db_, sqlite3_bind_blob(stmt_, index, data, static_cast<int>(bytes.size()), SQLITE_STATIC),
        "bind");
  return *this;
}

Statement::Use& Statement::Use::bindText(int index, std::string_view text) {
  // Nor an empty text: a null pointer would bind NULL.
  const char* data = text.empty() ? "" : text.data();
  check(db_, sqlite3_bind_text(stmt_, index, data, static_cast<int>(text.size()), SQLITE_STATIC),
        "bind");
  return *this;
}

bool Statement::Use::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  check(db_, rc, sqlite3_sql(stmt_));
  return false;
}

void Statement::Use::run() {
  while (step()) {
  }
}

std::string_view Statement::Use::bytes(int column) const noexcept {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

void TransactionStatements::prepare(sqlite3* db) {
  begin = Statement(db, "BEGIN IMMEDIATE");
  commit = Statement(db, "COMMIT");
  rollback = Statement(db, "ROLLBACK");
}

WriteTransaction::WriteTransaction(TransactionStatements& statements) : statements_(statements) {
  Statement::Use(statements_.begin).run();
}

WriteTransaction::~WriteTransaction() {
  if (!open_) return;
  try {
    Statement::Use(statements_.rollback).run();
  } catch (const StoreError&) {
    // A failed statement may already have ended the transaction; nothing is left to undo.
  }
}

void WriteTransaction::commit() {
  Statement::Use(statements_.commit).run();
  open_ = false;
}

}  // namespace tarn::server::store
