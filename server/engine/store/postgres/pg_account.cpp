#include "server/engine/store/postgres/pg_account.h"

#include <array>
#include <utility>

#include "server/engine/store/postgres/pg_index_store.h"
#include "server/engine/store/sql/sql_account.h"
#include "server/engine/store/sql/sql_statements.h"

namespace tarn::server::store::postgres {
namespace {

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

std::string replaceSchema(const char* sql, const std::string& schema) {
  return schemaQuery("", schema, "", sql, "").sql;
}
using sql::Statement;

#define TARN_SECTION_COLUMNS "SELECT id, file, name, kind, casefold, modulo FROM @.sections "
// After the owner and kind: the sweep's two columns (a dead claim's every lock goes), then what
// the liveness check reads.
#define TARN_LOCK_COLUMNS                                                                       \
  "SELECT l.port, l.pid, l.start, l.kind, l.port, l.claim, "                                    \
  "tarn_system.port_live(l.port, l.claim), p.space FROM @.locks l LEFT JOIN tarn_system.ports " \
  "p ON p.number=l.port AND p.claim=l.claim WHERE l.section=$1 AND "

// What PostgreSQL spells its own way: names match through their folded copies, and a lock row
// is its port's while the port's claim lives.
constexpr sql::StatementText<Statement> kOwnSql[] = {
    {Statement::kWriteUnlessLocked,
     "INSERT INTO @.items(section, key, id, body) SELECT $1, $2, $3, $4 WHERE NOT EXISTS (SELECT "
     "1 FROM @.item_indexes WHERE section=$1) AND NOT EXISTS (SELECT 1 FROM @.locks WHERE "
     "section=$1 AND kind<2 AND item IN ($2, ''::bytea) AND NOT (port=$5 AND pid=$6 AND "
     "start=$7)) ON CONFLICT(section, key) DO UPDATE SET id=excluded.id, body=excluded.body",
     "ibbbiii"},
    {Statement::kFindFile, "SELECT file FROM @.sections WHERE file_folded=$1 ORDER BY kind LIMIT 1",
     "b"},
    {Statement::kFindDictionary, TARN_SECTION_COLUMNS "WHERE file_folded=$1 AND kind=0", "b"},
    {Statement::kFindData,
     TARN_SECTION_COLUMNS "WHERE file_folded=$1 AND kind=1 AND name_folded=$2", "bb"},
    {Statement::kFirstData,
     TARN_SECTION_COLUMNS
     "WHERE file_folded=$1 AND kind=1 ORDER BY name_folded=file_folded DESC, id LIMIT 1",
     "b"},
    {Statement::kSections, TARN_SECTION_COLUMNS "WHERE file_folded=$1 ORDER BY kind, id", "b"},
    {Statement::kAllSections, TARN_SECTION_COLUMNS "ORDER BY file_folded, kind, id"},
    {Statement::kInsertSection,
     "INSERT INTO @.sections(file, file_folded, kind, name, name_folded, casefold, modulo) "
     "VALUES($1, $2, $3, $4, $5, $6, $7)",
     "bbibbii"},
    {Statement::kItemHolders,
     TARN_LOCK_COLUMNS "((l.kind=0 AND l.item=$2) OR (l.kind=1 AND l.item=''::bytea))", "ib"},
    {Statement::kFileHolders, TARN_LOCK_COLUMNS "l.kind<2", "i"},
    {Statement::kOpenHolders, TARN_LOCK_COLUMNS "l.kind=2", "i"},
    {Statement::kInsertLock,
     "INSERT INTO @.locks VALUES($1, $2, $3, $4, $5, $6, $7) ON CONFLICT(section, kind, item) DO "
     "UPDATE SET port=excluded.port, pid=excluded.pid, start=excluded.start, claim=excluded.claim",
     "iibiiii"},
    {Statement::kSweep, "DELETE FROM @.locks WHERE port=$1 AND claim=$2", "ii"},
    {Statement::kCredentials, "SELECT login, hash FROM @.credentials"},
};
static_assert(sql::coversAll(kOwnSql));

// The account's schema on the port's session, as the SQL account policy runs it.
class PgDb {
 public:
  PgDb(std::shared_ptr<Session> session, std::string schema)
      : session_(std::move(session)),
        schema_(std::move(schema)),
        tag_(session_->tagFor(schema_)),
        indexes_(*session_, tag_, schema_) {
    prepareAll(tag_ + "a", schema_, sql::kSharedStatements, queries_);
    prepareAll(tag_ + "a", schema_, kOwnSql, queries_);
    count_ = query("count", "SELECT count(*) FROM @.items WHERE section=$1", "i");
    // Pages of the walks in key order: the first, then those after the last key seen.
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
    serialiseItem_ =
        query("serialise_item",
              "SELECT pg_advisory_xact_lock_shared($1), pg_advisory_xact_lock($2)", "ii");
    serialiseSection_ = query("serialise_section", "SELECT pg_advisory_xact_lock($1)", "i");
  }

  using Rows = postgres::Rows;

