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

// Long texts take the vectorised path: it must agree with the character-by-character mapping
// wherever a special character falls, including the tail that does not fill a vector.
TEST(CodePageTest, LongTextsAgreeWithTheCharacterMapping) {
  const char16_t specials[] = {
      u'\u00FE', u'\u20AC', u'\u0100', u'\u0081', u'\u009F', u'\0', static_cast<char16_t>(0xD800),
      u'\u00FF', u'\u007F'};
  for (std::size_t length : {15u, 16u, 31u, 33u, 64u, 1000u}) {
    for (char16_t special : specials) {
      for (std::size_t at : {std::size_t{0}, length / 2, length - 1}) {
        String text(length, u'a');
        text[at] = special;
        std::string expected;
        for (char16_t c : text) expected.push_back(codepage::encodeChar(c));
        std::string appended = "head";
        codepage::encodeAppend(text, appended);
        EXPECT_EQ(appended, "head" + expected) << length << " " << at;

        String decoded = u"old contents that are longer than some of the inputs here";
        codepage::decodeInto(expected, decoded);
        String expectedText;
        for (char b : expected)
          expectedText.push_back(codepage::decodeByte(static_cast<unsigned char>(b)));
        EXPECT_EQ(decoded, expectedText) << length << " " << at;
      }
    }
  }
}

// Every character but the surrogates, and a sample beyond the BMP, crosses UTF-8 and back; the
// marks are single bytes and nothing else is.
TEST(Utf8WireTest, EveryCharacterRoundTrips) {
  String all;
  for (char32_t c = 0; c <= 0xFFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(static_cast<char16_t>(c));
  }
  all += u"\U00010000\U0001F600\U0010FFFF";
  std::string bytes;
  codepage::Unsendable where;
  ASSERT_TRUE(codepage::encodeUtf8Append(all, bytes, where));
  std::size_t markBytes = 0;
  for (const char b : bytes) markBytes += static_cast<unsigned char>(b) >= 0xFB ? 1 : 0;
  EXPECT_EQ(markBytes, 5u);
  String back;
  codepage::decodeUtf8Into(bytes, back);
  EXPECT_EQ(back, all);
}

// The vectorised ASCII path and the character path must agree wherever a special character
// falls, including the tail that fills no vector.
TEST(Utf8WireTest, LongTextsAgreeWithTheCharacterPath) {
  for (const char16_t special : {u'\u00FE', u'\u00E9', u'\u4E2D'}) {
    for (std::size_t at : {0u, 31u, 32u, 63u, 64u, 99u}) {
      String text(100, u'a');
      text[at] = special;
      std::string bytes;
      codepage::Unsendable where;
      ASSERT_TRUE(codepage::encodeUtf8Append(text, bytes, where));
      std::string expected(at, 'a');
      std::string one;
      ASSERT_TRUE(codepage::encodeUtf8Append(String(1, special), one, where));
      expected += one + std::string(99 - at, 'a');
      EXPECT_EQ(bytes, expected) << at;
      String back;
      codepage::decodeUtf8Into(bytes, back);
      EXPECT_EQ(back, text) << at;
    }
  }
}

// Bytes a well-behaved driver never sends still decode to something definite.
TEST(Utf8WireTest, MalformedBytesDecodeToReplacementCharacters) {
  const struct {
    std::string bytes;
    String text;
  } cases[] = {
      {"a\x80z", u"a\uFFFDz"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xE4\xB8", u"\uFFFD\uFFFD"},                      // cut short
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    String out;
    codepage::decodeUtf8Into(c.bytes, out);
    EXPECT_EQ(out, c.text);
  }
}

}  // namespace
}  // namespace tarn
