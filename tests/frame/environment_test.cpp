#include <gtest/gtest.h>

#include <set>

#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error.h"
#include "tarn/frame/locale.h"
#include "tarn/frame/unique_id.h"

namespace tarn {
namespace {

TEST(EnvironmentTest, IdentityOfTheLibrary) {
  auto env = clsTarnEnvironment::create();
  EXPECT_EQ(env->brVersion(), u"2.0.29");
  EXPECT_EQ(env->brDescription(), u"Tarn Class Library (ODBC Only)");
  EXPECT_EQ(env->brType(), u"ODBC32");
  EXPECT_EQ(env->brName(), u"Tarn Class Library (ODBC32)");
  EXPECT_FALSE(env->brCopyright().empty());
  EXPECT_TRUE(env->brIsODBC());
  EXPECT_EQ(env->brHandle().substr(0, 8), u"B66BF100");
  EXPECT_EQ(env->brHandle(), env->brHandle());
  EXPECT_NE(env->brHandle(), clsTarnEnvironment::create()->brHandle());
}

TEST(EnvironmentTest, StartsWithTheProcessLocaleAndCaseInsensitive) {
  auto env = clsTarnEnvironment::create();
  EXPECT_EQ(env->brCurrency(), platformLocale().currency);
  EXPECT_EQ(env->brDecimal(), platformLocale().decimal);
  EXPECT_EQ(env->brGrouping(), platformLocale().grouping);
  EXPECT_FALSE(env->brCasing());
  EXPECT_EQ(env->brDomain(), u"");
  EXPECT_EQ(env->brDatabase(), u"");
  env->brCurrency(u"EUR");
  EXPECT_EQ(env->brCurrency(), u"EUR");
}

TEST(LocaleTest, EmptyAnswersFallBack) {
  const LocaleSettings c = readLocaleSettings("C");  // C has no currency or grouping
  EXPECT_EQ(c.currency, u"$");
  EXPECT_EQ(c.decimal, u".");
  EXPECT_EQ(c.grouping, u",");
  const LocaleSettings unknown = readLocaleSettings("xx_NOWHERE.UTF-8");
  EXPECT_EQ(unknown.currency, u"$");
}

TEST(EnvironmentTest, OpenDynamicArrayStagesTheText) {
  auto env = clsTarnEnvironment::create();
  EXPECT_EQ(env->brOpenDynamicArray()->brCString(), u"");
  const String text = String(u"a") + kAM + u"b";
  auto a = env->brOpenDynamicArray(text);
  EXPECT_EQ(a->brCString(), text);
  EXPECT_EQ(env->brOpenDynamicArray(42)->brCString(), u"42");
  EXPECT_EQ(env->brOpenDynamicArray()->brCString(), u"");  // nothing left over from before
}

TEST(EnvironmentTest, UniqueIdsDifferAndHaveFourParts) {
  auto env = clsTarnEnvironment::create();
  std::set<String> seen;
  for (int i = 0; i < 100; ++i) {
    const String id = env->brUniqueId();
    EXPECT_EQ(std::count(id.begin(), id.end(), u'-'), 3) << toUtf8(id);
    EXPECT_EQ(id.find_first_not_of(u"0123456789ABCDEF-"), String::npos) << toUtf8(id);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(EnvironmentTest, UniqueIdTextDropsLeadingZerosPartByPart) {
  Guid g;
  g.data1 = 0x0012AB34;
  g.data2 = 0x0056;
  g.data3 = 0x0078;
  g.data4 = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11};
  EXPECT_EQ(uniqueIdText(g), u"12AB34-56-78-ABCDEF1011");
  EXPECT_EQ(uniqueIdText(Guid{}), u"0-0-0-00000000");
}

TEST(EnvironmentTest, ErrorReportsTheLastNumberAndFillsTheArgument) {
  auto env = clsTarnEnvironment::create();
  gLastError = 0;
  EXPECT_EQ(env->brError(), 0);
  gLastError = libraryError(1285);
  Variant v;
  EXPECT_EQ(env->brError(v), libraryError(1285));
  EXPECT_EQ(v.type(), Variant::Type::Int32);
  EXPECT_EQ(v.toInt32(), libraryError(1285));
  gLastError = 0;
}

}  // namespace
}  // namespace tarn
