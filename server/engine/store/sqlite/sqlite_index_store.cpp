#include "server/engine/store/sqlite/sqlite_index_store.h"

#include <iterator>
#include <string>
#include <utility>

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

#define TARN_HIT "SELECT key, vc, coalesce(id, item) FROM index_entries WHERE ix=?1 "
#define TARN_UP " ORDER BY key, item, vc LIMIT 1"
#define TARN_DOWN " ORDER BY key DESC, item DESC, vc DESC LIMIT 1"

using sql::IndexStatement;

constexpr std::pair<IndexStatement, const char*> kStatementSql[] = {
    {IndexStatement::kDefinitions,
     "SELECT number, correlative FROM item_indexes WHERE section=?1 ORDER BY number"},
    {IndexStatement::kFind, "SELECT number FROM item_indexes WHERE section=?1 AND correlative=?2"},
    {IndexStatement::kExists, "SELECT 1 FROM item_indexes WHERE number=?1"},
    {IndexStatement::kInsert,
     "INSERT INTO item_indexes(section, correlative) VALUES(?1, ?2) RETURNING number"},
    {IndexStatement::kDrop, "DELETE FROM item_indexes WHERE number=?1"},
    {IndexStatement::kDropOf, "DELETE FROM item_indexes WHERE section=?1"},
    {IndexStatement::kClearEntries, "DELETE FROM index_entries WHERE ix=?1"},
    {IndexStatement::kDropEntriesOf,
     "DELETE FROM index_entries WHERE ix IN (SELECT number FROM item_indexes WHERE section=?1)"},
    {IndexStatement::kInsertEntry,
     "INSERT OR REPLACE INTO index_entries VALUES(?1, ?2, ?3, ?4, ?5)"},
    {IndexStatement::kRespellEntry,
     "UPDATE index_entries SET id=?5 WHERE ix=?1 AND key=?2 AND item=?3 AND vc=?4 AND id IS NOT "
     "?5"},
    {IndexStatement::kDeleteEntry,
     "DELETE FROM index_entries WHERE ix=?1 AND key=?2 AND item=?3 AND vc=?4"},
    {IndexStatement::kIdsUnder,
     "SELECT coalesce(id, item) FROM index_entries WHERE ix=?1 AND key=?2 ORDER BY item, vc"},
    // The probes, in the order of Probe.
    {IndexStatement::kProbe, TARN_HIT "AND key>=?2" TARN_UP},
    {IndexStatement(int(IndexStatement::kProbe) + 1), TARN_HIT "AND key>?2" TARN_UP},
    {IndexStatement(int(IndexStatement::kProbe) + 2),
     TARN_HIT "AND (key, item, vc)>(?2, ?3, ?4)" TARN_UP},
    {IndexStatement(int(IndexStatement::kProbe) + 3), TARN_HIT "AND key<?2" TARN_DOWN},
    {IndexStatement(int(IndexStatement::kProbe) + 4),
     TARN_HIT "AND (key, item, vc)<(?2, ?3, ?4)" TARN_DOWN},
    {IndexStatement(int(IndexStatement::kProbe) + 5), TARN_HIT TARN_DOWN},
    {IndexStatement(int(IndexStatement::kProbe) + 6), TARN_HIT "AND key<=?2" TARN_DOWN},
    {IndexStatement(int(IndexStatement::kProbe) + 7), TARN_HIT "AND key=?2" TARN_UP},
    {IndexStatement(int(IndexStatement::kProbe) + 8),
     TARN_HIT "AND key=?2 AND item=?3 AND (?4<=0 OR vc=?4)" TARN_UP},
};
static_assert(std::size(kStatementSql) == sql::kIndexStatements);

}  // namespace

const char* SqliteIndexStore::schema() noexcept {
  return kSchema;
}

SqliteIndexStore::SqliteIndexStore(sqlite3* db) : feed_(db) {
  for (const auto& [id, text] : kStatementSql)
    statements_[static_cast<int>(id)] = Statement(db, text);
  insertAll_ = Statement(db, (std::string("INSERT OR REPLACE INTO index_entries SELECT ?1, key, "
                                          "item, vc, id FROM ") +
                              EntryFeed::kTable)
                                 .c_str());
}

std::int64_t SqliteIndexStore::build(const Section& s, const Correlative& c,
                                     const ItemVisitor& forEachItem) {
  const std::int64_t number = define(s, c);
  const IndexEntries entries(c, s.caseFold, forEachItem);
  const EntryFeed::Serving serving(feed_, entries);
  Statement::Use(insertAll_).bind(1, number).run();
  return number;
}

}  // namespace tarn::server::store
