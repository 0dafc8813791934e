#include "server/engine/store/sqlite/text_form.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/text/utf8.h"

namespace tarn::server::store {
namespace {

bool hasTable(sqlite3* db, const char* name) {
  Statement s(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1");
  Statement::Use use(s);
  use.bindText(1, name);
  return use.step();
}

// Rewrites the rows of a table whose byte columns change, deleting every old row before any new
// one goes in: a converted key may equal another row's key that is still waiting to be converted.
void convertRows(sqlite3* db, const char* select, const char* remove, const char* insert,
                 int keyColumns, int columns) {
  struct Row {
    std::vector<std::string> before, after;
    std::vector<bool> null;
  };
  std::vector<Row> changed;
  {
    Statement s(db, select);
    Statement::Use use(s);
    while (use.step()) {
      Row row;
      bool differs = false;
      for (int c = 0; c < columns; ++c) {
        row.null.push_back(use.isNull(c));
        row.before.emplace_back(use.bytes(c));
        row.after.push_back(text::fromWindows1252(row.before.back()));
        differs = differs || row.after.back() != row.before.back();
      }
      if (differs) changed.push_back(std::move(row));
    }
  }
  Statement del(db, remove);
  for (const Row& row : changed) {
    Statement::Use use(del);
    for (int c = 0; c < keyColumns; ++c) use.bind(c + 1, row.before[c]);
    use.run();
  }
  Statement ins(db, insert);
  for (const Row& row : changed) {
    Statement::Use use(ins);
    for (int c = 0; c < columns; ++c) {
      if (!row.null[c]) use.bind(c + 1, row.after[c]);
    }
    use.run();
  }
}

}  // namespace

void adoptUtf8Text(sqlite3* db) {
  if (hasTable(db, "text_form")) return;
  if (hasTable(db, "items")) {
    // Section names are TEXT and keep their ids (items refer to them), so they change in place.
    {
      Statement s(db, "SELECT id, file, name FROM sections");
      Statement up(db, "UPDATE sections SET file=?2, name=?3 WHERE id=?1");
      std::vector<std::tuple<std::int64_t, std::string, std::string>> rows;
      {
        Statement::Use use(s);
        while (use.step()) {
          rows.emplace_back(use.integer(0), text::fromWindows1252(use.bytes(1)),
                            text::fromWindows1252(use.bytes(2)));
        }
      }
      for (const auto& [id, file, name] : rows) {
        Statement::Use use(up);
        use.bind(1, id).bindText(2, file).bindText(3, name).run();
      }
    }
    convertRows(db, "SELECT CAST(section AS BLOB), key, id, body FROM items",
                "DELETE FROM items WHERE section=CAST(?1 AS INTEGER) AND key=?2",
                "INSERT INTO items(section, key, id, body) VALUES(CAST(?1 AS INTEGER),?2,?3,?4)", 2,
                4);
    convertRows(db,
                "SELECT CAST(section AS BLOB), CAST(kind AS BLOB), item, CAST(port AS BLOB), "
                "CAST(pid AS BLOB), CAST(start AS BLOB) FROM locks",
                "DELETE FROM locks WHERE section=CAST(?1 AS INTEGER) AND kind=CAST(?2 AS INTEGER) "
                "AND item=?3",
                "INSERT INTO locks(section, kind, item, port, pid, start) VALUES(CAST(?1 AS "
                "INTEGER), CAST(?2 AS INTEGER), ?3, CAST(?4 AS INTEGER), CAST(?5 AS INTEGER), "
                "CAST(?6 AS INTEGER))",
                3, 6);
  }
  exec(db, "CREATE TABLE text_form(form TEXT NOT NULL); INSERT INTO text_form VALUES('UTF-8')");
}

}  // namespace tarn::server::store
