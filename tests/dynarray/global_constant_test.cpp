// The constants of marks and index operations, as strings and as enumeration values.
#include <gtest/gtest.h>

#include "tarn/dynarray/global_constant.h"

namespace tarn {
namespace {

using Getter = const String& (clsTarnGlobalConstant::*)() const noexcept;

TEST(GlobalConstant, EachPropertyIsOneCharacterOfItsCode) {
  const struct {
    const char* name;
    Getter get;
    std::int32_t code;
  } properties[] = {
      {"brKeyCompChr", &clsTarnGlobalConstant::brKeyCompChr, TarnIndexCompKey},
      {"brKeyLastChr", &clsTarnGlobalConstant::brKeyLastChr, TarnIndexLastKey},
      {"brKeyNextChr", &clsTarnGlobalConstant::brKeyNextChr, TarnIndexNextKey},
      {"brKeyPrevChr", &clsTarnGlobalConstant::brKeyPrevChr, TarnIndexPrevKey},
      {"brKeyRtrnChr", &clsTarnGlobalConstant::brKeyRtrnChr, TarnIndexRtrnKey},
      {"brKeyVrfyChr", &clsTarnGlobalConstant::brKeyVrfyChr, TarnIndexVrfyKey},
      {"brKeyXtraChr", &clsTarnGlobalConstant::brKeyXtraChr, TarnIndexXtraKey},
      {"brAMChr", &clsTarnGlobalConstant::brAMChr, TarnAM},
      {"brSBChr", &clsTarnGlobalConstant::brSBChr, TarnSB},
      {"brSMChr", &clsTarnGlobalConstant::brSMChr, TarnSM},
      {"brSVMChr", &clsTarnGlobalConstant::brSVMChr, TarnSVM},
      {"brVMChr", &clsTarnGlobalConstant::brVMChr, TarnVM},
      {"TarnAMChr", &clsTarnGlobalConstant::TarnAMChr, TarnAM},
      {"TarnSBChr", &clsTarnGlobalConstant::TarnSBChr, TarnSB},
      {"TarnSMChr", &clsTarnGlobalConstant::TarnSMChr, TarnSM},
      {"TarnSVMChr", &clsTarnGlobalConstant::TarnSVMChr, TarnSVM},
      {"TarnVMChr", &clsTarnGlobalConstant::TarnVMChr, TarnVM},
  };
  const auto created = clsTarnGlobalConstant::create();
  const auto another = clsTarnGlobalConstant::create();
  clsTarnGlobalConstant& global = clsTarnGlobalConstant::global();
  EXPECT_EQ(&global, &clsTarnGlobalConstant::global());
  for (const auto& p : properties) {
    const String& value = ((*created).*p.get)();
    ASSERT_EQ(value.size(), 1u) << p.name;
    EXPECT_EQ(static_cast<std::int32_t>(value[0]), p.code) << p.name;
    EXPECT_EQ(((*another).*p.get)(), value) << p.name;
    EXPECT_EQ((global.*p.get)(), value) << p.name;
  }
  EXPECT_EQ(created->brKeyRtrnChr(), u"R");
  EXPECT_EQ(created->brAMChr(), u"\u00FE");
  EXPECT_EQ(created->brAMChr()[0], kAM);
  EXPECT_EQ(created->brSVMChr()[0], kSVM);
}

}  // namespace
}  // namespace tarn
