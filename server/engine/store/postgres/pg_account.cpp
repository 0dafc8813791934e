#include "server/engine/store/postgres/pg_account.h"

#include <set>
#include <utility>

#include "server/engine/store/postgres/pg_index_store.h"

namespace tarn::server::store::postgres {
namespace {

constexpr std::int64_t kSectionDictionary = 0;
constexpr std::int64_t kSectionData = 1;
constexpr std::int64_t kLockItem = 0;
constexpr std::int64_t kLockFile = 1;
constexpr std::int64_t kMarkOpen = 2;

// Ids per page when walking a section; a walk never holds more than a page of results.
constexpr std::int64_t kIdsPage = 16384;
constexpr std::int64_t kItemsPage = 2048;

// Section ids are never reused and items must belong to a live section, so that a handle left
// open on a deleted file cannot write into a file made later. File and section names match
// without regard to ASCII case through their folded copies, folded to lower case so that files
// list in the order a case-blind comparison gives. Lock rows carry the claim of the port that
// took them: tarn_system.port_live tells whether that port still lives.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS @.sections(
  id bigserial PRIMARY KEY,
  file bytea NOT NULL,
  file_folded bytea NOT NULL,
  kind bigint NOT NULL,
  name bytea NOT NULL,
  name_folded bytea NOT NULL,
  casefold bigint NOT NULL,
  modulo bigint NOT NULL,
  UNIQUE(file_folded, kind, name_folded));
CREATE TABLE IF NOT EXISTS @.items(
  section bigint NOT NULL REFERENCES @.sections(id),
  key bytea NOT NULL,
  id bytea,
  body bytea NOT NULL,
  PRIMARY KEY(section, key));
CREATE TABLE IF NOT EXISTS @.locks(
  section bigint NOT NULL,
  kind bigint NOT NULL,
  item bytea NOT NULL,
  port bigint NOT NULL,
  pid bigint NOT NULL,
  start bigint NOT NULL,
  claim bigint NOT NULL,
  PRIMARY KEY(section, kind, item));
CREATE INDEX IF NOT EXISTS locks_by_owner ON @.locks(pid, start, port);
CREATE TABLE IF NOT EXISTS @.credentials(login bytea NOT NULL, hash bytea NOT NULL);
CREATE TABLE IF NOT EXISTS @.grants(account bytea PRIMARY KEY);
CREATE TABLE IF NOT EXISTS @.failed_logons(source bytea PRIMARY KEY, count bigint NOT NULL);
)sql";

constexpr const char* kMasterDictionarySection = R"sql(
INSERT INTO @.sections(file, file_folded, kind, name, name_folded, casefold, modulo)
  VALUES ('MD', 'md', 1, 'MD', 'md', 1, 1) ON CONFLICT DO NOTHING;
)sql";

constexpr const char* kSectionColumns =
    "SELECT id, file, name, kind, casefold, modulo FROM @.sections ";

