#include "server/engine/store/sqlite/sqlite_account.h"

#include <utility>

#include "server/engine/store/sql/sql_statements.h"
#include "server/engine/text/utf8.h"

namespace tarn::server::store {
namespace {

using sql::Statement;

// Section ids are never reused and items must belong to a live section, so that a handle left
// open on a deleted file cannot write into a file made later.
// Bodies live in a rowid table and keys in an index of their own: a lookup by key compares only
// keys, where a key b-tree holding the bodies would read a neighbour's whole body to compare it.
// The few ids spelled otherwise than their folded key have a partial index, so that the ids in
// key order come from the two indexes alone; writes of other ids never touch it.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS sections(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  file TEXT NOT NULL COLLATE NOCASE,
  kind INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  casefold INTEGER NOT NULL,
  modulo INTEGER NOT NULL,
  UNIQUE(file, kind, name));
CREATE TABLE IF NOT EXISTS items(
  section INTEGER NOT NULL REFERENCES sections(id),
  key BLOB NOT NULL,
  id BLOB,
  body BLOB NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS items_by_key ON items(section, key);
CREATE INDEX IF NOT EXISTS items_spelled ON items(section, key, id) WHERE id IS NOT NULL;
CREATE TABLE IF NOT EXISTS locks(
  section INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  item BLOB NOT NULL,
  port INTEGER NOT NULL,
  pid INTEGER NOT NULL,
  start INTEGER NOT NULL,
  PRIMARY KEY(section, kind, item)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS locks_by_owner ON locks(pid, start, port);
CREATE TABLE IF NOT EXISTS credentials(user TEXT NOT NULL, hash TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS grants(account TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS failed_logons(source TEXT PRIMARY KEY, count INTEGER NOT NULL);
)sql";

// The layout an account file is in (PRAGMA user_version). 0 is a new file, or one from the
// builds that kept bodies inside the key b-tree.
constexpr int kLayout = 1;

// Brings a file of the first layout to the current one, inside the caller's transaction.
constexpr const char* kUpgradeFromFirstLayout = "ALTER TABLE items RENAME TO items_first_layout";
constexpr const char* kCopyFirstLayout = R"sql(
INSERT INTO items(section, key, id, body)
  SELECT section, key, id, body FROM items_first_layout ORDER BY section, key;
DROP TABLE items_first_layout;
)sql";

#define TARN_SECTION_COLUMNS "SELECT id, file, name, kind, casefold, modulo FROM sections "
// The two columns after the owner and kind are the sweep's: a dead process's every lock goes.
#define TARN_LOCK_COLUMNS "SELECT port, pid, start, kind, pid, start FROM locks "

// What SQLite spells its own way: file and section names are NOCASE columns, so the folded
// names bind as the names themselves; a lock row is its owner's until the owner's process ends.
constexpr sql::StatementText<Statement> kOwnSql[] = {
    {Statement::kWriteUnlessLocked,
     "INSERT INTO items(section, key, id, body) SELECT ?1, ?2, ?3, ?4 WHERE NOT EXISTS (SELECT 1 "
     "FROM locks WHERE section=?1 AND ((kind=0 AND item=?2) OR (kind=1 AND item=X'')) AND NOT "
     "(port=?5 AND pid=?6 AND start=?7)) AND NOT EXISTS (SELECT 1 FROM item_indexes WHERE "
     "section=?1) ON CONFLICT(section, key) DO UPDATE SET id=excluded.id, body=excluded.body"},
    {Statement::kFindFile, "SELECT file FROM sections WHERE file=?1 ORDER BY kind LIMIT 1"},
    {Statement::kFindDictionary, TARN_SECTION_COLUMNS "WHERE file=?1 AND kind=0"},
    {Statement::kFindData, TARN_SECTION_COLUMNS "WHERE file=?1 AND kind=1 AND name=?2"},
    {Statement::kFirstData,
     TARN_SECTION_COLUMNS "WHERE file=?1 AND kind=1 ORDER BY name=file DESC, id LIMIT 1"},
    {Statement::kSections, TARN_SECTION_COLUMNS "WHERE file=?1 ORDER BY kind, id"},
    {Statement::kAllSections, TARN_SECTION_COLUMNS "ORDER BY file, kind, id"},
    {Statement::kInsertSection,
     "INSERT INTO sections(file, kind, name, casefold, modulo) VALUES(?1,?3,?4,?6,?7)"},
    {Statement::kItemHolders,
     TARN_LOCK_COLUMNS "WHERE section=?1 AND ((kind=0 AND item=?2) OR (kind=1 AND item=X''))"},
    {Statement::kFileHolders, TARN_LOCK_COLUMNS "WHERE section=?1 AND kind<2"},
    {Statement::kOpenHolders, TARN_LOCK_COLUMNS "WHERE section=?1 AND kind=2"},
    {Statement::kInsertLock, "INSERT OR REPLACE INTO locks VALUES(?1,?2,?3,?4,?5,?6)"},
    {Statement::kSweep, "DELETE FROM locks WHERE pid=?1 AND start=?2"},
    {Statement::kCredentials, "SELECT user, hash FROM credentials"},
};
static_assert(sql::coversAll(kOwnSql));

// Accounts made before the engine kept UTF-8 hold Windows-1252 text, and have no text_form
// table. Sections keep their ids (items refer to them) and change in place; items and locks are
// written anew, every old row gone before the new ones go in, since a converted key may equal
// the key of a row still waiting to be converted. tarn_utf8 is toUtf8 below.
constexpr const char* kConvertText = R"sql(
UPDATE sections SET file=CAST(tarn_utf8(file) AS TEXT), name=CAST(tarn_utf8(name) AS TEXT);
CREATE TEMP TABLE converted AS
  SELECT section, tarn_utf8(key), tarn_utf8(id), tarn_utf8(body) FROM items;
DELETE FROM items;
INSERT INTO items(section, key, id, body) SELECT * FROM converted;
DROP TABLE converted;
CREATE TEMP TABLE converted AS SELECT section, kind, tarn_utf8(item), port, pid, start FROM locks;
DELETE FROM locks;
INSERT INTO locks SELECT * FROM converted;
DROP TABLE converted;
CREATE TABLE text_form(form TEXT NOT NULL);
INSERT INTO text_form VALUES('UTF-8');
)sql";

// The Windows-1252 bytes of its argument in UTF-8, as a blob; NULL stays NULL.
void toUtf8(sqlite3_context* ctx, int, sqlite3_value** args) {
  if (sqlite3_value_type(args[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(args[0]));
  const std::string out = text::fromWindows1252(
      {bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(args[0]))});
  sqlite3_result_blob(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

int userVersion(sqlite3* db) {
  store::Statement q(db, "PRAGMA user_version");
  store::Statement::Use row(q);
  return row.step() ? static_cast<int>(row.integer(0)) : 0;
}

}  // namespace

SqliteDb::SqliteDb(DbHandle db) : db_(std::move(db)) {
  sqlite3* h = db_.get();
  tx_.prepare(h);
  prepareAll(h, sql::kSharedStatements, statements_);
  prepareAll(h, kOwnSql, statements_);
  count_ = store::Statement(h, "SELECT count(*) FROM items WHERE section=?1");
  dataVersion_ = store::Statement(h, "PRAGMA data_version");
  ids_ = store::Statement(h, "SELECT key FROM items WHERE section=?1 ORDER BY key");
  spelled_ = store::Statement(
      h, "SELECT key, id FROM items WHERE section=?1 AND id IS NOT NULL ORDER BY key");
  items_ = store::Statement(
      h, "SELECT coalesce(id, key), body FROM items WHERE section=?1 ORDER BY key");
  indexes_ = std::make_unique<SqliteIndexStore>(h);
}

bool SqliteDb::begin() {
  if (sqlite3_get_autocommit(db_.get()) == 0) return false;
  store::Statement::Use(tx_.begin).run();
  return true;
}

void SqliteDb::commit() {
  store::Statement::Use(tx_.commit).run();
}

void SqliteDb::rollback() noexcept {
  try {
    store::Statement::Use(tx_.rollback).run();
  } catch (const StoreError&) {
    // A failed statement may already have ended the transaction; nothing is left to undo.
  }
}

std::int64_t SqliteDb::countItems(const Section& s) {
  // Counted on the key index alone, and only again after something changed: data_version moves
  // with other connections' commits, the change counter with this one's own writes.
  std::int64_t version = 0;
  {
    store::Statement::Use q(dataVersion_);
    if (q.step()) version = q.integer(0);
  }
  const std::int64_t changes = sqlite3_total_changes64(db_.get());
  auto known = counts_.find(s.id);
  if (known != counts_.end() && known->second.version == version &&
      known->second.changes == changes)
    return known->second.items;
  store::Statement::Use q(count_);
  q.bind(1, s.id);
  const std::int64_t items = q.step() ? q.integer(0) : 0;
  counts_[s.id] = {items, version, changes};
  return items;
}

std::size_t SqliteDb::appendIds(const Section& s, std::string& out) {
  // Both walks are in key order and the spelled keys are among all keys: one merge pass.
  store::Statement::Use keys(ids_);
  keys.bind(1, s.id);
  store::Statement::Use spelled(spelled_);
  spelled.bind(1, s.id);
  bool more = spelled.step();
  std::size_t n = 0;
  while (keys.step()) {
    if (n++ > 0) out.push_back(kAttributeMark);
    const std::string_view key = keys.bytes(0);
    if (more && spelled.bytes(0) == key) {
      out.append(spelled.bytes(1));
      more = spelled.step();
    } else {
      out.append(key);
    }
  }
  return n;
}

void SqliteDb::forEachItem(const Section& s,
                           const std::function<void(std::string_view, std::string_view)>& visit) {
  store::Statement::Use q(items_);
  q.bind(1, s.id);
  while (q.step()) visit(q.bytes(0), q.bytes(1));
}

std::uint64_t SqliteDb::protectionVersion() {
  // Any commit of another port moves it, not only a grant: a false alarm costs one grant lookup.
  store::Statement::Use q(dataVersion_);
  const std::int64_t now = q.step() ? q.integer(0) : -1;
  if (now != seenDataVersion_) {
    seenDataVersion_ = now;
    ++protectionVersion_;
  }
  return protectionVersion_;
}

std::unique_ptr<SqliteAccount> SqliteAccount::open(const std::string& path, std::string name,
                                                   bool create) {
  DbHandle db = openDatabase(path, create);
  // WAL lets readers in other processes run beside a writer; NORMAL sync keeps every committed
  // write through a killed process (only a power cut may lose the last ones).
  useWal(db.get());
  exec(db.get(), "PRAGMA foreign_keys=ON");
  // The schema is made idempotently on every open, not only by the creator: another process
  // may have created the file a moment ago and not yet committed its tables.
  exec(db.get(), "BEGIN IMMEDIATE");
  try {
    const int layout = userVersion(db.get());
    if (layout > kLayout)
      throw sqliteError(SQLITE_NOTADB, path + ": made by a newer build (layout " +
                                           std::to_string(layout) + "); not opened");
    const bool firstLayout = layout == 0 && hasTable(db.get(), "items");
    if (firstLayout) exec(db.get(), kUpgradeFromFirstLayout);
    exec(db.get(), kSchema);
    if (firstLayout) exec(db.get(), kCopyFirstLayout);
    if (layout != kLayout)
      exec(db.get(), ("PRAGMA user_version=" + std::to_string(kLayout)).c_str());
    if (!hasTable(db.get(), "text_form")) {
      check(db.get(),
            sqlite3_create_function(db.get(), "tarn_utf8", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                    nullptr, toUtf8, nullptr, nullptr),
            "register the text conversion");
      exec(db.get(), kConvertText);
    }
    exec(db.get(), SqliteIndexStore::schema());
    exec(db.get(),
         "INSERT OR IGNORE INTO sections(file, kind, name, casefold, modulo) "
         "VALUES('MD', 1, 'MD', 1, 1)");
    exec(db.get(), "COMMIT");
  } catch (...) {
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return std::make_unique<SqliteAccount>(std::move(name), std::move(db));
}

std::vector<LockOwner> SqliteAccount::owners() {
  std::vector<LockOwner> out;
  store::Statement q(db(), "SELECT DISTINCT port, pid, start FROM locks");
  store::Statement::Use row(q);
  while (row.step()) out.push_back({row.integer(0), {row.integer(1), row.integer(2)}});
  return out;
}

}  // namespace tarn::server::store
