#include "server/odbc/code_page.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/engine/text/utf8.h"

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

TEST(CodePage, CharactersWithoutAByteBecomeQuestionMarks) {
  // U+0080 is not in the page (byte 0x80 is the euro sign); U+0100 and CJK are outside it.
  EXPECT_EQ(toBytes(u"a\u0080b\u0100c\u4E2D"), "a?b?c?");
  // A surrogate pair is one character, so one '?'; a lone surrogate also becomes one.
  EXPECT_EQ(toBytes(u"x\U0001F600y"), "x?y");
  const std::vector<std::uint16_t> lone = {'x', 0xD800, 'y', 0xDC00};
  EXPECT_EQ(wideToBytes(lone.data(), lone.size()), "x?y?");
}

// The engine keeps UTF-8 with single-byte marks; a Windows-1252 connection's bytes cross into it
// and back unchanged, and text beyond the page comes back as one '?' per UTF-16 unit.
TEST(CodePage, Windows1252CrossesIntoEngineTextAndBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string engine = text::fromWindows1252(all);
  EXPECT_EQ(engine.substr(0x80, 3), "\xE2\x82\xAC");  // the euro sign
  EXPECT_EQ(engine.substr(engine.size() - 5), "\xFB\xFC\xFD\xFE\xFF");
  EXPECT_EQ(text::toWindows1252(engine), all);
  EXPECT_EQ(text::toWindows1252("a\xE4\xB8\xAD\xFE\xF0\x9F\x98\x80\xC3\xBB"), "a?\xFE??\xFB");
}

TEST(CodePage, WideTextCrossesIntoEngineTextUnlessASurrogateIsAlone) {
  const std::u16string text = u"\u00FEa\u4E2D\U0001F600\u00E9";
  std::string engine;
  std::size_t bad = 99;
  ASSERT_TRUE(
      wideToEngine(reinterpret_cast<const std::uint16_t*>(text.data()), text.size(), engine, bad));
  EXPECT_EQ(engine,
            "\xFE"
            "a\xE4\xB8\xAD\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(engineToWide(engine), text);
  const std::vector<std::uint16_t> lone = {'x', 'y', 0xDC00};
  EXPECT_FALSE(wideToEngine(lone.data(), lone.size(), engine, bad));
  EXPECT_EQ(bad, 2u);
}

TEST(CodePage, EncodingNamesParse) {
  Encoding e = Encoding::kWindows1252;
  EXPECT_TRUE(parseEncoding("utf8", e));
  EXPECT_EQ(e, Encoding::kUtf8);
  EXPECT_TRUE(parseEncoding("Windows-1252", e));
  EXPECT_EQ(e, Encoding::kWindows1252);
  EXPECT_FALSE(parseEncoding("KOI8-R", e));
}

}  // namespace
}  // namespace tarn::server::odbc
