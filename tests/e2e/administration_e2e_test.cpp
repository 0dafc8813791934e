#include <algorithm>

#include "tests/e2e/e2e_fixture.h"

namespace tarn::e2e {
namespace {

using AdministrationEndToEnd = EndToEndTest;

std::vector<String> idsOf(clsTarnSelectList& list) {
  std::vector<String> ids;
  while (list.brReadnext()) ids.push_back(list.brItemId());
  return ids;
}

bool contains(const std::vector<String>& ids, const String& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

TEST_F(AdministrationEndToEnd, CreateWriteCountAndDeleteAFile) {
  const std::int32_t entries = conn_->brItemCount(true);
  auto file = conn_->brCreateFile(u"", u"CUST", 7, 11);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->brName(), u" CUST,CUST");
  EXPECT_EQ(conn_->brDictFlag(), u"");
  EXPECT_EQ(conn_->brItemCount(true), entries + 1);
  EXPECT_EQ(conn_->brItemCount(false), entries + 1);
  EXPECT_TRUE(contains(idsOf(*conn_->brSelect()), u"CUST"));
  Ref<clsTarnFile> none;
  EXPECT_TRUE(contains(idsOf(*conn_->brSelectDict(none)), u"CUST"));

  for (int i = 1; i <= 3; ++i) file->brWrite(array(u"item" + AM + decimalText(i)), decimalText(i));
  EXPECT_EQ(file->brItemCount(true), 3);
  auto dict = conn_->brOpenFileEx(u"CUST", tarnFile_DictLevel);
  dict->brWrite(array(u"A" + AM + u"2"), u"NUMBER");
  EXPECT_EQ(conn_->brOpenFileEx(u"CUST")->brRead(u"2", u"NUMBER")->brCString(), u"2");

  file.reset();
  dict.reset();
  conn_->brDeleteFile(u"CUST");
  EXPECT_EQ(conn_->brItemCount(true), entries);
  EXPECT_EQ(errorOf([&] { (void)conn_->brOpenFile(u"", u"CUST"); }).number(), serverStatusError(9));
}

TEST_F(AdministrationEndToEnd, DictionaryAloneAndCaseSensitiveIds) {
  auto dict = conn_->brCreateFile(u"DICT", u"ONLY", 3);
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->brName(), u"Dict ONLY");
  EXPECT_EQ(conn_->brDictFlag(), u"Dict");
  EXPECT_EQ(errorOf([&] { (void)conn_->brOpenFile(u"", u"ONLY"); }).number(),
            serverStatusError(9));  // no data section was made

  auto exact = conn_->brCreateFileEx(u"EXACT", 5, tarnFile_DataLevel, Variant::missing(),
                                     Variant::missing(), false);
  exact->brWrite(array(u"lower"), u"key");
  EXPECT_EQ(errorOf([&] { (void)exact->brRead(u"KEY"); }).number(), serverStatusError(2));
  auto folded = conn_->brCreateFileEx(u"FOLDED", 5, tarnFile_DataLevel);
  folded->brWrite(array(u"lower"), u"key");
  EXPECT_EQ(folded->brRead(u"KEY")->brCString(), u"lower");
}

TEST_F(AdministrationEndToEnd, RecreateKeepsItemsAndForcedDeleteWins) {
  auto file = conn_->brCreateFile(u"", u"CUST", 7);
  file->brWrite(array(u"kept"), u"1");
  auto again = conn_->brCreateFile(u"", u"CUST", 7);  // both steps only print "exists"
  ASSERT_TRUE(again);
  EXPECT_EQ(again->brRead(u"1")->brCString(), u"kept");

  auto other = connectAgain();
  auto theirs = other->brOpenFile(u"", u"CUST");
  conn_->brDeleteFile(u"CUST");  // refused while another port has it open: only a message
  EXPECT_EQ(theirs->brRead(u"1")->brCString(), u"kept");
  conn_->brDeleteFile(u"CUST", true);
  EXPECT_EQ(errorOf([&] { (void)conn_->brOpenFile(u"", u"CUST"); }).number(), serverStatusError(9));
  theirs.reset();
  env_->brCloseConnection(other);
}

}  // namespace
}  // namespace tarn::e2e
