// What an SQL store gives the account policy (sql_account.h): its statements, known by the names
// below, run with bound values; the rows they return; its transactions; and the few hooks where
// the stores really differ. The seam sits at the statement, not at the operation, so that the
// policy (which statement runs when, under which transaction, what a row means) is written once
// and a store is a table of SQL text and an adapter. It is a compile-time seam, a concept rather
// than a virtual interface: an item read or write goes straight to the store's prepared statement,
// with no virtual call or allocation added per statement or per row.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "server/engine/store/store.h"

namespace tarn::server::store::sql {

// The statements of the policy. Each lists the values it is run with, in binding order, and the
// columns of its rows. "name" values are bound as Folded (below); "section" is a section id.
enum class Statement {
  kRead,               // (section, key) -> body
  kWrite,              // (section, key, OrNull id, body); insert or overwrite
  kWriteUnlessLocked,  // (section, key, OrNull id, body, port, pid, start); changes 0 when an
                       // item or file lock of another owner, or an index on section, is there
  kDelete,             // (section, key)
  kClear,              // (section)
  kFindFile,           // (name) -> file, the first section's spelling
  kFindDictionary,     // (name) -> section columns
  kFindData,           // (name, section name) -> section columns
  kFirstData,          // (name) -> the data section named like the file, else the first
  kSections,           // (name) -> section columns, dictionary first, in creation order
  kAllSections,        // () -> section columns of every file, by file
  kInsertSection,      // (Text file, name, kind, Text section name, section name, casefold,
                       // modulo)
  kDropSection,        // (section)
  kDropItems,          // (section)
  kDropLocks,          // (section)
  kItemHolders,        // (section, key) -> lock columns: item locks on key and the file lock
  kFileHolders,        // (section) -> lock columns: every item and file lock
  kOpenHolders,        // (section) -> lock columns: open marks
  kInsertLock,         // (section, kind, item, port, pid, start, claim); replaces a held row
  kDeleteLock,         // (section, kind, item, port, pid, start)
  kDeleteOwner,        // (pid, start, port): every lock and open mark of the owner
  kDeleteOwnerLocks,   // (pid, start, port): item and file locks only
  kSweep,              // (the two sweep columns of a dead holder's lock row)
  kCredentials,        // () -> user, hash
  kClearCredentials,   // ()
  kInsertCredentials,  // (Text user, Text hash)
  kAddFailed,          // (Text source) -> the count after adding one
  kClearFailed,        // (Text source)
  kFailed,             // (Text source) -> count
  kGrant,              // (Text account); no error when granted already
  kRevoke,             // (Text account)
  kGrants,             // (Text account) -> a row when granted
  kGrantees,           // () -> account, in order
};
inline constexpr int kStatements = static_cast<int>(Statement::kGrantees) + 1;

// The statements of the index upkeep and cruising (sql_index_store.h), which the index store of
// each SQL store runs; "ix" is an index number.
enum class IndexStatement {
  kDefinitions,    // (section) -> number, correlative text, in the order they were made
  kFind,           // (section, correlative text) -> number
  kExists,         // (ix) -> a row when defined
  kInsert,         // (section, correlative text) -> number
  kDrop,           // (ix): the definition
  kDropOf,         // (section): every definition on it
  kClearEntries,   // (ix)
  kDropEntriesOf,  // (section): the entries of every index on it
  kInsertEntry,    // (ix, key, item, vc, OrNull id); an entry there already takes the spelling
  kRespellEntry,   // (ix, key, item, vc, OrNull id): the spelling of an entry kept
  kDeleteEntry,    // (ix, key, item, vc)
  kIdsUnder,       // (ix, key) -> id, in item order
  kProbe,          // (ix, key, item, vc) -> key, vc, id: the first of the probes, in the order of
                   // IndexStore::Probe; each binds as many of key, item, vc as it uses
};
inline constexpr int kProbeStatements = 9;
inline constexpr int kIndexStatements = static_cast<int>(IndexStatement::kProbe) + kProbeStatements;

// Columns of section rows: id, file, name, kind, casefold, modulo.
// Columns of lock rows: port, pid, start, kind, then two integers that kSweep takes to remove
// every lock of the holder when it is dead, then whatever the store's liveness check reads.
inline constexpr int kSectionDictionary = 0;
inline constexpr int kSectionData = 1;
inline constexpr int kLockItem = 0;
inline constexpr int kLockFile = 1;
inline constexpr int kMarkOpen = 2;

// Bound values besides integers and byte strings (std::string_view, bound as blobs / bytea). A
// store binds no more values than a statement has parameters: the rest go unused, so that one
// call can serve statements that need fewer of them.
// Text: compared as text where the store tells text from bytes (SQLite's typed columns).
struct Text {
  std::string_view text;
};
// A file or section name, matched without regard to ASCII case: a store either compares it under
// a case-blind collation or binds a folded copy.
struct Folded {
  std::string_view name;
};
// Bytes, or NULL when absent.
struct OrNull {
  std::string_view bytes;
  bool present;
};

// The rows of one run of a statement; a store's rows stay valid until the object goes.
template <typename R>
concept SqlRows = requires(R r, const R cr, int column) {
  { r.next() } -> std::same_as<bool>;  // steps to the next row; false after the last
  { cr.integer(column) } -> std::convertible_to<std::int64_t>;
  { cr.bytes(column) } -> std::convertible_to<std::string_view>;
};

// An SQL store as the policy uses it.
template <typename D>
concept SqlStore = requires(D d, const Section& s, std::string_view key, std::string& out,
                            const std::function<void(std::string_view, std::string_view)>& visit,
                            const typename D::Rows& row, const LockOwner& owner) {
  requires SqlRows<typename D::Rows>;
  // Runs a statement with the values of its parameters (a template over them, shown here with
  // one shape): query for its rows, run for the count of rows it changed.
  { d.query(Statement::kRead, std::int64_t{}, key) } -> std::same_as<typename D::Rows>;
  { d.run(Statement::kClear, std::int64_t{}) } -> std::convertible_to<std::int64_t>;
  // Runs a write ordered against the lock takers of the item (s, key), where the store's write
  // transaction does not order them already.
  { d.runOrdered(Statement::kClear, s, key, std::int64_t{}) } -> std::convertible_to<std::int64_t>;
  // Whether the holder of the lock row row (whose owner is the second argument) is still there,
  // as seen by the third.
  { d.live(row, owner, owner) } -> std::same_as<bool>;
  { d.begin() } -> std::same_as<bool>;  // false when a transaction is open already
  d.commit();
  d.rollback();
  { d.indexes() } -> std::convertible_to<IndexStore&>;
  // Make this transaction wait for, then keep out, the other takers of the item's lock or of
  // the section's locks; nothing where the write transaction serialises them already.
  d.serialiseItem(s, key);
  d.serialiseSection(s);
  // The value that kInsertLock binds last: what ties the row to this port's life, or 0.
  { d.claim() } -> std::convertible_to<std::int64_t>;
  // Marks a change of credentials or grants, inside its transaction, for protectionVersion.
  d.protectionChanged();
  { d.protectionVersion() } -> std::convertible_to<std::uint64_t>;
  // The walks, which each store reads its own way.
  { d.countItems(s) } -> std::convertible_to<std::int64_t>;
  { d.appendIds(s, out) } -> std::convertible_to<std::size_t>;
  d.forEachItem(s, visit);
};

}  // namespace tarn::server::store::sql
