// The SQL that both stores run as it stands: the index statements and most of the account's.
// A store's own table holds only what its schema spells differently (folded names, the lock rows'
// liveness, a store's own conflict clause).
// The text is written once in a neutral form: $N is the Nth bound value, "@." the account's
// schema (nothing on SQLite, where an account is a database of its own), and types gives a letter
// per parameter, 'i' integer or 'b' bytes, for a store that declares them when it prepares.
#pragma once

#include <cstddef>
#include <iterator>

#include "server/engine/store/sql/sql_seam.h"

namespace tarn::server::store::sql {

template <typename Id>
struct StatementText {
  Id id;
  const char* sql;
  const char* types = "";
};

inline constexpr StatementText<Statement> kSharedStatements[] = {
    {Statement::kRead, "SELECT body FROM @.items WHERE section=$1 AND key=$2", "ib"},
    // An overwrite updates the row in place: the key index is left as it is.
    {Statement::kWrite,
     "INSERT INTO @.items(section, key, id, body) VALUES($1, $2, $3, $4) "
     "ON CONFLICT(section, key) DO UPDATE SET id=excluded.id, body=excluded.body",
     "ibbb"},
    {Statement::kDelete, "DELETE FROM @.items WHERE section=$1 AND key=$2", "ib"},
    {Statement::kClear, "DELETE FROM @.items WHERE section=$1", "i"},
    {Statement::kDropSection, "DELETE FROM @.sections WHERE id=$1", "i"},
    {Statement::kDropItems, "DELETE FROM @.items WHERE section=$1", "i"},
    {Statement::kDropLocks, "DELETE FROM @.locks WHERE section=$1", "i"},
    {Statement::kDeleteLock,
     "DELETE FROM @.locks WHERE section=$1 AND kind=$2 AND item=$3 AND port=$4 AND pid=$5 AND "
     "start=$6",
     "iibiii"},
    {Statement::kDeleteOwner, "DELETE FROM @.locks WHERE pid=$1 AND start=$2 AND port=$3", "iii"},
    {Statement::kDeleteOwnerLocks,
     "DELETE FROM @.locks WHERE pid=$1 AND start=$2 AND port=$3 AND kind<2", "iii"},
    {Statement::kClearCredentials, "DELETE FROM @.credentials", ""},
    {Statement::kInsertCredentials, "INSERT INTO @.credentials VALUES($1, $2)", "bb"},
    {Statement::kAddFailed,
     "INSERT INTO @.failed_logons AS f(source, count) VALUES($1, 1) "
     "ON CONFLICT(source) DO UPDATE SET count=f.count+1 RETURNING count",
     "b"},
    {Statement::kClearFailed, "DELETE FROM @.failed_logons WHERE source=$1", "b"},
    {Statement::kFailed, "SELECT count FROM @.failed_logons WHERE source=$1", "b"},
    {Statement::kGrant, "INSERT INTO @.grants(account) VALUES($1) ON CONFLICT DO NOTHING", "b"},
    {Statement::kRevoke, "DELETE FROM @.grants WHERE account=$1", "b"},
    {Statement::kGrants, "SELECT 1 FROM @.grants WHERE account=$1", "b"},
    {Statement::kGrantees, "SELECT account FROM @.grants ORDER BY account", ""},
};
// Whether a store's own table and the shared one give every statement exactly once.
template <std::size_t N>
constexpr bool coversAll(const StatementText<Statement> (&own)[N]) {
  int given[kStatements] = {};
  for (const auto& t : kSharedStatements) ++given[static_cast<int>(t.id)];
  for (const auto& t : own) ++given[static_cast<int>(t.id)];
  for (int n : given)
    if (n != 1) return false;
  return true;
}

#define TARN_HIT "SELECT key, vc, coalesce(id, item) FROM @.index_entries WHERE ix=$1 "
#define TARN_UP " ORDER BY key, item, vc LIMIT 1"
#define TARN_DOWN " ORDER BY key DESC, item DESC, vc DESC LIMIT 1"

constexpr IndexStatement probeStatement(int kind) {
  return static_cast<IndexStatement>(static_cast<int>(IndexStatement::kProbe) + kind);
}

// Entries name their item by the item's stored key (folded where the file folds ids) and keep
// the spelling only where folding changed it, as the items table does.
inline constexpr StatementText<IndexStatement> kIndexStatementText[] = {
    {IndexStatement::kDefinitions,
     "SELECT number, correlative FROM @.item_indexes WHERE section=$1 ORDER BY number", "i"},
    {IndexStatement::kFind,
     "SELECT number FROM @.item_indexes WHERE section=$1 AND correlative=$2", "ib"},
    {IndexStatement::kExists, "SELECT 1 FROM @.item_indexes WHERE number=$1", "i"},
    {IndexStatement::kInsert,
     "INSERT INTO @.item_indexes(section, correlative) VALUES($1, $2) RETURNING number", "ib"},
    {IndexStatement::kDrop, "DELETE FROM @.item_indexes WHERE number=$1", "i"},
    {IndexStatement::kDropOf, "DELETE FROM @.item_indexes WHERE section=$1", "i"},
    {IndexStatement::kClearEntries, "DELETE FROM @.index_entries WHERE ix=$1", "i"},
    {IndexStatement::kDropEntriesOf,
     "DELETE FROM @.index_entries WHERE ix IN (SELECT number FROM @.item_indexes WHERE section=$1)",
     "i"},
    {IndexStatement::kInsertEntry,
     "INSERT INTO @.index_entries VALUES($1, $2, $3, $4, $5) "
     "ON CONFLICT(ix, key, item, vc) DO UPDATE SET id=excluded.id",
     "ibbib"},
    {IndexStatement::kRespellEntry,
     "UPDATE @.index_entries SET id=$5 WHERE ix=$1 AND key=$2 AND item=$3 AND vc=$4 "
     "AND id IS DISTINCT FROM $5",
     "ibbib"},
    {IndexStatement::kDeleteEntry,
     "DELETE FROM @.index_entries WHERE ix=$1 AND key=$2 AND item=$3 AND vc=$4", "ibbi"},
    {IndexStatement::kIdsUnder,
     "SELECT coalesce(id, item) FROM @.index_entries WHERE ix=$1 AND key=$2 ORDER BY item, vc",
     "ib"},
    // The probes, in the order of IndexStore::Probe.
    {probeStatement(0), TARN_HIT "AND key>=$2" TARN_UP, "ib"},
    {probeStatement(1), TARN_HIT "AND key>$2" TARN_UP, "ib"},
    {probeStatement(2), TARN_HIT "AND (key, item, vc)>($2, $3, $4)" TARN_UP, "ibbi"},
    {probeStatement(3), TARN_HIT "AND key<$2" TARN_DOWN, "ib"},
    {probeStatement(4), TARN_HIT "AND (key, item, vc)<($2, $3, $4)" TARN_DOWN, "ibbi"},
    {probeStatement(5), TARN_HIT TARN_DOWN, "i"},
    {probeStatement(6), TARN_HIT "AND key<=$2" TARN_DOWN, "ib"},
    {probeStatement(7), TARN_HIT "AND key=$2" TARN_UP, "ib"},
    {probeStatement(8), TARN_HIT "AND key=$2 AND item=$3 AND ($4<=0 OR vc=$4)" TARN_UP, "ibbi"},
};
static_assert(std::size(kIndexStatementText) == kIndexStatements);

#undef TARN_HIT
#undef TARN_UP
#undef TARN_DOWN

}  // namespace tarn::server::store::sql
