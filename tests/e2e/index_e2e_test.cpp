#include "tests/e2e/e2e_fixture.h"

namespace tarn::e2e {
namespace {

using IndexEndToEnd = EndToEndTest;

// Every entry as "key/vc/id", walking with brMoveNext from the first or brMovePrevious from the
// last.
std::vector<String> cruise(clsTarnIndex& index, bool forward) {
  std::vector<String> seen;
  for (bool more = forward ? index.brMoveFirst() : index.brMoveLast(); more;
       more = forward ? index.brMoveNext() : index.brMovePrevious()) {
    seen.push_back(index.brIndexKey() + u"/" + Variant(index.brIndexVC()).toString() + u"/" +
                   index.brIndexId());
  }
  return seen;
}

TEST_F(IndexEndToEnd, CruisesMultiValuedKeysBothWays) {
  auto file = createFile(u"CUST");
  file->brWrite(array(u"Smith" + AM + u"York" + VM + u"Leeds"), u"1");
  file->brWrite(array(u"Jones" + AM + u"Hull"), u"2");
  file->brWrite(array(u"Brown" + AM + u"Leeds" + VM + VM + u"Bath"), u"3");
  ASSERT_TRUE(file->brCreateIndex(u"A2", false));
  EXPECT_FALSE(file->brCreateIndex(u"A2", false));
  auto index = file->brRoot(u"A2");
  const std::vector<String> all = {u"Bath/3/3", u"Hull/1/2", u"Leeds/2/1", u"Leeds/1/3",
                                   u"York/1/1"};
  EXPECT_EQ(cruise(*index, true), all);
  std::vector<String> back = cruise(*index, false);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, all);

  String key = u"Le";
  std::int32_t count = 0;
  EXPECT_EQ(index->brKeyX(key, u"", count)->brCString(), u"1" + AM + u"3");
  EXPECT_EQ(count, 2);
  EXPECT_EQ(index->brIndexKey(), u"Leeds");

  Variant id;
  // Keys are in code-unit order, so "HUL" seeks to "Hull"; the match then ignores case.
  EXPECT_TRUE(index->brFindFirst(u"HUL", id));
  EXPECT_EQ(id.toString(), u"2");
  EXPECT_FALSE(index->brFindFirst(u"zz"));
  EXPECT_EQ(index->brIndexKey(), u"");
}

}  // namespace
}  // namespace tarn::e2e
