// Which form an account file keeps its text in. Accounts made before the engine kept UTF-8 hold
// Windows-1252 bytes; they are converted in place the first time they are opened.
#pragma once

#include <sqlite3.h>

namespace tarn::server::store {

// Converts the account's names, item-ids, bodies and lock keys from Windows-1252 to the engine's
// UTF-8 (marks stay single bytes) unless the file says it already holds UTF-8, then says so.
// A new file is only marked. Call inside the transaction that makes the schema, before it runs.
// Throws StoreError.
void adoptUtf8Text(sqlite3* db);

}  // namespace tarn::server::store
