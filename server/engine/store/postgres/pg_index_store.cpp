#include "server/engine/store/postgres/pg_index_store.h"

#include <string>
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

// The entries of index number as one binary COPY stream: the signature, flags and header
// extension length, then per row its field count and each field's length and bytes (-1 for a
// NULL), then -1 for the end. Integers are big-endian.
std::string copyStream(std::int64_t number, const IndexEntries& entries) {
  std::string out("PGCOPY\n\xff\r\n\0\0\0\0\0\0\0\0\0", 19);
  auto put = [&out](std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
  };
  auto field = [&](std::string_view bytes) {
    put(bytes.size(), 4);
    out.append(bytes);
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const IndexEntries::Entry e = entries[i];
    put(5, 2);
    put(8, 4);
    put(static_cast<std::uint64_t>(number), 8);
    field(e.key);
    field(e.item);
    put(8, 4);
    put(static_cast<std::uint64_t>(e.vc), 8);
    // The spelling is kept only where folding changed it.
    e.id.empty() ? put(0xFFFFFFFF, 4) : field(e.id);
  }
  put(0xFFFF, 2);
  return out;
}

}  // namespace

const char* PgIndexStore::schema() noexcept {
  return kSchema;
}

PgIndexStore::PgIndexStore(Session& session, std::string tag, std::string schema)
    : session_(session), schema_(std::move(schema)) {
  prepareAll(tag + "x", schema_, sql::kIndexStatementText, queries_);
  serialiseSection_ =
      schemaQuery(tag, schema_, "ix_serialise", "SELECT pg_advisory_xact_lock($1)", "i");
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
  if (entries.size() > 0) session_.copyIn(copyEntries_, copyStream(number, entries));
  return number;
}

}  // namespace tarn::server::store::postgres
