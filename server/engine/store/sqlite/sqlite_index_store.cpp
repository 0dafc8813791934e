#include "server/engine/store/sqlite/sqlite_index_store.h"

#include <algorithm>
#include <charconv>

namespace tarn::server::store {
namespace {

// Entries name their item by the item's stored key (folded where the file folds ids) and keep
// the spelling only where folding changed it, as the items table does.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS item_indexes(
  number INTEGER PRIMARY KEY AUTOINCREMENT,
  section INTEGER NOT NULL,
  correlative BLOB NOT NULL,
  UNIQUE(section, correlative));
CREATE TABLE IF NOT EXISTS index_entries(
  ix INTEGER NOT NULL,
  key BLOB NOT NULL,
  item BLOB NOT NULL,
  vc INTEGER NOT NULL,
  id BLOB,
  PRIMARY KEY(ix, key, item, vc)) WITHOUT ROWID;
)sql";

constexpr const char* kHit = "SELECT key, vc, coalesce(id, item) FROM index_entries WHERE ix=?1 ";
constexpr const char* kUp = " ORDER BY key, item, vc LIMIT 1";
constexpr const char* kDown = " ORDER BY key DESC, item DESC, vc DESC LIMIT 1";

Statement hitQuery(sqlite3* db, const char* where, const char* order) {
  return Statement(db, (std::string(kHit) + where + order).c_str());
}

}  // namespace

const char* SqliteIndexStore::schema() noexcept {
  return kSchema;
}

SqliteIndexStore::SqliteIndexStore(sqlite3* db) : feed_(db) {
  defsOf_ = Statement(
      db, "SELECT number, correlative FROM item_indexes WHERE section=?1 ORDER BY number");
  findDef_ = Statement(db, "SELECT number FROM item_indexes WHERE section=?1 AND correlative=?2");
  existsDef_ = Statement(db, "SELECT 1 FROM item_indexes WHERE number=?1");
  insertDef_ = Statement(db, "INSERT INTO item_indexes(section, correlative) VALUES(?1, ?2)");
  dropDef_ = Statement(db, "DELETE FROM item_indexes WHERE number=?1");
  dropDefsOf_ = Statement(db, "DELETE FROM item_indexes WHERE section=?1");
  clearEntries_ = Statement(db, "DELETE FROM index_entries WHERE ix=?1");
  dropEntriesOf_ = Statement(
      db,
      "DELETE FROM index_entries WHERE ix IN (SELECT number FROM item_indexes WHERE section=?1)");
  insertEntry_ = Statement(db, "INSERT OR REPLACE INTO index_entries VALUES(?1, ?2, ?3, ?4, ?5)");
  insertAll_ = Statement(db, (std::string("INSERT OR REPLACE INTO index_entries SELECT ?1, key, "
                                          "item, vc, id FROM ") +
                              EntryFeed::kTable)
                                 .c_str());
  respellEntry_ = Statement(db,
                            "UPDATE index_entries SET id=?5 WHERE ix=?1 AND key=?2 AND item=?3 "
                            "AND vc=?4 AND id IS NOT ?5");
  deleteEntry_ =
      Statement(db, "DELETE FROM index_entries WHERE ix=?1 AND key=?2 AND item=?3 AND vc=?4");
  // In the order of Probe.
  const char* const probes[kProbes][2] = {
      {"AND key>=?2", kUp},
      {"AND key>?2", kUp},
      {"AND (key, item, vc)>(?2, ?3, ?4)", kUp},
      {"AND key<?2", kDown},
      {"AND (key, item, vc)<(?2, ?3, ?4)", kDown},
      {"", kDown},
      {"AND key<=?2", kDown},
      {"AND key=?2", kUp},
      {"AND key=?2 AND item=?3 AND (?4<=0 OR vc=?4)", kUp},
  };
  for (int i = 0; i < kProbes; ++i) probes_[i] = hitQuery(db, probes[i][0], probes[i][1]);
  idsUnder_ = Statement(db,
                        "SELECT coalesce(id, item) FROM index_entries WHERE ix=?1 AND key=?2 "
                        "ORDER BY item, vc");
}

std::optional<std::int64_t> SqliteIndexStore::find(const Section& s, const Correlative& c) {
  const std::string text = c.text();
  Statement::Use q(findDef_);
  q.bind(1, s.id).bind(2, std::string_view(text));
  if (!q.step()) return std::nullopt;
  return q.integer(0);
}

