#include "server/engine/store/sqlite/text_form.h"

#include <string>

#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/text/utf8.h"

namespace tarn::server::store {
namespace {

// tarn_utf8(x): the Windows-1252 bytes of x in UTF-8, as a blob; NULL stays NULL.
void toUtf8(sqlite3_context* ctx, int, sqlite3_value** args) {
  if (sqlite3_value_type(args[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(args[0]));
  const std::string out = text::fromWindows1252(
      {bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(args[0]))});
  sqlite3_result_blob(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// Sections keep their ids (items refer to them) and change in place. Items and locks are written
// anew, every old row gone before the new ones go in: a converted key may equal the key of a row
// still waiting to be converted.
constexpr const char* kConvert = R"sql(
UPDATE sections SET file=CAST(tarn_utf8(file) AS TEXT), name=CAST(tarn_utf8(name) AS TEXT);
CREATE TEMP TABLE converted AS
  SELECT section, tarn_utf8(key), tarn_utf8(id), tarn_utf8(body) FROM items;
DELETE FROM items;
INSERT INTO items(section, key, id, body) SELECT * FROM converted;
DROP TABLE converted;
CREATE TEMP TABLE converted AS SELECT section, kind, tarn_utf8(item), port, pid, start FROM locks;
DELETE FROM locks;
INSERT INTO locks SELECT * FROM converted;
DROP TABLE converted;
)sql";

}  // namespace

void adoptUtf8Text(sqlite3* db) {
  if (hasTable(db, "text_form")) return;
  if (hasTable(db, "items")) {
    check(db,
          sqlite3_create_function(db, "tarn_utf8", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                  toUtf8, nullptr, nullptr),
          "register the text conversion");
    exec(db, kConvert);
  }
  exec(db, "CREATE TABLE text_form(form TEXT NOT NULL); INSERT INTO text_form VALUES('UTF-8')");
}

}  // namespace tarn::server::store
