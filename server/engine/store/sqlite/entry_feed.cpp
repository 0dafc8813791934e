#include "server/engine/store/sqlite/entry_feed.h"

#include <cstdint>
#include <new>

#include "server/engine/store/sqlite/sqlite.h"

namespace tarn::server::store {
namespace {

struct Table : sqlite3_vtab {
  EntryFeed::Source* source = nullptr;
};

struct Cursor : sqlite3_vtab_cursor {
  const IndexEntries* entries = nullptr;
  std::size_t at = 0;
};

enum Column { kKey, kItem, kVc, kId };

int connect(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char**) {
  const int rc =
      sqlite3_declare_vtab(db, "CREATE TABLE x(key BLOB, item BLOB, vc INTEGER, id BLOB)");
  if (rc != SQLITE_OK) return rc;
  auto* table = new (std::nothrow) Table();
  if (table == nullptr) return SQLITE_NOMEM;
  table->source = static_cast<EntryFeed::Source*>(aux);
  *out = table;
  return SQLITE_OK;
}

int disconnect(sqlite3_vtab* table) {
  delete static_cast<Table*>(table);
  return SQLITE_OK;
}

// One plan: a scan in entry order, which is also the order of the entries table's key.
int bestIndex(sqlite3_vtab* table, sqlite3_index_info* info) {
  const IndexEntries* entries = static_cast<Table*>(table)->source->entries;
  const double rows = entries == nullptr ? 1.0 : static_cast<double>(entries->size());
  info->estimatedCost = rows;
  info->estimatedRows = static_cast<sqlite3_int64>(rows);
  return SQLITE_OK;
}

int open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  auto* cursor = new (std::nothrow) Cursor();
  if (cursor == nullptr) return SQLITE_NOMEM;
  *out = cursor;
  return SQLITE_OK;
}

int close(sqlite3_vtab_cursor* cursor) {
  delete static_cast<Cursor*>(cursor);
  return SQLITE_OK;
}

int filter(sqlite3_vtab_cursor* base, int, const char*, int, sqlite3_value**) {
  auto* cursor = static_cast<Cursor*>(base);
  cursor->entries = static_cast<Table*>(cursor->pVtab)->source->entries;
  cursor->at = 0;
  return SQLITE_OK;
}

int next(sqlite3_vtab_cursor* base) {
  ++static_cast<Cursor*>(base)->at;
  return SQLITE_OK;
}

int eof(sqlite3_vtab_cursor* base) {
  const auto* cursor = static_cast<Cursor*>(base);
  return cursor->entries == nullptr || cursor->at >= cursor->entries->size() ? 1 : 0;
}

void blob(sqlite3_context* ctx, std::string_view bytes) {
  // The entries outlive the statement that reads them, so SQLite need not copy.
  sqlite3_result_blob(ctx, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
}

int column(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int n) {
  const auto* cursor = static_cast<Cursor*>(base);
  const IndexEntries::Entry e = (*cursor->entries)[cursor->at];
  switch (n) {
    case kKey:
      blob(ctx, e.key);
      break;
    case kItem:
      blob(ctx, e.item);
      break;
    case kVc:
      sqlite3_result_int64(ctx, e.vc);
      break;
    case kId:
      // The spelling is kept only where folding changed it.
      if (e.id.empty())
        sqlite3_result_null(ctx);
      else
        blob(ctx, e.id);
      break;
    default:
      sqlite3_result_null(ctx);
  }
  return SQLITE_OK;
}

int rowid(sqlite3_vtab_cursor* base, sqlite3_int64* out) {
  *out = static_cast<sqlite3_int64>(static_cast<Cursor*>(base)->at);
  return SQLITE_OK;
}

void destroySource(void* source) {
  delete static_cast<EntryFeed::Source*>(source);
}

sqlite3_module makeModule() {
  sqlite3_module m{};
  // No xCreate: the table exists on every connection the module is registered on, by name.
  m.xConnect = connect;
  m.xBestIndex = bestIndex;
  m.xDisconnect = disconnect;
  m.xOpen = open;
  m.xClose = close;
  m.xFilter = filter;
  m.xNext = next;
  m.xEof = eof;
  m.xColumn = column;
  m.xRowid = rowid;
  return m;
}

const sqlite3_module kModule = makeModule();

}  // namespace

EntryFeed::EntryFeed(sqlite3* db) : source_(new Source()) {
  // SQLite owns the source from here on, and frees it with the connection (or at once on failure).
  check(db, sqlite3_create_module_v2(db, kTable, &kModule, source_, destroySource),
        "register the entry feed");
}

EntryFeed::Serving::Serving(EntryFeed& feed, const IndexEntries& entries) noexcept : feed_(feed) {
  feed_.source_->entries = &entries;
}

EntryFeed::Serving::~Serving() {
  feed_.source_->entries = nullptr;
}

}  // namespace tarn::server::store