  template <typename... Values>
  [[nodiscard]] Rows query(Statement id, const Values&... values) {
    return Rows(session_->runWith(queries_[static_cast<int>(id)], values...));
  }
  template <typename... Values>
  std::int64_t run(Statement id, const Values&... values) {
    return session_->runWith(queries_[static_cast<int>(id)], values...).changed();
  }
  // The advisory locks order the write against lock takers, which hold the same locks while
  // they look and insert, and the write's check runs after them with a snapshot of its own: a
  // write never slips in between another port's lock and its read. One round trip.
  template <typename... Values>
  std::int64_t runOrdered(Statement id, const Section& s, std::string_view key,
                          const Values&... values) {
    Params serialise;
    serialise.add(sectionKey(s)).add(lockKey('I', schema_, s.id, key));
    const Query& q = queries_[static_cast<int>(id)];
    Params p;
    addValues(p, q, values...);
    return session_->runPair(serialiseItem_, serialise, q, p).changed();
  }

  // Orders item lock takers and writers of one item, and keeps file locks out meanwhile.
  void serialiseItem(const Section& s, std::string_view key) {
    session_->run(serialiseItem_,
                  Params().add(sectionKey(s)).add(lockKey('I', schema_, s.id, key)));
  }
  // Keeps every item lock taker and writer of s out until the transaction ends.
  void serialiseSection(const Section& s) {
    session_->run(serialiseSection_, Params().add(sectionKey(s)));
  }
  // A lock's port lives while its session holds the port's claim, unless its process on this
  // machine is gone already (the server notices the session's end a moment later).
  [[nodiscard]] static bool live(const Rows& r, const LockOwner& holder, const LockOwner&) {
    return r.integer(6) != 0 && !processGone(r.bytes(7), holder.process);
  }
  [[nodiscard]] std::int64_t claim() const noexcept { return session_->claim(); }

  bool begin() {
    if (session_->inTransaction()) return false;
    session_->exec("BEGIN");
    return true;
  }
  void commit() { session_->exec("COMMIT"); }
  void rollback() noexcept {
    try {
      session_->exec("ROLLBACK");
    } catch (...) {
      // A lost session has ended the transaction already.
    }
  }
  [[nodiscard]] PgIndexStore& indexes() noexcept { return indexes_; }

  // Delivered at commit, with the change it announces, to every session (this one too).
  void protectionChanged() { session_->exec("NOTIFY " TARN_PROTECTION_CHANNEL); }
  [[nodiscard]] std::uint64_t protectionVersion() { return session_->protectionNotices(); }

  [[nodiscard]] std::int64_t countItems(const Section& s) {
    return session_->run(count_, Params().add(s.id)).integer(0, 0);
  }

  std::size_t appendIds(const Section& s, std::string& out) {
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
    session_->transaction("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY",
                          [&] { walk(idsFirst_, idsNext_, kIdsPage, s, append); });
    return n;
  }

  void forEachItem(const Section& s,
                   const std::function<void(std::string_view, std::string_view)>& visit) {
    walk(itemsFirst_, itemsNext_, kItemsPage, s,
         [&](const Result& r, int row) { visit(r.bytes(row, 1), r.bytes(row, 2)); });
  }

 private:
  Query query(const char* name, const std::string& sql, const char* types) const {
    return schemaQuery(tag_, schema_, name, sql, types);
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

  std::int64_t sectionKey(const Section& s) const { return lockKey('S', schema_, s.id); }

  std::shared_ptr<Session> session_;
  std::string schema_;
  std::string tag_;
  PgIndexStore indexes_;
  std::array<Query, sql::kStatements> queries_;
  Query count_, idsFirst_, idsNext_, itemsFirst_, itemsNext_, serialiseItem_, serialiseSection_;
};

// Makes the account's schema, tables and master dictionary, and registers it, in one transaction
// under a lock on its name so that two machines making it at once do not collide.
void makeAccount(Session& session, const std::string& name) {
  if (accountRegistered(session, name)) return;
  session.transaction(
      "BEGIN",
      [&] {
        session.exec(("SELECT pg_advisory_xact_lock(" + std::to_string(lockKey('A', name, 0)) + ")")
                         .c_str());
        session.exec(("CREATE SCHEMA IF NOT EXISTS " + Session::quote(name)).c_str());
        session.exec(replaceSchema(kSchema, name).c_str());
        session.exec(replaceSchema(PgIndexStore::schema(), name).c_str());
        session.exec(replaceSchema(kMasterDictionarySection, name).c_str());
        static const Query enrol =
            schemaQuery("sys_", "", "enrol",
                        "INSERT INTO tarn_system.accounts VALUES($1) ON CONFLICT DO NOTHING", "b");
        session.run(enrol, Params().add(name));
      },
      true);
}

}  // namespace

bool accountRegistered(Session& session, std::string_view name) {
  static const Query q = schemaQuery("sys_", "", "registered",
                                     "SELECT 1 FROM tarn_system.accounts WHERE name=$1", "b");
  return session.run(q, Params().add(name)).rows() > 0;
}

std::unique_ptr<Account> openPgAccount(std::shared_ptr<Session> session, std::string name,
                                       bool create) {
  // Identifiers longer than this are cut short by the server: two names would meet in one schema.
  if (name.size() > 63)
    throw StoreError(StoreFailure::kOther,
                     "account names on a PostgreSQL system are at most 63 characters: " + name);
  if (create) {
    makeAccount(*session, name);
  } else if (!accountRegistered(*session, name)) {
    throw StoreError(StoreFailure::kIo, "no account " + name + " on this system");
  }
  return std::make_unique<sql::SqlAccount<PgDb>>(name, std::move(session), name);
}

}  // namespace tarn::server::store::postgres
