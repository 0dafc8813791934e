#include "server/engine/store/postgres/pg_index_store.h"

#include <algorithm>

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

constexpr const char* kHit = "SELECT key, vc, coalesce(id, item) FROM @.index_entries WHERE ix=$1 ";
constexpr const char* kUp = " ORDER BY key, item, vc LIMIT 1";
constexpr const char* kDown = " ORDER BY key DESC, item DESC, vc DESC LIMIT 1";

std::string hitSql(const char* where, const char* order) {
  return std::string(kHit) + where + order;
}

}  // namespace

const char* PgIndexStore::schema() noexcept {
  return kSchema;
}

Query PgIndexStore::query(const char* name, const char* sql, const char* types) const {
  return schemaQuery(tag_, schema_, name, sql, types);
}

PgIndexStore::PgIndexStore(Session& session, std::string tag, std::string schema)
    : session_(session), tag_(std::move(tag)), schema_(std::move(schema)) {
  defsOf_ =
      query("ix_defs",
            "SELECT number, correlative FROM @.item_indexes WHERE section=$1 ORDER BY number", "i");
  findDef_ = query("ix_find",
                   "SELECT number FROM @.item_indexes WHERE section=$1 AND correlative=$2", "ib");
  existsDef_ = query("ix_exists", "SELECT 1 FROM @.item_indexes WHERE number=$1", "i");
  insertDef_ = query("ix_insert",
                     "INSERT INTO @.item_indexes(section, correlative) VALUES($1, $2) "
                     "RETURNING number",
                     "ib");
  dropDef_ = query("ix_drop", "DELETE FROM @.item_indexes WHERE number=$1", "i");
  dropDefsOf_ = query("ix_drop_of", "DELETE FROM @.item_indexes WHERE section=$1", "i");
  clearEntries_ = query("ix_clear", "DELETE FROM @.index_entries WHERE ix=$1", "i");
  dropEntriesOf_ = query("ix_clear_of",
                         "DELETE FROM @.index_entries WHERE ix IN "
                         "(SELECT number FROM @.item_indexes WHERE section=$1)",
                         "i");
  insertEntry_ = query("ix_entry",
                       "INSERT INTO @.index_entries VALUES($1, $2, $3, $4, $5) "
                       "ON CONFLICT(ix, key, item, vc) DO UPDATE SET id=excluded.id",
                       "ibbib");
  respellEntry_ = query("ix_respell",
                        "UPDATE @.index_entries SET id=$5 WHERE ix=$1 AND key=$2 AND item=$3 "
                        "AND vc=$4 AND id IS DISTINCT FROM $5",
                        "ibbib");
  deleteEntry_ =
      query("ix_unentry",
            "DELETE FROM @.index_entries WHERE ix=$1 AND key=$2 AND item=$3 AND vc=$4", "ibbi");
  // In the order of Probe; each takes the index number, then the probe's parameters.
  const char* const probes[kProbes][3] = {
      {"ix_c", "AND key>=$2", kUp},
      {"ix_nk", "AND key>$2", kUp},
      {"ix_n", "AND (key, item, vc)>($2, $3, $4)", kUp},
      {"ix_pk", "AND key<$2", kDown},
      {"ix_p", "AND (key, item, vc)<($2, $3, $4)", kDown},
      {"ix_l", "", kDown},
      {"ix_lk", "AND key<=$2", kDown},
      {"ix_r", "AND key=$2", kUp},
      {"ix_v", "AND key=$2 AND item=$3 AND ($4<=0 OR vc=$4)", kUp},
  };
  for (int i = 0; i < kProbes; ++i)
    probes_[i] = query(probes[i][0], hitSql(probes[i][1], probes[i][2]).c_str(),
                       std::string("ibbi").substr(0, 1 + kProbeParameters[i]).c_str());
  serialiseSection_ = query("ix_serialise", "SELECT pg_advisory_xact_lock($1)", "i");
  idsUnder_ = query("ix_x",
                    "SELECT coalesce(id, item) FROM @.index_entries WHERE ix=$1 AND key=$2 "
                    "ORDER BY item, vc",
                    "ib");
  copyEntries_ = schemaQuery("", schema_, "",
                             "COPY @.index_entries(ix, key, item, vc, id) FROM STDIN "
                             "(FORMAT binary)",
                             "")
                     .sql;
}

