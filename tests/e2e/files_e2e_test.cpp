#include "tarn/channel/code_page_internal.h"
#include "tests/e2e/e2e_fixture.h"

namespace tarn::e2e {
namespace {

using FilesEndToEnd = EndToEndTest;

TEST_F(FilesEndToEnd, ItemsKeepMarksAndEveryByteTheCodePageCarries) {
  auto file = createFile(u"CUST");
  String every;
  for (int b = 1; b <= 255; ++b)
    every.push_back(codepage::decodeByte(static_cast<unsigned char>(b)));
  const String item = u"Smith" + AM + u"1 High St" + VM + u"Leeds" + AM + every;
  file->brWrite(array(item), u"100");
  auto read = file->brRead(u"100");
  EXPECT_EQ(read->brCString(), item);
  EXPECT_EQ(read->brName(), u"100");
  EXPECT_EQ(file->brRead(u"100", 2)->brExtractStr(1, 2), u"Leeds");
  EXPECT_EQ(errorOf([&] { (void)file->brRead(u"nosuch"); }).number(), serverStatusError(2));
  file->brDelete(u"100");
  EXPECT_EQ(errorOf([&] { (void)file->brRead(u"100"); }).number(), serverStatusError(2));
}

TEST_F(FilesEndToEnd, AttributesByNumberAndByDictionaryName) {
  auto file = createFile(u"CUST");
  defineAttribute(u"CUST", u"CITY", 3);
  file->brWrite(array(u"Smith" + AM + u"x" + AM + u"York"), u"1");
  EXPECT_EQ(file->brReadV(u"1", u"CITY")->brCString(), u"York");
  EXPECT_EQ(file->brRead(u"1", u"city")->brCString(), u"York");
  file->brWriteV(array(u"Hull"), u"1", u"CITY");
  file->brWriteV(array(u"y"), u"1", 2);
  EXPECT_EQ(file->brRead(u"1")->brCString(), u"Smith" + AM + u"y" + AM + u"Hull");
  EXPECT_EQ(file->brColumn(u"CITY"), 3);
  EXPECT_EQ(errorOf([&] { (void)file->brColumn(u"NOSUCH"); }).number(), libraryError(1026));
}

// Which request releases what is the wire and engine suites' matter; here, a lock holds across
// connections until its holder lets go, and closing a connection lets its locks go.
TEST_F(FilesEndToEnd, LocksHoldBetweenConnectionsUntilReleased) {
  auto file = createFile(u"CUST");
  file->brWrite(array(u"v1"), u"1");
  auto other = connectAgain();
  auto theirs = other->brOpenFile(u"", u"CUST");
  (void)file->brReadU(u"1");
  const TarnError e = errorOf([&] { (void)theirs->brReadU(u"1"); });
  EXPECT_EQ(e.number(), libraryError(1029));
  EXPECT_EQ(e.description(), u"File/Item is locked");
  file->brRelease(u"1");
  (void)theirs->brReadU(u"1");
  theirs.reset();
  env_->brCloseConnection(other);
  (void)file->brReadU(u"1");
}

TEST_F(FilesEndToEnd, SelectListsOverAFileACommandAndASavedList) {
  auto file = createFile(u"CUST");
  const std::vector<std::pair<String, String>> items = {{u"1", u"Smith" + AM + u"York"},
                                                        {u"2", u"Jones" + AM + u"Leeds"},
                                                        {u"3", u"Brown" + AM + u"York"},
                                                        {u"4", u"Black" + AM + u"Hull"}};
  for (const auto& [id, body] : items) file->brWrite(array(body), id);

  auto all = file->brSelect();
  EXPECT_EQ(all->brCount(), 4);
  std::vector<String> ids;
  while (all->brReadnext()) ids.push_back(all->brItemId());
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<String>{u"1", u"2", u"3", u"4"}));

  auto york = conn_->brOpenSelectList(u"SSELECT CUST WITH A2 = \"York\" BY A1");
  EXPECT_EQ(york->brCount(), 2);
  ids.clear();
  while (york->brReadnext()) ids.push_back(york->brItemId());
  EXPECT_EQ(ids, (std::vector<String>{u"3", u"1"}));  // Brown before Smith
  EXPECT_TRUE(york->brReselect());
  EXPECT_TRUE(york->brReadnext());
  EXPECT_EQ(york->brItemId(), u"3");

  auto starting = conn_->brOpenSelectList(u"SELECT CUST WITH A1 = \"B]\"");
  EXPECT_EQ(starting->brCount(), 2);

  // A saved list outlives the connection that saved it and opens as a select list.
  conn_->brExecute(u"SSELECT CUST WITH A2 = \"York\"");
  conn_->brExecute(u"SAVE-LIST YORK");
  auto other = connectAgain();
  auto saved = other->brOpenSelectList(u"GET-LIST YORK");
  EXPECT_EQ(saved->brCount(), 2);
  ids.clear();
  while (saved->brReadnext()) ids.push_back(saved->brItemId());
  EXPECT_EQ(ids, (std::vector<String>{u"1", u"3"}));
}

}  // namespace
}  // namespace tarn::e2e