bool SqliteIndexStore::exists(std::int64_t number) {
  Statement::Use q(existsDef_);
  q.bind(1, number);
  return q.step();
}

std::int64_t SqliteIndexStore::build(const Section& s, const Correlative& c,
                                     const ItemVisitor& forEachItem) {
  std::int64_t number = 0;
  if (std::optional<std::int64_t> existing = find(s, c)) {
    number = *existing;
    Statement::Use(clearEntries_).bind(1, number).run();
  } else {
    const std::string text = c.text();
    Statement::Use(insertDef_).bind(1, s.id).bind(2, std::string_view(text)).run();
    Statement::Use q(findDef_);
    q.bind(1, s.id).bind(2, std::string_view(text));
    if (!q.step()) throw sqliteError(SQLITE_INTERNAL, "index definition vanished");
    number = q.integer(0);
  }
  const IndexEntries entries(c, s.caseFold, forEachItem);
  const EntryFeed::Serving serving(feed_, entries);
  Statement::Use(insertAll_).bind(1, number).run();
  return number;
}

bool SqliteIndexStore::drop(const Section& s, const Correlative& c) {
  std::optional<std::int64_t> number = find(s, c);
  if (!number) return false;
  Statement::Use(clearEntries_).bind(1, *number).run();
  Statement::Use(dropDef_).bind(1, *number).run();
  return true;
}

std::string_view SqliteIndexStore::itemKey(bool foldIds, std::string_view id) {
  if (!foldIds) return id;
  scratch_.assign(id);
  for (char& ch : scratch_)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  return scratch_;
}

void SqliteIndexStore::readDefinitions(const Section& s, std::vector<Definition>& out) {
  out.clear();
  Statement::Use q(defsOf_);
  q.bind(1, s.id);
  while (q.step()) {
    if (std::optional<Correlative> c = parseCorrelative(q.bytes(1)))
      out.push_back({q.integer(0), std::move(*c)});
  }
}

void SqliteIndexStore::changeEntries(EntryChange change, std::int64_t number, const Section& s,
                                     std::string_view id, const std::vector<KeyValue>& keys) {
  const std::string_view item = itemKey(s.caseFold, id);
  Statement& statement = change == EntryChange::kInsert   ? insertEntry_
                         : change == EntryChange::kDelete ? deleteEntry_
                                                          : respellEntry_;
  for (const KeyValue& k : keys) {
    Statement::Use q(statement);
    q.bind(1, number).bind(2, std::string_view(k.key)).bind(3, item);
    q.bind(4, static_cast<std::int64_t>(k.vc));
    // The spelling is kept only where folding changed it, as the items table keeps it.
    if (change != EntryChange::kDelete && item != id) q.bind(5, id);
    q.run();
  }
}

void SqliteIndexStore::clearEntries(std::int64_t number) {
  Statement::Use(clearEntries_).bind(1, number).run();
}

void SqliteIndexStore::dropDefinitions(const Section& s) {
  Statement::Use(dropEntriesOf_).bind(1, s.id).run();
  Statement::Use(dropDefsOf_).bind(1, s.id).run();
}

bool SqliteIndexStore::probe(Probe kind, std::int64_t number, std::string_view key,
                             std::string_view item, long vc, IndexHit& hit) {
  const int uses = kProbeParameters[static_cast<int>(kind)];
  Statement::Use q(probes_[static_cast<int>(kind)]);
  q.bind(1, number);
  if (uses >= 1) q.bind(2, key);
  if (uses >= 2) q.bind(3, item);
  if (uses >= 3) q.bind(4, static_cast<std::int64_t>(vc));
  if (!q.step()) return false;
  hit.key.assign(q.bytes(0));
  hit.vc = static_cast<long>(q.integer(1));
  hit.ids.assign(q.bytes(2));
  return true;
}

void SqliteIndexStore::idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) {
  Statement::Use q(idsUnder_);
  q.bind(1, number).bind(2, key);
  hit.ids.clear();
  hit.vc = 0;
  while (q.step()) {
    if (hit.vc++ > 0) hit.ids.push_back(kAttributeMark);
    hit.ids.append(q.bytes(0));
  }
}

}  // namespace tarn::server::store
