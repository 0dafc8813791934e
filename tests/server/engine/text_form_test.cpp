// Account files written before the engine kept UTF-8 hold Windows-1252 bytes: the first open
// converts them, once.
#include <sqlite3.h>

#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

void sql(const std::string& path, const char* text) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST_F(EngineTest, OlderWindows1252AccountsAreConvertedOnFirstOpen) {
  TARN_SKIP_ON_POSTGRES("writes an account file as an older engine left it");
  const std::string f = openFile("CUST");
  ASSERT_EQ(run(req("W", {f, "K1", "x"})).status, 0);
  ASSERT_EQ(run(req("W", {f, "K2", "y"})).status, 0);
  port_.reset();
  // What an older engine left: no text form recorded; an id, a body and a file name in
  // Windows-1252 ("é", "Café" mark "€ ‰", file "TÄG"), and a UTF-8-looking id that is really two
  // Windows-1252 characters ("Ã©"), which must not collide with the converted "é".
  const std::string path = system_.path() + "/SALES.account";
  sql(path,
      "DROP TABLE text_form;"
      "UPDATE items SET key=X'E9', id=NULL, body=X'436166E9FE8020' || X'89' WHERE key=X'4B31';"
      "UPDATE items SET key=X'C3A9', id=NULL, body=X'C3' WHERE key=X'4B32';"
      "UPDATE sections SET file=CAST(X'54C447' AS TEXT), name=CAST(X'54C447' AS TEXT) "
      "WHERE file='CUST' AND kind=1;");
  port_ = system_.open();
  const std::string g = openFile("T\xC3\x84G");
  EXPECT_EQ(run(req("R", {g, "\xC3\xA9", "0"})).data, "Caf\xC3\xA9\xFE\xE2\x82\xAC \xE2\x80\xB0");
  EXPECT_EQ(run(req("R", {g, "\xC3\x83\xC2\xA9", "0"})).data, "\xC3\x83");
  (void)openFile("T\xC3\x84G,T\xC3\x84G");  // the data section's own name converted too
  // Converted once: opening again changes nothing further.
  port_.reset();
  port_ = system_.open();
  EXPECT_EQ(run(req("R", {openFile("T\xC3\x84G"), "\xC3\xA9", "0"})).data,
            "Caf\xC3\xA9\xFE\xE2\x82\xAC \xE2\x80\xB0");
}

}  // namespace
}  // namespace tarn::server::testing
