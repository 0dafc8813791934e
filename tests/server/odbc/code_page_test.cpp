#include "server/odbc/code_page.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::server::odbc {
namespace {

std::string toBytes(std::u16string_view s) {
  std::vector<std::uint16_t> units(s.begin(), s.end());
  return wideToBytes(units.data(), units.size());
}

TEST(CodePage, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::vector<std::uint16_t> wide(all.size());
  bytesToWide(all, wide.data());
  EXPECT_EQ(wideToBytes(wide.data(), wide.size()), all);
}

TEST(CodePage, MarksAndWindowsCharactersMapToTheirBytes) {
  struct Case {
    char32_t codePoint;
    unsigned char byte;
  };
  const Case cases[] = {{0xFB, 0xFB},   {0xFC, 0xFC},   {0xFD, 0xFD},   {0xFE, 0xFE}, {0xFF, 0xFF},
                        {0x20AC, 0x80}, {0x2122, 0x99}, {0x0178, 0x9F}, {0x81, 0x81}, {'A', 'A'}};
  for (const Case& c : cases) {
    EXPECT_EQ(codePointToByte(c.codePoint), c.byte)
        << std::hex << static_cast<unsigned>(c.codePoint);
    EXPECT_EQ(static_cast<char32_t>(byteToUnit(c.byte)), c.codePoint)
        << std::hex << static_cast<unsigned>(c.codePoint);
  }
}

TEST(CodePage, CharactersWithoutAByteBecomeQuestionMarks) {
  // U+0080 is not in the page (byte 0x80 is the euro sign); U+0100 and CJK are outside it.
  EXPECT_EQ(toBytes(u"a\u0080b\u0100c\u4E2D"), "a?b?c?");
  // A surrogate pair is one character, so one '?'; a lone surrogate also becomes one.
  EXPECT_EQ(toBytes(u"x\U0001F600y"), "x?y");
  const std::vector<std::uint16_t> lone = {'x', 0xD800, 'y', 0xDC00};
  EXPECT_EQ(wideToBytes(lone.data(), lone.size()), "x?y?");
}

}  // namespace
}  // namespace tarn::server::odbc
