#include <gtest/gtest.h>

#include <string>

#include "tarn/channel/code_page_internal.h"

namespace tarn {
namespace {

TEST(CodePageTest, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const String text = codepage::decode(all);
  ASSERT_EQ(text.size(), 256u);
  EXPECT_EQ(codepage::encode(text), all);
}

TEST(CodePageTest, CharactersMapToTheirBytes) {
  struct Case {
    char16_t c;
    unsigned char b;
  };
  const Case cases[] = {
      {u'A', 0x41},
      {0x0000, 0x00},
      {0x00FB, 0xFB},
      {0x00FC, 0xFC},
      {0x00FD, 0xFD},
      {0x00FE, 0xFE},
      {0x00FF, 0xFF},
      {0x00A0, 0xA0},
      {0x20AC, 0x80},
      {0x201A, 0x82},
      {0x0192, 0x83},
      {0x2026, 0x85},
      {0x0160, 0x8A},
      {0x017D, 0x8E},
      {0x2018, 0x91},
      {0x2122, 0x99},
      {0x0178, 0x9F},
      {0x0081, 0x81},
      {0x008D, 0x8D},
      {0x008F, 0x8F},
      {0x0090, 0x90},
      {0x009D, 0x9D},
      // No byte: the C1 controls the code page reused, and anything beyond it.
      {0x0080, '?'},
      {0x009F, '?'},
      {0x0100, '?'},
      {0x20AD, '?'},
      {0xFFFD, '?'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.c));
    EXPECT_EQ(static_cast<unsigned char>(codepage::encodeChar(c.c)), c.b);
    if (c.b != '?') {
      EXPECT_EQ(codepage::decodeByte(c.b), c.c);
    }
  }
}

TEST(CodePageTest, SurrogatesBecomeOneQuestionMarkPerCharacter) {
  EXPECT_EQ(codepage::encode(u"a\U0001F600b"), "a?b");
  EXPECT_EQ(codepage::encode(String(u"a\xD800"
                                    u"b",
                                    3)),
            "a?b");
  EXPECT_EQ(codepage::encode(String(u"\xDC00\xD800", 2)), "??");
  EXPECT_EQ(codepage::encode(u""), "");
}

}  // namespace
}  // namespace tarn