std::optional<std::int64_t> PgIndexStore::find(const Section& s, const Correlative& c) {
  const std::string text = c.text();
  Result r = session_.run(findDef_, Params().add(s.id).add(text));
  if (r.rows() == 0) return std::nullopt;
  return r.integer(0, 0);
}

bool PgIndexStore::exists(std::int64_t number) {
  return session_.run(existsDef_, Params().add(number)).rows() > 0;
}

std::int64_t PgIndexStore::build(const Section& s, const Correlative& c,
                                 const ItemVisitor& forEachItem) {
  // Writers of s hold the section's lock shared: those under way finish before the items are
  // read, and those after see the definition and keep the entries.
  session_.run(serialiseSection_, Params().add(lockKey('S', schema_, s.id)));
  std::int64_t number = 0;
  if (std::optional<std::int64_t> existing = find(s, c)) {
    number = *existing;
    session_.run(clearEntries_, Params().add(number));
  } else {
    const std::string text = c.text();
    number = session_.run(insertDef_, Params().add(s.id).add(text)).integer(0, 0);
  }
  // Entries go in by one binary COPY, in entry order.
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

bool PgIndexStore::drop(const Section& s, const Correlative& c) {
  std::optional<std::int64_t> number = find(s, c);
  if (!number) return false;
  session_.run(clearEntries_, Params().add(*number));
  session_.run(dropDef_, Params().add(*number));
  return true;
}

void PgIndexStore::readDefinitions(const Section& s, std::vector<Definition>& out) {
  out.clear();
  Result r = session_.run(defsOf_, Params().add(s.id));
  for (int i = 0; i < r.rows(); ++i)
    if (std::optional<Correlative> c = parseCorrelative(r.bytes(i, 1)))
      out.push_back({r.integer(i, 0), std::move(*c)});
}

void PgIndexStore::changeEntries(EntryChange change, std::int64_t number, const Section& s,
                                 std::string_view id, const std::vector<KeyValue>& keys) {
  const std::string_view item = itemKey(s, id, scratch_);
  const Query& q = change == EntryChange::kInsert   ? insertEntry_
                   : change == EntryChange::kDelete ? deleteEntry_
                                                    : respellEntry_;
  for (const KeyValue& k : keys) {
    Params p;
    p.add(number).add(std::string_view(k.key)).add(item).add(static_cast<std::int64_t>(k.vc));
    // The spelling is kept only where folding changed it, as the items table keeps it.
    if (change != EntryChange::kDelete) {
      if (item != id)
        p.add(id);
      else
        p.null();
    }
    session_.run(q, p);
  }
}

void PgIndexStore::clearEntries(std::int64_t number) {
  session_.run(clearEntries_, Params().add(number));
}

void PgIndexStore::dropDefinitions(const Section& s) {
  session_.run(dropEntriesOf_, Params().add(s.id));
  session_.run(dropDefsOf_, Params().add(s.id));
}

bool PgIndexStore::probe(Probe kind, std::int64_t number, std::string_view key,
                         std::string_view item, long vc, IndexHit& hit) {
  const int uses = kProbeParameters[static_cast<int>(kind)];
  Params p;
  p.add(number);
  if (uses >= 1) p.add(key);
  if (uses >= 2) p.add(item);
  if (uses >= 3) p.add(static_cast<std::int64_t>(vc));
  Result r = session_.run(probes_[static_cast<int>(kind)], p);
  if (r.rows() == 0) return false;
  hit.key.assign(r.bytes(0, 0));
  hit.vc = static_cast<long>(r.integer(0, 1));
  hit.ids.assign(r.bytes(0, 2));
  return true;
}

void PgIndexStore::idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) {
  Result r = session_.run(idsUnder_, Params().add(number).add(key));
  hit.ids.clear();
  hit.vc = 0;
  for (int i = 0; i < r.rows(); ++i) {
    if (hit.vc++ > 0) hit.ids.push_back(kAttributeMark);
    hit.ids.append(r.bytes(i, 0));
  }
}

}  // namespace tarn::server::store::postgres
