// The C++ conveniences: a dynamic array in printable form, range-for over a select list.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tarn/tarncl.h"

namespace tarn {
namespace {

TEST(Printable, ShowsTheThreeStructureMarksAndKeepsTheRest) {
  const struct {
    String text;
    std::string shown;
  } cases[] = {
      {u"", ""},
      {u"a\u00FEb\u00FDc\u00FCd", "a^b]c\\d"},
      {u"\u00FE\u00FE", "^^"},
      {u"Zo\u00EB \u20AC\u00FB\u00FF", "Zo\xC3\xAB \xE2\x82\xAC\xC3\xBB\xC3\xBF"},
  };
  for (const auto& c : cases) EXPECT_EQ(printable(c.text), c.shown);
  auto a = clsTarnDynamicArray::create();
  a->brCString(u"x\u00FDy\u00FEz");
  std::ostringstream out;
  out << *a;
  EXPECT_EQ(out.str(), "x]y^z");
}

TEST(SelectListRange, WalksFromTheCurrentElementToTheEnd) {
  auto a = clsTarnDynamicArray::create();
  a->brCString(u"a\u00FEb\u00FDc\u00FEd");
  std::vector<String> ids;
  for (const String& id : a->brSelect()) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<String>{u"a", u"b\u00FDc", u"d"}));
  // Part-way through, the walk starts from where the list stands, and ends it.
  auto list = a->brSelect();
  ASSERT_TRUE(list->brReadnext());
  ids.clear();
  for (const String& id : *list) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<String>{u"b\u00FDc", u"d"}));
  EXPECT_TRUE(list->brEOL());
  for (const String& id : *list) ADD_FAILURE() << "an ended list gave " << toUtf8(id);
}

}  // namespace
}  // namespace tarn
