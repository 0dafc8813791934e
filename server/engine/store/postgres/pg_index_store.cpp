#include "server/engine/store/postgres/pg_index_store.h"

#include <utility>

namespace tarn::server::store::postgres {
namespace {

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

}  // namespace

const char* PgIndexStore::schema() noexcept {
  return kSchema;
}

PgIndexStore::PgIndexStore(Session& session, std::string tag, std::string schema)
    : session_(session), tag_(std::move(tag)), schema_(std::move(schema)) {
  prepareAll(tag_ + "x", schema_, sql::kIndexStatementText, queries_);
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
