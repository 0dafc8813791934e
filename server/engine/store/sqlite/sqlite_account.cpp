#include "server/engine/store/sqlite/sqlite_account.h"

#include "server/engine/store/sqlite/text_form.h"

#include <optional>
#include <utility>

namespace tarn::server::store {
namespace {

constexpr int kSectionDictionary = 0;
constexpr int kSectionData = 1;
constexpr int kLockItem = 0;
constexpr int kLockFile = 1;
constexpr int kMarkOpen = 2;

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

constexpr const char* kSectionColumns =
    "SELECT id, file, name, kind, casefold, modulo FROM sections ";

Section sectionFrom(const Statement::Use& row) {
  Section s;
  s.id = row.integer(0);
  s.file = std::string(row.bytes(1));
  s.name = std::string(row.bytes(2));
  s.dictionary = row.integer(3) == kSectionDictionary;
  s.caseFold = row.integer(4) != 0;
  s.modulo = row.integer(5);
  return s;
}

int userVersion(sqlite3* db) {
  Statement q(db, "PRAGMA user_version");
  Statement::Use row(q);
  return row.step() ? static_cast<int>(row.integer(0)) : 0;
}

bool hasTable(sqlite3* db, const char* name) {
  Statement q(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1");
  Statement::Use row(q);
  row.bindText(1, name);
  return row.step();
}

}  // namespace

SqliteAccount::SqliteAccount(DbHandle db, std::string name)
    : Account(std::move(name)), db_(std::move(db)) {}
SqliteAccount::~SqliteAccount() = default;

std::unique_ptr<SqliteAccount> SqliteAccount::open(const std::string& path, std::string name,
                                                   bool create) {
  DbHandle db = openDatabase(path, create);
  // WAL lets readers in other processes run beside a writer; NORMAL sync keeps every committed
  // write through a killed process (only a power cut may lose the last ones).
  useWal(db.get());
  exec(db.get(), "PRAGMA foreign_keys=ON");
  // The schema is made idempotently on every open, not only by the creator: another process
  // may have created the file a moment ago and not yet committed its tables.
  {
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
      adoptUtf8Text(db.get());
      exec(db.get(), SqliteIndexStore::schema());
      exec(db.get(),
           "INSERT OR IGNORE INTO sections(file, kind, name, casefold, modulo) "
           "VALUES('MD', 1, 'MD', 1, 1)");
      exec(db.get(), "COMMIT");
    } catch (...) {
      sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
  std::unique_ptr<SqliteAccount> account(new SqliteAccount(std::move(db), std::move(name)));
  account->prepare();
  return account;
}

void SqliteAccount::prepare() {
  sqlite3* db = db_.get();
  tx_.prepare(db);
  read_ = Statement(db, "SELECT body FROM items WHERE section=?1 AND key=?2");
  // An overwrite updates the row in place: the key index is left as it is.
  write_ = Statement(db,
                     "INSERT INTO items(section, key, id, body) VALUES(?1,?2,?3,?4) "
                     "ON CONFLICT(section, key) DO UPDATE SET id=excluded.id, body=excluded.body");
  writeUnlessLocked_ = Statement(db,
                                 "INSERT INTO items(section, key, id, body) "
                                 "SELECT ?1, ?2, ?3, ?4 WHERE NOT EXISTS (SELECT 1 FROM locks "
                                 "WHERE section=?1 AND ((kind=0 AND item=?2) OR (kind=1 AND "
                                 "item=X'')) AND NOT (port=?5 AND pid=?6 AND start=?7)) "
                                 "AND NOT EXISTS (SELECT 1 FROM item_indexes WHERE section=?1) "
                                 "ON CONFLICT(section, key) DO UPDATE SET id=excluded.id, "
                                 "body=excluded.body");
  delete_ = Statement(db, "DELETE FROM items WHERE section=?1 AND key=?2");
  clear_ = Statement(db, "DELETE FROM items WHERE section=?1");
  count_ = Statement(db, "SELECT count(*) FROM items WHERE section=?1");
  dataVersion_ = Statement(db, "PRAGMA data_version");
  ids_ = Statement(db, "SELECT key FROM items WHERE section=?1 ORDER BY key");
  spelled_ =
      Statement(db, "SELECT key, id FROM items WHERE section=?1 AND id IS NOT NULL ORDER BY key");
  items_ = Statement(db, "SELECT coalesce(id, key), body FROM items WHERE section=?1 ORDER BY key");
  findFile_ = Statement(db, "SELECT file FROM sections WHERE file=?1 ORDER BY kind LIMIT 1");
  findDict_ = Statement(db, (std::string(kSectionColumns) + "WHERE file=?1 AND kind=0").c_str());
  findData_ = Statement(
      db, (std::string(kSectionColumns) + "WHERE file=?1 AND kind=1 AND name=?2").c_str());
  firstData_ = Statement(db, (std::string(kSectionColumns) +
                              "WHERE file=?1 AND kind=1 ORDER BY name=file DESC, id LIMIT 1")
                                 .c_str());
  sections_ =
      Statement(db, (std::string(kSectionColumns) + "WHERE file=?1 ORDER BY kind, id").c_str());
  allSections_ = Statement(db, (std::string(kSectionColumns) + "ORDER BY file, kind, id").c_str());
  insertSection_ = Statement(
      db, "INSERT INTO sections(file, kind, name, casefold, modulo) VALUES(?1,?2,?3,?4,?5)");
  dropSection_ = Statement(db, "DELETE FROM sections WHERE id=?1");
  dropItems_ = Statement(db, "DELETE FROM items WHERE section=?1");
  dropLocks_ = Statement(db, "DELETE FROM locks WHERE section=?1");
  itemHolders_ = Statement(db,
                           "SELECT port, pid, start, kind FROM locks WHERE section=?1 AND "
                           "((kind=0 AND item=?2) OR (kind=1 AND item=X''))");
  fileHolders_ =
      Statement(db, "SELECT port, pid, start, kind FROM locks WHERE section=?1 AND kind<2");
  openHolders_ =
      Statement(db, "SELECT port, pid, start, kind FROM locks WHERE section=?1 AND kind=2");
  insertLock_ = Statement(db, "INSERT OR REPLACE INTO locks VALUES(?1,?2,?3,?4,?5,?6)");
  deleteLock_ = Statement(db,
                          "DELETE FROM locks WHERE section=?1 AND kind=?2 AND item=?3 AND "
                          "port=?4 AND pid=?5 AND start=?6");
  deleteOwner_ = Statement(db, "DELETE FROM locks WHERE pid=?1 AND start=?2 AND port=?3");
  deleteOwnerLocks_ =
      Statement(db, "DELETE FROM locks WHERE pid=?1 AND start=?2 AND port=?3 AND kind<2");
  sweep_ = Statement(db, "DELETE FROM locks WHERE pid=?1 AND start=?2");
  indexes_ = std::make_unique<SqliteIndexStore>(db);
  credentials_ = Statement(db, "SELECT user, hash FROM credentials");
  clearCredentials_ = Statement(db, "DELETE FROM credentials");
  insertCredentials_ = Statement(db, "INSERT INTO credentials(user, hash) VALUES(?1, ?2)");
  addFailed_ = Statement(db,
                         "INSERT INTO failed_logons(source, count) VALUES(?1, 1) "
                         "ON CONFLICT(source) DO UPDATE SET count=count+1 RETURNING count");
  clearFailed_ = Statement(db, "DELETE FROM failed_logons WHERE source=?1");
  failed_ = Statement(db, "SELECT count FROM failed_logons WHERE source=?1");
  grant_ = Statement(db, "INSERT OR IGNORE INTO grants(account) VALUES(?1)");
  revoke_ = Statement(db, "DELETE FROM grants WHERE account=?1");
  grants_ = Statement(db, "SELECT 1 FROM grants WHERE account=?1");
  grantees_ = Statement(db, "SELECT account FROM grants ORDER BY account");
}

bool SqliteAccount::begin() {
  if (sqlite3_get_autocommit(db()) == 0) return false;
  Statement::Use(tx_.begin).run();
  return true;
}

void SqliteAccount::commit() {
  Statement::Use(tx_.commit).run();
}

void SqliteAccount::rollback() noexcept {
  try {
    Statement::Use(tx_.rollback).run();
  } catch (const StoreError&) {
    // A failed statement may already have ended the transaction; nothing is left to undo.
  }
}

// --- catalogue

std::optional<std::string> SqliteAccount::findFile(std::string_view file, bool exact) {
  Statement::Use q(findFile_);
  q.bindText(1, file);
  if (!q.step()) return std::nullopt;
  std::string name(q.bytes(0));
  if (exact && name != file) return std::nullopt;
  return name;
}

std::optional<Section> SqliteAccount::findSection(std::string_view file, bool dictionary,
                                                  std::string_view section, bool exact) {
  std::optional<std::string> canonical = findFile(file, exact);
  if (!canonical) return std::nullopt;
  // The master dictionary is its own dictionary.
  if (equalsNoCase(*canonical, kMasterDictionary)) {
    dictionary = false;
    section = {};
  }
  std::optional<Section> found;
  if (dictionary) {
    Statement::Use q(findDict_);
    q.bindText(1, *canonical);
    if (q.step()) found = sectionFrom(q);
  } else if (section.empty()) {
    Statement::Use q(firstData_);
    q.bindText(1, *canonical);
    if (q.step()) found = sectionFrom(q);
  } else {
    Statement::Use q(findData_);
    q.bindText(1, *canonical).bindText(2, section);
    if (q.step()) found = sectionFrom(q);
    if (found && exact && found->name != section) found.reset();
  }
  return found;
}

std::vector<Section> SqliteAccount::sections(std::string_view file) {
  std::vector<Section> out;
  Statement::Use q(file.empty() ? allSections_ : sections_);
  if (!file.empty()) q.bindText(1, file);
  while (q.step()) out.push_back(sectionFrom(q));
  return out;
}

bool SqliteAccount::createDictionary(std::string_view file, std::int64_t modulo, bool caseFold) {
  Transaction tx(*this);
  if (findFile(file, false)) return false;
  {
    Statement::Use q(insertSection_);
    q.bindText(1, file).bind(2, kSectionDictionary).bindText(3, "").bind(4, caseFold ? 1 : 0);
    q.bind(5, modulo).run();
  }
  if (std::optional<Section> md = findSection(kMasterDictionary, false, {}, false))
    writeItem(*md, file, fileDefinition(modulo));
  tx.commit();
  return true;
}

bool SqliteAccount::createDataSection(std::string_view file, std::string_view section,
                                      std::int64_t modulo, bool caseFold) {
  Transaction tx(*this);
  std::optional<std::string> canonical = findFile(file, false);
  if (!canonical) {
    createDictionary(file, modulo, true);
    canonical = std::string(file);
  } else if (equalsNoCase(*canonical, kMasterDictionary)) {
    return false;
  }
  {
    Statement::Use q(findData_);
    q.bindText(1, *canonical).bindText(2, section);
    if (q.step()) return false;
  }
  Statement::Use q(insertSection_);
  q.bindText(1, *canonical).bind(2, kSectionData).bindText(3, section).bind(4, caseFold ? 1 : 0);
  q.bind(5, modulo).run();
  tx.commit();
  return true;
}

void SqliteAccount::dropSections(const std::vector<Section>& doomed) {
  if (doomed.empty()) return;
  Transaction tx(*this);
  std::string file = doomed.front().file;
  for (const Section& s : doomed) {
    std::erase_if(heldItems_, [&](const auto& held) { return held.first == s.id; });
    indexes_->sectionDropped(s);
    Statement::Use(dropItems_).bind(1, s.id).run();
    Statement::Use(dropLocks_).bind(1, s.id).run();
    Statement::Use(dropSection_).bind(1, s.id).run();
  }
  if (sections(file).empty()) {
    std::optional<Section> md = findSection(kMasterDictionary, false, {}, false);
    if (md) deleteItem(*md, file);
  }
  tx.commit();
}

// --- items

bool SqliteAccount::readItem(const Section& s, std::string_view id, std::string& out) {
  Statement::Use q(read_);
  q.bind(1, s.id).bind(2, keyFor(s, id));
  if (!q.step()) return false;
  out.append(q.bytes(0));
  return true;
}

void SqliteAccount::writeItem(const Section& s, std::string_view id, std::string_view body) {
  Transaction tx(*this);
  const bool indexed = indexes_->any(s);
  indexedBefore_.clear();
  const bool existed = indexed && readItem(s, id, indexedBefore_);
  {
    Statement::Use q(write_);
    std::string_view key = keyFor(s, id);
    q.bind(1, s.id).bind(2, key);
    // The original spelling is kept only where folding changed it.
    if (key != id) q.bind(3, id);
    q.bind(4, body).run();
  }
  if (indexed) indexes_->itemChanged(s, id, existed ? &indexedBefore_ : nullptr, &body);
  tx.commit();
}

bool SqliteAccount::writeItemUnlessLocked(const Section& s, std::string_view id,
                                          std::string_view body, const LockOwner& owner) {
  // An indexed file's write needs the checked path; the statement would decline it anyway.
  if (indexes_->seenIndexed(s)) return false;
  Statement::Use q(writeUnlessLocked_);
  std::string_view key = keyFor(s, id);
  q.bind(1, s.id).bind(2, key);
  if (key != id) q.bind(3, id);
  q.bind(4, body).bind(5, owner.port).bind(6, owner.process.pid).bind(7, owner.process.start);
  q.run();
  return sqlite3_changes(db()) > 0;
}

bool SqliteAccount::holdsItemLock(const Section& s, std::string_view id) {
  if (heldItems_.empty()) return false;
  return heldItems_.count({s.id, std::string(keyFor(s, id))}) != 0;
}

bool SqliteAccount::deleteItem(const Section& s, std::string_view id) {
  Transaction tx(*this);
  const bool indexed = indexes_->any(s);
  indexedBefore_.clear();
  if (indexed && readItem(s, id, indexedBefore_))
    indexes_->itemChanged(s, id, &indexedBefore_, nullptr);
  bool existed = false;
  {
    Statement::Use q(delete_);
    q.bind(1, s.id).bind(2, keyFor(s, id)).run();
    existed = sqlite3_changes(db()) > 0;
  }
  tx.commit();
  return existed;
}

void SqliteAccount::clearSection(const Section& s) {
  Transaction tx(*this);
  Statement::Use(clear_).bind(1, s.id).run();
  indexes_->sectionCleared(s);
  tx.commit();
}

std::int64_t SqliteAccount::countItems(const Section& s) {
  // Counted on the key index alone, and only again after something changed: data_version moves
  // with other connections' commits, the change counter with this one's own writes.
  std::int64_t version = 0;
  {
    Statement::Use q(dataVersion_);
    if (q.step()) version = q.integer(0);
  }
  const std::int64_t changes = sqlite3_total_changes64(db());
  auto known = counts_.find(s.id);
  if (known != counts_.end() && known->second.version == version &&
      known->second.changes == changes)
    return known->second.items;
  Statement::Use q(count_);
  q.bind(1, s.id);
  const std::int64_t items = q.step() ? q.integer(0) : 0;
  counts_[s.id] = {items, version, changes};
  return items;
}

std::size_t SqliteAccount::appendIds(const Section& s, std::string& out) {
  // Both walks are in key order and the spelled keys are among all keys: one merge pass.
  Statement::Use keys(ids_);
  keys.bind(1, s.id);
  Statement::Use spelled(spelled_);
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

void SqliteAccount::forEachItem(
    const Section& s, const std::function<void(std::string_view, std::string_view)>& visit) {
  Statement::Use q(items_);
  q.bind(1, s.id);
  while (q.step()) visit(q.bytes(0), q.bytes(1));
}

// --- locks

void SqliteAccount::sweep(const ProcessIdentity& dead) {
  Statement::Use(sweep_).bind(1, dead.pid).bind(2, dead.start).run();
}

bool SqliteAccount::liveForeignHolder(Statement& query, const Section& s, std::string_view id,
                                      const LockOwner& owner, bool* ownerHolds) {
  struct Row {
    LockOwner holder;
    std::int64_t kind;
  };
  std::vector<Row> rows;
  {
    Statement::Use q(query);
    q.bind(1, s.id);
    if (&query == &itemHolders_) q.bind(2, keyFor(s, id));
    while (q.step()) rows.push_back({{q.integer(0), {q.integer(1), q.integer(2)}}, q.integer(3)});
  }
  bool foreign = false;
  lastHolder_ = 0;
  for (const Row& row : rows) {
    if (row.holder == owner) {
      if (ownerHolds && row.kind == kLockItem) *ownerHolds = true;
    } else if (row.holder.process == owner.process || isAlive(row.holder.process)) {
      foreign = true;
      lastHolder_ = row.holder.port;
    } else {
      // Its process is gone: every lock it left behind goes now, not after a timeout.
      sweep(row.holder.process);
    }
  }
  return foreign;
}

LockOutcome SqliteAccount::lockItem(const Section& s, std::string_view id, const LockOwner& owner) {
  Transaction tx(*this);
  if (liveForeignHolder(itemHolders_, s, id, owner, nullptr)) return LockOutcome::kHeldElsewhere;
  Statement::Use q(insertLock_);
  std::string_view key = keyFor(s, id);
  q.bind(1, s.id).bind(2, kLockItem).bind(3, key).bind(4, owner.port);
  q.bind(5, owner.process.pid).bind(6, owner.process.start).run();
  tx.commit();
  heldItems_.emplace(s.id, std::string(key));
  return LockOutcome::kGranted;
}

LockOutcome SqliteAccount::lockFile(const Section& s, const LockOwner& owner) {
  Transaction tx(*this);
  if (liveForeignHolder(fileHolders_, s, {}, owner, nullptr)) return LockOutcome::kHeldElsewhere;
  Statement::Use q(insertLock_);
  q.bind(1, s.id).bind(2, kLockFile).bind(3, std::string_view()).bind(4, owner.port);
  q.bind(5, owner.process.pid).bind(6, owner.process.start).run();
  tx.commit();
  return LockOutcome::kGranted;
}

void SqliteAccount::unlockItem(const Section& s, std::string_view id, const LockOwner& owner) {
  Statement::Use q(deleteLock_);
  std::string_view key = keyFor(s, id);
  q.bind(1, s.id).bind(2, kLockItem).bind(3, key).bind(4, owner.port);
  q.bind(5, owner.process.pid).bind(6, owner.process.start).run();
  heldItems_.erase({s.id, std::string(key)});
}

void SqliteAccount::unlockFile(const Section& s, const LockOwner& owner) {
  Statement::Use q(deleteLock_);
  q.bind(1, s.id).bind(2, kLockFile).bind(3, std::string_view()).bind(4, owner.port);
  q.bind(5, owner.process.pid).bind(6, owner.process.start).run();
}

Account::WriteCheck SqliteAccount::checkWrite(const Section& s, std::string_view id,
                                              const LockOwner& owner) {
  WriteCheck result;
  result.heldElsewhere = liveForeignHolder(itemHolders_, s, id, owner, &result.heldByOwner);
  return result;
}

bool SqliteAccount::sectionHeldElsewhere(const Section& s, const LockOwner& owner) {
  return liveForeignHolder(fileHolders_, s, {}, owner, nullptr);
}

void SqliteAccount::markOpen(const Section& s, const LockOwner& owner) {
  std::string mark = openMark(owner);
  Statement::Use q(insertLock_);
  q.bind(1, s.id).bind(2, kMarkOpen).bind(3, std::string_view(mark)).bind(4, owner.port);
  q.bind(5, owner.process.pid).bind(6, owner.process.start).run();
}

void SqliteAccount::unmarkOpen(const Section& s, const LockOwner& owner) {
  std::string mark = openMark(owner);
  Statement::Use q(deleteLock_);
  q.bind(1, s.id).bind(2, kMarkOpen).bind(3, std::string_view(mark)).bind(4, owner.port);
  q.bind(5, owner.process.pid).bind(6, owner.process.start).run();
}

bool SqliteAccount::openElsewhere(const Section& s, const LockOwner& owner) {
  return liveForeignHolder(openHolders_, s, {}, owner, nullptr);
}

void SqliteAccount::releaseAll(const LockOwner& owner) {
  heldItems_.clear();
  Statement::Use(deleteOwner_)
      .bind(1, owner.process.pid)
      .bind(2, owner.process.start)
      .bind(3, owner.port)
      .run();
}

void SqliteAccount::releaseLocks(const LockOwner& owner) {
  heldItems_.clear();
  Statement::Use(deleteOwnerLocks_)
      .bind(1, owner.process.pid)
      .bind(2, owner.process.start)
      .bind(3, owner.port)
      .run();
}

std::vector<LockOwner> SqliteAccount::owners() {
  std::vector<LockOwner> out;
  Statement q(db(), "SELECT DISTINCT port, pid, start FROM locks");
  Statement::Use row(q);
  while (row.step()) out.push_back({row.integer(0), {row.integer(1), row.integer(2)}});
  return out;
}

// --- protection records

std::optional<StoredCredentials> SqliteAccount::credentials() {
  Statement::Use q(credentials_);
  if (!q.step()) return std::nullopt;
  return StoredCredentials{std::string(q.bytes(0)), std::string(q.bytes(1))};
}

void SqliteAccount::setCredentials(const std::optional<StoredCredentials>& credentials) {
  Transaction tx(*this);
  Statement::Use(clearCredentials_).run();
  if (credentials)
    Statement::Use(insertCredentials_)
        .bindText(1, credentials->user)
        .bindText(2, credentials->hash)
        .run();
  tx.commit();
  ++protectionVersion_;
}

long SqliteAccount::addFailedLogon(std::string_view source) {
  Statement::Use q(addFailed_);
  q.bindText(1, source);
  return q.step() ? static_cast<long>(q.integer(0)) : 1;
}

void SqliteAccount::clearFailedLogons(std::string_view source) {
  Statement::Use(clearFailed_).bindText(1, source).run();
}

long SqliteAccount::failedLogons(std::string_view source) {
  Statement::Use q(failed_);
  q.bindText(1, source);
  return q.step() ? static_cast<long>(q.integer(0)) : 0;
}

void SqliteAccount::grant(std::string_view other) {
  Statement::Use(grant_).bindText(1, other).run();
  ++protectionVersion_;
}

void SqliteAccount::revoke(std::string_view other) {
  Statement::Use(revoke_).bindText(1, other).run();
  ++protectionVersion_;
}

bool SqliteAccount::grants(std::string_view other) {
  Statement::Use q(grants_);
  q.bindText(1, other);
  return q.step();
}

std::vector<std::string> SqliteAccount::grantees() {
  std::vector<std::string> out;
  Statement::Use q(grantees_);
  while (q.step()) out.emplace_back(q.bytes(0));
  return out;
}

std::uint64_t SqliteAccount::protectionVersion() {
  // Any commit of another port moves it, not only a grant: a false alarm costs one grant lookup.
  Statement::Use q(dataVersion_);
  const std::int64_t now = q.step() ? q.integer(0) : -1;
  if (now != seenDataVersion_) {
    seenDataVersion_ = now;
    ++protectionVersion_;
  }
  return protectionVersion_;
}

}  // namespace tarn::server::store
