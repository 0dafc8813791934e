#include <gtest/gtest.h>

#include "tarn/channel/envelope_internal.h"
#include "tarn/frame/error.h"
#include "tests/support/expect_error.h"

namespace tarn {
namespace {

using envelope::kAttributeMark;

TEST(EnvelopeTest, RequestsJoinFieldsWithAttributeMarks) {
  EXPECT_EQ(envelope::buildRequest(u'A', {}), u"A");
  EXPECT_EQ(envelope::buildRequest(u'D', {3, u"100"}), u"D\u00FE3\u00FE100");
  EXPECT_EQ(envelope::buildRequest(u'S', {-1}), u"S\u00FE-1");
  EXPECT_EQ(envelope::buildRequest(u'W', {7, u"", u"a\u00FEb"}), u"W\u00FE7\u00FE\u00FEa\u00FEb");
  envelope::RequestBuilder b(u'M');
  b.add(2).add(0).add(u"x");
  EXPECT_EQ(b.text(), u"M\u00FE2\u00FE0\u00FEx");
}

TEST(EnvelopeTest, RepliesSplitAfterTheFifthCharacter) {
  struct Case {
    String reply, status, data;
  };
  const Case cases[] = {
      {u"0000 abc", u"0000", u"abc"},
      {u"0000 ", u"0000", u""},
      {u"0002", u"0002", u""},
      {u"12", u"12", u""},
      {u"", u"", u""},
      {u"0000xy", u"0000", u"y"},
  };
  for (const Case& c : cases) {
    const envelope::SplitReply r = envelope::splitReply(c.reply);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.data, c.data);
  }
}

TEST(EnvelopeTest, StatusValueAllowsBlanksAndTreatsTextAsZero) {
  struct Case {
    String status;
    std::int32_t value;
  };
  const Case cases[] = {
      {u"0000", 0},  {u"0002", 2}, {u"0036", 36},       {u"  15", 15}, {u"15  ", 15},
      {u" -1 ", -1}, {u"abcd", 0}, {u"12ab", 0},        {u"", 0},      {u"    ", 0},
      {u"-", 0},     {u"1 2", 0},  {u"99999999999", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(envelope::statusValue(c.status), c.value);
}

TEST(EnvelopeTest, CountedFieldsComeOffInTurn) {
  // Length, mark, text, one separator; the last field may lack its separator.
  String s = u"5\u00FEhello 0\u00FE ";
  EXPECT_EQ(envelope::rsTakeCountedField(s), u"hello");
  EXPECT_EQ(s, u"0\u00FE ");
  EXPECT_EQ(envelope::rsTakeCountedField(s), u"");
  EXPECT_EQ(s, u"");

  // Marks inside a field are counted, not parsed.
  s = u"3\u00FEa\u00FEb|2\u00FExy";
  EXPECT_EQ(envelope::rsTakeCountedField(s), u"a\u00FEb");
  EXPECT_EQ(envelope::rsTakeCountedField(s), u"xy");
  EXPECT_EQ(s, u"");

  // A length beyond the text takes what there is.
  s = u"10\u00FEabc";
  EXPECT_EQ(envelope::rsTakeCountedField(s), u"abc");
  EXPECT_EQ(s, u"");
  // Blanks around the length are allowed.
  s = u" 2 \u00FEabX";
  EXPECT_EQ(envelope::rsTakeCountedField(s), u"ab");
}

TEST(EnvelopeTest, MalformedCountedFieldsRaisePlatformErrors) {
  struct Case {
    String reply;
    std::int32_t error;
  };
  const Case cases[] = {
      {u"", err::kInvalidCall},
      {u"5 hello", err::kInvalidCall},
      {u"-1\u00FEabc", err::kInvalidCall},
      {u"x\u00FEabc", err::kTypeMismatch},
      {u"\u00FEabc", err::kTypeMismatch},
      {u"99999999999\u00FEa", err::kOverflow},
  };
  for (const Case& c : cases) {
    String s = c.reply;
    EXPECT_EQ(testing::errorOf([&] { (void)envelope::rsTakeCountedField(s); }).number(), c.error);
    EXPECT_EQ(s, c.reply);  // nothing is taken off a reply that fails
  }
}

TEST(EnvelopeTest, RequestsBuiltIntoAStringReplaceItsContents) {
  String out = u"left over from a much longer request than the next one";
  envelope::buildRequestInto(out, u'R', {INT32_MIN, u"id", 0, INT32_MAX});
  EXPECT_EQ(out, u"R\u00FE-2147483648\u00FEid\u00FE0\u00FE2147483647");
  envelope::buildRequestInto(out, u'A', {});
  EXPECT_EQ(out, u"A");
}

}  // namespace
}  // namespace tarn