std::string folded(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string replaceSchema(const char* sql, const std::string& schema) {
  return schemaQuery("", schema, "", sql, "").sql;
}

class PgAccount final : public Account {
 public:
  PgAccount(std::shared_ptr<Session> session, std::string name)
      : Account(name),
        session_(std::move(session)),
        schema_(std::move(name)),
        tag_(session_->tagFor(schema_)),
        indexes_(*session_, tag_, schema_) {
    prepare();
  }

  [[nodiscard]] IndexStore& indexes() override { return indexes_; }

  bool begin() override {
    if (session_->inTransaction()) return false;
    session_->exec("BEGIN");
    return true;
  }
  void commit() override { session_->exec("COMMIT"); }
  void rollback() noexcept override {
    try {
      session_->exec("ROLLBACK");
    } catch (...) {
      // A lost session has ended the transaction already.
    }
  }

  // --- catalogue

  std::optional<std::string> findFile(std::string_view file, bool exact) override {
    Result r = session_->run(findFile_, Params().add(folded(file)));
    if (r.rows() == 0) return std::nullopt;
    std::string name(r.bytes(0, 0));
    if (exact && name != file) return std::nullopt;
    return name;
  }

  std::optional<Section> findSection(std::string_view file, bool dictionary,
                                     std::string_view section, bool exact) override {
    std::optional<std::string> canonical = findFile(file, exact);
    if (!canonical) return std::nullopt;
    // The master dictionary is its own dictionary.
    if (equalsNoCase(*canonical, kMasterDictionary)) {
      dictionary = false;
      section = {};
    }
    const std::string f = folded(*canonical);
    Result r;
    if (dictionary)
      r = session_->run(findDict_, Params().add(f));
    else if (section.empty())
      r = session_->run(firstData_, Params().add(f));
    else
      r = session_->run(findData_, Params().add(f).add(folded(section)));
    if (r.rows() == 0) return std::nullopt;
    Section found = sectionFrom(r, 0);
    if (!dictionary && !section.empty() && exact && found.name != section) return std::nullopt;
    return found;
  }

  std::vector<Section> sections(std::string_view file) override {
    Result r = file.empty() ? session_->run(allSections_)
                            : session_->run(sections_, Params().add(folded(file)));
    std::vector<Section> out;
    for (int i = 0; i < r.rows(); ++i) out.push_back(sectionFrom(r, i));
    return out;
  }

  bool createDictionary(std::string_view file, std::int64_t modulo, bool caseFold) override {
    Transaction tx(*this);
    if (findFile(file, false)) return false;
    insertSection(file, kSectionDictionary, {}, modulo, caseFold);
    if (std::optional<Section> md = findSection(kMasterDictionary, false, {}, false))
      writeItem(*md, file, fileDefinition(modulo));
    tx.commit();
    return true;
  }

  bool createDataSection(std::string_view file, std::string_view section, std::int64_t modulo,
                         bool caseFold) override {
    Transaction tx(*this);
    std::optional<std::string> canonical = findFile(file, false);
    if (!canonical) {
      createDictionary(file, modulo, true);
      canonical = std::string(file);
    } else if (equalsNoCase(*canonical, kMasterDictionary)) {
      return false;
    }
    if (session_->run(findData_, Params().add(folded(*canonical)).add(folded(section))).rows() > 0)
      return false;
    insertSection(*canonical, kSectionData, section, modulo, caseFold);
    tx.commit();
    return true;
  }

  void dropSections(const std::vector<Section>& doomed) override {
    if (doomed.empty()) return;
    Transaction tx(*this);
    const std::string file = doomed.front().file;
    for (const Section& s : doomed) {
      serialiseSection(s);
      std::erase_if(heldItems_, [&](const auto& held) { return held.first == s.id; });
      indexes_.sectionDropped(s);
      session_->run(dropItems_, Params().add(s.id));
      session_->run(dropLocks_, Params().add(s.id));
      session_->run(dropSection_, Params().add(s.id));
    }
    if (sections(file).empty()) {
      if (std::optional<Section> md = findSection(kMasterDictionary, false, {}, false))
        deleteItem(*md, file);
    }
    tx.commit();
  }

  // --- items

  bool readItem(const Section& s, std::string_view id, std::string& out) override {
    Result r = session_->run(read_, Params().add(s.id).add(itemKey(s, id, scratch_)));
    if (r.rows() == 0) return false;
    out.append(r.bytes(0, 0));
    return true;
  }

  void writeItem(const Section& s, std::string_view id, std::string_view body) override {
    Transaction tx(*this);
    const bool indexed = indexes_.any(s);
    indexedBefore_.clear();
    const bool existed = indexed && readItem(s, id, indexedBefore_);
    Params p;
    bindItem(p, s, id);
    session_->run(write_, p.add(body));
    if (indexed) indexes_.itemChanged(s, id, existed ? &indexedBefore_ : nullptr, &body);
    tx.commit();
  }

  bool writeItemUnlessLocked(const Section& s, std::string_view id, std::string_view body,
                             const LockOwner& owner) override {
    // An indexed file's write needs the checked path; the statement would decline it anyway.
    if (indexes_.seenIndexed(s)) return false;
    Params write;
    const std::string_view key = bindItem(write, s, id);
    write.add(body).add(owner.port).add(owner.process.pid).add(owner.process.start);
    // The advisory locks order the write against lock takers, which hold the same locks while
    // they look and insert, and the write's check runs after them with a snapshot of its own:
    // a write never slips in between another port's lock and its read. One round trip.
    Params serialise;
    serialise.add(sectionKey(s)).add(lockKey('I', schema_, s.id, key));
    return session_->runPair(serialiseItem_, serialise, writeUnlessLocked_, write).changed() > 0;
  }

  bool holdsItemLock(const Section& s, std::string_view id) override {
    if (heldItems_.empty()) return false;
    return heldItems_.count({s.id, std::string(itemKey(s, id, scratch_))}) != 0;
  }

  bool deleteItem(const Section& s, std::string_view id) override {
    Transaction tx(*this);
    const bool indexed = indexes_.any(s);
    indexedBefore_.clear();
    if (indexed && readItem(s, id, indexedBefore_))
      indexes_.itemChanged(s, id, &indexedBefore_, nullptr);
    const bool existed =
        session_->run(delete_, Params().add(s.id).add(itemKey(s, id, scratch_))).changed() > 0;
    tx.commit();
    return existed;
  }

  void clearSection(const Section& s) override {
    Transaction tx(*this);
    session_->run(clear_, Params().add(s.id));
    indexes_.sectionCleared(s);
    tx.commit();
  }

  std::int64_t countItems(const Section& s) override {
    return session_->run(count_, Params().add(s.id)).integer(0, 0);
  }

  std::size_t appendIds(const Section& s, std::string& out) override {
    const std::size_t start = out.size();
    std::size_t n = 0;
    auto append = [&](const Result& r, int row) {
      if (n++ > 0) out.push_back(kAttributeMark);
      out.append(r.bytes(row, 1));
    };
    // A list is one snapshot, as on the embedded store. One page is one statement's; a longer
    // list is read again whole in a read-only repeatable-read transaction, which costs one page
    // more, and only for lists of more than a page.
    if (session_->inTransaction()) {
      walk(idsFirst_, idsNext_, kIdsPage, s, append);  // the caller's transaction decides
      return n;
    }
    if (walk(idsFirst_, idsNext_, kIdsPage, s, append, true)) return n;
    out.resize(start);
    n = 0;
    session_->exec("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    try {
      walk(idsFirst_, idsNext_, kIdsPage, s, append);
      session_->exec("COMMIT");
    } catch (...) {
      rollback();
      throw;
    }
    return n;
  }

  void forEachItem(const Section& s,
                   const std::function<void(std::string_view, std::string_view)>& visit) override {
    walk(itemsFirst_, itemsNext_, kItemsPage, s,
         [&](const Result& r, int row) { visit(r.bytes(row, 1), r.bytes(row, 2)); });
  }

  // --- locks

  LockOutcome lockItem(const Section& s, std::string_view id, const LockOwner& owner) override {
    Transaction tx(*this);
    const std::string key(itemKey(s, id, scratch_));
    serialiseItem(s, key);
    if (liveForeignHolder(itemHolders_, s, key, owner, nullptr)) return LockOutcome::kHeldElsewhere;
    insertLock(s, kLockItem, key, owner);
    tx.commit();
    heldItems_.emplace(s.id, key);
    return LockOutcome::kGranted;
  }

  LockOutcome lockFile(const Section& s, const LockOwner& owner) override {
    Transaction tx(*this);
    serialiseSection(s);
    if (liveForeignHolder(fileHolders_, s, {}, owner, nullptr)) return LockOutcome::kHeldElsewhere;
    insertLock(s, kLockFile, {}, owner);
    tx.commit();
    return LockOutcome::kGranted;
  }

  void unlockItem(const Section& s, std::string_view id, const LockOwner& owner) override {
    const std::string key(itemKey(s, id, scratch_));
    deleteLock(s, kLockItem, key, owner);
    heldItems_.erase({s.id, key});
  }

  void unlockFile(const Section& s, const LockOwner& owner) override {
    deleteLock(s, kLockFile, {}, owner);
  }

  WriteCheck checkWrite(const Section& s, std::string_view id, const LockOwner& owner) override {
    const std::string key(itemKey(s, id, scratch_));
    serialiseItem(s, key);
    WriteCheck result;
    result.heldElsewhere = liveForeignHolder(itemHolders_, s, key, owner, &result.heldByOwner);
    return result;
  }

  bool sectionHeldElsewhere(const Section& s, const LockOwner& owner) override {
    serialiseSection(s);
    return liveForeignHolder(fileHolders_, s, {}, owner, nullptr);
  }

  void markOpen(const Section& s, const LockOwner& owner) override {
    insertLock(s, kMarkOpen, openMark(owner), owner);
  }

  void unmarkOpen(const Section& s, const LockOwner& owner) override {
    deleteLock(s, kMarkOpen, openMark(owner), owner);
  }

  bool openElsewhere(const Section& s, const LockOwner& owner) override {
    return liveForeignHolder(openHolders_, s, {}, owner, nullptr);
  }

  void releaseAll(const LockOwner& owner) override {
    heldItems_.clear();
    session_->run(deleteOwner_,
                  Params().add(owner.process.pid).add(owner.process.start).add(owner.port));
  }

  void releaseLocks(const LockOwner& owner) override {
    heldItems_.clear();
    session_->run(deleteOwnerLocks_,
                  Params().add(owner.process.pid).add(owner.process.start).add(owner.port));
  }

  // --- protection records

  std::optional<StoredCredentials> credentials() override {
    Result r = session_->run(credentials_);
    if (r.rows() == 0) return std::nullopt;
    return StoredCredentials{std::string(r.bytes(0, 0)), std::string(r.bytes(0, 1))};
  }

  void setCredentials(const std::optional<StoredCredentials>& credentials) override {
    Transaction tx(*this);
    session_->run(clearCredentials_);
    if (credentials)
      session_->run(insertCredentials_, Params().add(credentials->user).add(credentials->hash));
    announceProtectionChange();
    tx.commit();
  }

  long addFailedLogon(std::string_view source) override {
    Result r = session_->run(addFailed_, Params().add(source));
    return r.rows() > 0 ? static_cast<long>(r.integer(0, 0)) : 1;
  }

  void clearFailedLogons(std::string_view source) override {
    session_->run(clearFailed_, Params().add(source));
  }

  long failedLogons(std::string_view source) override {
    Result r = session_->run(failed_, Params().add(source));
    return r.rows() > 0 ? static_cast<long>(r.integer(0, 0)) : 0;
  }

  void grant(std::string_view other) override {
    Transaction tx(*this);
    session_->run(grant_, Params().add(other));
    announceProtectionChange();
    tx.commit();
  }
  void revoke(std::string_view other) override {
    Transaction tx(*this);
    session_->run(revoke_, Params().add(other));
    announceProtectionChange();
    tx.commit();
  }
  std::uint64_t protectionVersion() override { return session_->protectionNotices(); }
  bool grants(std::string_view other) override {
    return session_->run(grants_, Params().add(other)).rows() > 0;
  }
  std::vector<std::string> grantees() override {
    Result r = session_->run(grantees_);
    std::vector<std::string> out;
    for (int i = 0; i < r.rows(); ++i) out.emplace_back(r.bytes(i, 0));
    return out;
  }

 private:
  // Delivered at commit, with the change it announces, to every session (this one too).
  void announceProtectionChange() { session_->exec("NOTIFY " TARN_PROTECTION_CHANNEL); }
  Query query(const char* name, const std::string& sql, const char* types) const {
    return schemaQuery(tag_, schema_, name, sql, types);
  }

  void prepare() {
    const std::string cols = kSectionColumns;
    read_ = query("read", "SELECT body FROM @.items WHERE section=$1 AND key=$2", "ib");
    write_ = query("write",
                   "INSERT INTO @.items(section, key, id, body) VALUES($1, $2, $3, $4) "
                   "ON CONFLICT(section, key) DO UPDATE SET id=excluded.id, body=excluded.body",
                   "ibbb");
    // SQLite's one statement declines on any row of another owner, live or not: the checked
    // path then sweeps the dead ones.
    writeUnlessLocked_ = query("write_free",
                               "INSERT INTO @.items(section, key, id, body) SELECT $1, $2, $3, $4 "
                               "WHERE NOT EXISTS (SELECT 1 FROM @.item_indexes WHERE section=$1) "
                               "AND NOT EXISTS (SELECT 1 FROM @.locks WHERE section=$1 AND kind<2 "
                               "AND item IN ($2, ''::bytea) AND NOT (port=$5 AND pid=$6 AND "
                               "start=$7)) ON CONFLICT(section, key) DO UPDATE SET "
                               "id=excluded.id, body=excluded.body",
                               "ibbbiii");
    delete_ = query("delete", "DELETE FROM @.items WHERE section=$1 AND key=$2", "ib");
    clear_ = query("clear", "DELETE FROM @.items WHERE section=$1", "i");
    count_ = query("count", "SELECT count(*) FROM @.items WHERE section=$1", "i");
    // Pages of the walk in key order: the first, then those after the last key seen.
    idsFirst_ = query("ids",
                      "SELECT key, coalesce(id, key) FROM @.items WHERE section=$1 "
                      "ORDER BY key LIMIT $2",
                      "ii");
    idsNext_ = query("ids_after",
                     "SELECT key, coalesce(id, key) FROM @.items WHERE section=$1 AND key>$3 "
                     "ORDER BY key LIMIT $2",
                     "iib");
    itemsFirst_ = query("items",
                        "SELECT key, coalesce(id, key), body FROM @.items WHERE section=$1 "
                        "ORDER BY key LIMIT $2",
                        "ii");
    itemsNext_ = query("items_after",
                       "SELECT key, coalesce(id, key), body FROM @.items WHERE section=$1 "
                       "AND key>$3 ORDER BY key LIMIT $2",
                       "iib");
    findFile_ = query(
        "file", "SELECT file FROM @.sections WHERE file_folded=$1 ORDER BY kind LIMIT 1", "b");
    findDict_ = query("dict", cols + "WHERE file_folded=$1 AND kind=0", "b");
    findData_ = query("data", cols + "WHERE file_folded=$1 AND kind=1 AND name_folded=$2", "bb");
    firstData_ = query("first_data",
                       cols +
                           "WHERE file_folded=$1 AND kind=1 "
                           "ORDER BY name_folded=file_folded DESC, id LIMIT 1",
                       "b");
    sections_ = query("sections", cols + "WHERE file_folded=$1 ORDER BY kind, id", "b");
    allSections_ = query("all_sections", cols + "ORDER BY file_folded, kind, id", "");
    insertSection_ = query("add_section",
                           "INSERT INTO @.sections(file, file_folded, kind, name, name_folded, "
                           "casefold, modulo) VALUES($1, $2, $3, $4, $5, $6, $7)",
                           "bbibbii");
    dropSection_ = query("drop_section", "DELETE FROM @.sections WHERE id=$1", "i");
    dropItems_ = query("drop_items", "DELETE FROM @.items WHERE section=$1", "i");
    dropLocks_ = query("drop_locks", "DELETE FROM @.locks WHERE section=$1", "i");
    const std::string holders =
        "SELECT l.port, l.pid, l.start, l.kind, l.claim, tarn_system.port_live(l.port, l.claim), "
        "p.space FROM @.locks l LEFT JOIN tarn_system.ports p "
        "ON p.number=l.port AND p.claim=l.claim WHERE l.section=$1 AND ";
    itemHolders_ =
        query("item_holders",
              holders + "((l.kind=0 AND l.item=$2) OR (l.kind=1 AND l.item=''::bytea))", "ib");
    fileHolders_ = query("file_holders", holders + "l.kind<2", "i");
    openHolders_ = query("open_holders", holders + "l.kind=2", "i");
    insertLock_ = query("lock",
                        "INSERT INTO @.locks VALUES($1, $2, $3, $4, $5, $6, $7) "
                        "ON CONFLICT(section, kind, item) DO UPDATE SET port=excluded.port, "
                        "pid=excluded.pid, start=excluded.start, claim=excluded.claim",
                        "iibiiii");
    deleteLock_ = query("unlock",
                        "DELETE FROM @.locks WHERE section=$1 AND kind=$2 AND item=$3 AND "
                        "port=$4 AND pid=$5 AND start=$6",
                        "iibiii");
    deleteOwner_ =
        query("unlock_owner", "DELETE FROM @.locks WHERE pid=$1 AND start=$2 AND port=$3", "iii");
    deleteOwnerLocks_ =
        query("unlock_owner_locks",
              "DELETE FROM @.locks WHERE pid=$1 AND start=$2 AND port=$3 AND kind<2", "iii");
    sweep_ = query("sweep", "DELETE FROM @.locks WHERE port=$1 AND claim=$2", "ii");
    serialiseItem_ =
        query("serialise_item",
              "SELECT pg_advisory_xact_lock_shared($1), pg_advisory_xact_lock($2)", "ii");
    serialiseSection_ = query("serialise_section", "SELECT pg_advisory_xact_lock($1)", "i");
    credentials_ = query("credentials", "SELECT login, hash FROM @.credentials", "");
    clearCredentials_ = query("clear_credentials", "DELETE FROM @.credentials", "");
    insertCredentials_ =
        query("add_credentials", "INSERT INTO @.credentials(login, hash) VALUES($1, $2)", "bb");
    addFailed_ = query("add_failed",
                       "INSERT INTO @.failed_logons AS f(source, count) VALUES($1, 1) "
                       "ON CONFLICT(source) DO UPDATE SET count=f.count+1 RETURNING count",
                       "b");
    clearFailed_ = query("clear_failed", "DELETE FROM @.failed_logons WHERE source=$1", "b");
    failed_ = query("failed", "SELECT count FROM @.failed_logons WHERE source=$1", "b");
    grant_ = query("grant", "INSERT INTO @.grants(account) VALUES($1) ON CONFLICT DO NOTHING", "b");
    revoke_ = query("revoke", "DELETE FROM @.grants WHERE account=$1", "b");
    grants_ = query("grants", "SELECT 1 FROM @.grants WHERE account=$1", "b");
    grantees_ = query("grantees", "SELECT account FROM @.grants ORDER BY account", "");
  }

  static Section sectionFrom(const Result& r, int row) {
    Section s;
    s.id = r.integer(row, 0);
    s.file = std::string(r.bytes(row, 1));
    s.name = std::string(r.bytes(row, 2));
    s.dictionary = r.integer(row, 3) == kSectionDictionary;
    s.caseFold = r.integer(row, 4) != 0;
    s.modulo = r.integer(row, 5);
    return s;
  }

  void insertSection(std::string_view file, std::int64_t kind, std::string_view name,
                     std::int64_t modulo, bool caseFold) {
    const std::string file_folded = folded(file), name_folded = folded(name);
    session_->run(insertSection_, Params()
                                      .add(file)
                                      .add(file_folded)
                                      .add(kind)
                                      .add(name)
                                      .add(name_folded)
                                      .add(std::int64_t{caseFold ? 1 : 0})
                                      .add(modulo));
  }

  // Walks s in key order a page at a time; each page is a statement of its own, so that visit
  // may use the session between pages, and the last key seen starts the next page. With
  // firstPageOnly it stops after one page. Returns whether it reached the end.
  template <typename Visit>
  bool walk(const Query& first, const Query& next, std::int64_t page, const Section& s,
            const Visit& visit, bool firstPageOnly = false) {
    Result r = session_->run(first, Params().add(s.id).add(page));
    std::string after;
    while (true) {
      const int rows = r.rows();
      for (int i = 0; i < rows; ++i) visit(r, i);
      if (rows < page) return true;
      if (firstPageOnly) return false;
      after.assign(r.bytes(rows - 1, 0));
      r = session_->run(next, Params().add(s.id).add(page).add(std::string_view(after)));
    }
  }

  // Binds the section, the item's key and, only where folding changed it, the original spelling.
  // Returns the key.
  std::string_view bindItem(Params& p, const Section& s, std::string_view id) {
    const std::string_view key = itemKey(s, id, scratch_);
    p.add(s.id).add(key);
    if (key != id)
      p.add(id);
    else
      p.null();
    return key;
  }

  std::int64_t sectionKey(const Section& s) const { return lockKey('S', schema_, s.id); }

  // Orders item lock takers and writers of one item, and keeps file locks out meanwhile.
  void serialiseItem(const Section& s, std::string_view key) {
    session_->run(serialiseItem_,
                  Params().add(sectionKey(s)).add(lockKey('I', schema_, s.id, key)));
  }
  // Keeps every item lock taker and writer of s out until the transaction ends.
  void serialiseSection(const Section& s) {
    session_->run(serialiseSection_, Params().add(sectionKey(s)));
  }

  void insertLock(const Section& s, std::int64_t kind, std::string_view item,
                  const LockOwner& owner) {
    session_->run(insertLock_, Params()
                                   .add(s.id)
                                   .add(kind)
                                   .add(item)
                                   .add(owner.port)
                                   .add(owner.process.pid)
                                   .add(owner.process.start)
                                   .add(session_->claim()));
  }

  void deleteLock(const Section& s, std::int64_t kind, std::string_view item,
                  const LockOwner& owner) {
    session_->run(deleteLock_, Params()
                                   .add(s.id)
                                   .add(kind)
                                   .add(item)
                                   .add(owner.port)
                                   .add(owner.process.pid)
                                   .add(owner.process.start));
  }

  // Whether a live owner other than owner holds a lock among the rows of q; the rows of dead
  // ports are swept as they are met.
  bool liveForeignHolder(const Query& q, const Section& s, std::string_view key,
                         const LockOwner& owner, bool* ownerHolds) {
    Params p;
    p.add(s.id);
    if (&q == &itemHolders_) p.add(key);
    Result r = session_->run(q, p);
    bool foreign = false;
    lastHolder_ = 0;
    std::set<std::pair<std::int64_t, std::int64_t>> dead;
    for (int i = 0; i < r.rows(); ++i) {
      const LockOwner holder{r.integer(i, 0), {r.integer(i, 1), r.integer(i, 2)}};
      if (holder == owner) {
        if (ownerHolds && r.integer(i, 3) == kLockItem) *ownerHolds = true;
      } else if (r.integer(i, 5) != 0 && !processGone(r.bytes(i, 6), holder.process)) {
        foreign = true;
        lastHolder_ = holder.port;
      } else {
        // Its port's session is gone, or its process on this machine is (the server notices the
        // session a moment later): every lock it left here goes now.
        dead.emplace(holder.port, r.integer(i, 4));
      }
    }
    for (const auto& [port, claim] : dead) session_->run(sweep_, Params().add(port).add(claim));
    return foreign;
  }

  std::shared_ptr<Session> session_;
  std::string schema_;
  std::string tag_;
  PgIndexStore indexes_;
  std::string scratch_;
  std::string indexedBefore_;  // an indexed item's previous body, while it is replaced
  std::set<std::pair<std::int64_t, std::string>> heldItems_;
  Query read_, write_, writeUnlessLocked_, delete_, clear_, count_, idsFirst_, idsNext_,
      itemsFirst_, itemsNext_;
  Query findFile_, findDict_, findData_, firstData_, sections_, allSections_, insertSection_,
      dropSection_, dropItems_, dropLocks_;
  Query itemHolders_, fileHolders_, openHolders_, insertLock_, deleteLock_, deleteOwner_,
      deleteOwnerLocks_, sweep_, serialiseItem_, serialiseSection_;
  Query credentials_, clearCredentials_, insertCredentials_, addFailed_, clearFailed_, failed_,
      grant_, revoke_, grants_, grantees_;
};

// Makes the account's schema, tables and master dictionary, and registers it, in one transaction
// under a lock on its name so that two machines making it at once do not collide.
void makeAccount(Session& session, const std::string& name) {
  static const Query registered = schemaQuery(
      "sys_", "", "registered", "SELECT 1 FROM tarn_system.accounts WHERE name=$1", "b");
  if (session.run(registered, Params().add(name)).rows() > 0) return;
  const bool began = !session.inTransaction();
  if (began) session.exec("BEGIN");
  try {
    session.exec(
        ("SELECT pg_advisory_xact_lock(" + std::to_string(lockKey('A', name, 0)) + ")").c_str());
    session.exec(("CREATE SCHEMA IF NOT EXISTS " + Session::quote(name)).c_str());
    session.exec(replaceSchema(kSchema, name).c_str());
    session.exec(replaceSchema(PgIndexStore::schema(), name).c_str());
    session.exec(replaceSchema(kMasterDictionarySection, name).c_str());
    static const Query enrol =
        schemaQuery("sys_", "", "enrol",
                    "INSERT INTO tarn_system.accounts VALUES($1) ON CONFLICT DO NOTHING", "b");
    session.run(enrol, Params().add(name));
    if (began) session.exec("COMMIT");
  } catch (...) {
    if (began) {
      try {
        session.exec("ROLLBACK");
      } catch (const StoreError&) {
      }
    }
    throw;
  }
}

}  // namespace

std::unique_ptr<Account> openPgAccount(std::shared_ptr<Session> session, std::string name,
                                       bool create) {
  // Identifiers longer than this are cut short by the server: two names would meet in one schema.
  if (name.size() > 63)
    throw StoreError(StoreFailure::kOther,
                     "account names on a PostgreSQL system are at most 63 characters: " + name);
  if (create) {
    makeAccount(*session, name);
  } else {
    static const Query registered = schemaQuery(
        "sys_", "", "registered", "SELECT 1 FROM tarn_system.accounts WHERE name=$1", "b");
    if (session->run(registered, Params().add(name)).rows() == 0)
      throw StoreError(StoreFailure::kIo, "no account " + name + " on this system");
  }
  return std::make_unique<PgAccount>(std::move(session), std::move(name));
}

}  // namespace tarn::server::store::postgres
