// A read-only virtual table through which a whole sorted set of index entries enters the
// entries table in one INSERT ... SELECT: SQLite then fills the b-tree in one statement run,
// without a bind, step and reset for every entry.
#pragma once

#include <sqlite3.h>

#include "server/engine/store/index_keys.h"

namespace tarn::server::store {

class EntryFeed {
 public:
  // The table's name in SQL: it has the columns (key, item, vc, id).
  static constexpr const char* kTable = "tarn_entry_feed";

  // Registers the table on db. Throws StoreError.
  explicit EntryFeed(sqlite3* db);

  // Serves entries to the statements stepped while it lives; the table is empty otherwise.
  class Serving {
   public:
    Serving(EntryFeed& feed, const IndexEntries& entries) noexcept;
    ~Serving();
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

   private:
    EntryFeed& feed_;
  };

  // What the table reads; owned by SQLite, so that it outlives neither the module nor the store.
  struct Source {
    const IndexEntries* entries = nullptr;
  };

 private:
  Source* source_;
};

}  // namespace tarn::server::store
