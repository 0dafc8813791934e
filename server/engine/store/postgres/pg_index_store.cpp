#include "server/engine/store/postgres/pg_index_store.h"

#include <iterator>
#include <utility>

namespace tarn::server::store::postgres {
namespace {

// Entries name their item by the item's stored key (folded where the file folds ids) and keep
// the spelling only where folding changed it, as the items table does.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS @.item_indexes(
  number bigserial PRIMARY KEY,
  section bigint NOT NULL,
  correlative bytea NOT NULL,
  UNIQUE(section, correlative));
CREATE TABLE IF NOT EXISTS @.index_entries(
  ix bigint NOT NULL,
  key bytea NOT NULL,
  item bytea NOT NULL,
  vc bigint NOT NULL,
  id bytea,
  PRIMARY KEY(ix, key, item, vc));
)sql";

#define TARN_HIT "SELECT key, vc, coalesce(id, item) FROM @.index_entries WHERE ix=$1 "
#define TARN_UP " ORDER BY key, item, vc LIMIT 1"
#define TARN_DOWN " ORDER BY key DESC, item DESC, vc DESC LIMIT 1"

using sql::IndexStatement;
constexpr IndexStatement probe(int kind) {
  return static_cast<IndexStatement>(static_cast<int>(IndexStatement::kProbe) + kind);
}

// Name, SQL, and a letter per parameter: 'i' int8, 'b' bytea.
struct StatementText {
  IndexStatement id;
  const char* name;
  const char* sql;
  const char* types;
};
constexpr StatementText kStatementSql[] = {
    {IndexStatement::kDefinitions, "ix_defs",
     "SELECT number, correlative FROM @.item_indexes WHERE section=$1 ORDER BY number", "i"},
    {IndexStatement::kFind, "ix_find",
     "SELECT number FROM @.item_indexes WHERE section=$1 AND correlative=$2", "ib"},
    {IndexStatement::kExists, "ix_exists", "SELECT 1 FROM @.item_indexes WHERE number=$1", "i"},
    {IndexStatement::kInsert, "ix_insert",
     "INSERT INTO @.item_indexes(section, correlative) VALUES($1, $2) RETURNING number", "ib"},
    {IndexStatement::kDrop, "ix_drop", "DELETE FROM @.item_indexes WHERE number=$1", "i"},
    {IndexStatement::kDropOf, "ix_drop_of", "DELETE FROM @.item_indexes WHERE section=$1", "i"},
    {IndexStatement::kClearEntries, "ix_clear", "DELETE FROM @.index_entries WHERE ix=$1", "i"},
    {IndexStatement::kDropEntriesOf, "ix_clear_of",
     "DELETE FROM @.index_entries WHERE ix IN (SELECT number FROM @.item_indexes WHERE section=$1)",
     "i"},
    {IndexStatement::kInsertEntry, "ix_entry",
     "INSERT INTO @.index_entries VALUES($1, $2, $3, $4, $5) "
     "ON CONFLICT(ix, key, item, vc) DO UPDATE SET id=excluded.id",
     "ibbib"},
    {IndexStatement::kRespellEntry, "ix_respell",
     "UPDATE @.index_entries SET id=$5 WHERE ix=$1 AND key=$2 AND item=$3 AND vc=$4 "
     "AND id IS DISTINCT FROM $5",
     "ibbib"},
    {IndexStatement::kDeleteEntry, "ix_unentry",
     "DELETE FROM @.index_entries WHERE ix=$1 AND key=$2 AND item=$3 AND vc=$4", "ibbi"},
    {IndexStatement::kIdsUnder, "ix_x",
     "SELECT coalesce(id, item) FROM @.index_entries WHERE ix=$1 AND key=$2 ORDER BY item, vc",
     "ib"},
    // The probes, in the order of Probe.
    {probe(0), "ix_c", TARN_HIT "AND key>=$2" TARN_UP, "ib"},
    {probe(1), "ix_nk", TARN_HIT "AND key>$2" TARN_UP, "ib"},
    {probe(2), "ix_n", TARN_HIT "AND (key, item, vc)>($2, $3, $4)" TARN_UP, "ibbi"},
    {probe(3), "ix_pk", TARN_HIT "AND key<$2" TARN_DOWN, "ib"},
    {probe(4), "ix_p", TARN_HIT "AND (key, item, vc)<($2, $3, $4)" TARN_DOWN, "ibbi"},
    {probe(5), "ix_l", TARN_HIT TARN_DOWN, "i"},
    {probe(6), "ix_lk", TARN_HIT "AND key<=$2" TARN_DOWN, "ib"},
    {probe(7), "ix_r", TARN_HIT "AND key=$2" TARN_UP, "ib"},
    {probe(8), "ix_v", TARN_HIT "AND key=$2 AND item=$3 AND ($4<=0 OR vc=$4)" TARN_UP, "ibbi"},
};
static_assert(std::size(kStatementSql) == sql::kIndexStatements);

}  // namespace

const char* PgIndexStore::schema() noexcept {
  return kSchema;
}

PgIndexStore::PgIndexStore(Session& session, std::string tag, std::string schema)
    : session_(session), tag_(std::move(tag)), schema_(std::move(schema)) {
  for (const StatementText& t : kStatementSql)
    queries_[static_cast<int>(t.id)] = schemaQuery(tag_, schema_, t.name, t.sql, t.types);
  serialiseSection_ =
      schemaQuery(tag_, schema_, "ix_serialise", "SELECT pg_advisory_xact_lock($1)", "i");
  copyEntries_ = schemaQuery("", schema_, "",
                             "COPY @.index_entries(ix, key, item, vc, id) FROM STDIN "
                             "(FORMAT binary)",
                             "")
                     .sql;
}

std::int64_t PgIndexStore::build(const Section& s, const Correlative& c,
                                 const ItemVisitor& forEachItem) {
  // Writers of s hold the section's lock shared: those under way finish before the items are
  // read, and those after see the definition and keep the entries.
  session_.run(serialiseSection_, Params().add(lockKey('S', schema_, s.id)));
  const std::int64_t number = define(s, c);
  const IndexEntries entries(c, s.caseFold, forEachItem);
  if (entries.size() > 0) {
    CopyRows copy;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const IndexEntries::Entry e = entries[i];
      copy.beginRow(5);
      copy.field(number);
      copy.field(e.key);
      copy.field(e.item);
      copy.field(static_cast<std::int64_t>(e.vc));
      if (e.id.empty())
        copy.null();
      else
        copy.field(e.id);
    }
    session_.copyIn(copyEntries_, copy.finish());
  }
  return number;
}

}  // namespace tarn::server::store::postgres
