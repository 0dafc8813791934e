// Text through the whole stack in both wire encodings: what one kind of connection writes, the
// other reads, and a UTF-8 connection loses nothing.
#include "tests/e2e/e2e_fixture.h"

namespace tarn::e2e {
namespace {

constexpr char16_t kUtf8[] = u";Encoding=UTF-8";

// Every character the library can hold, but the surrogates (and NUL), and a few from beyond the
// Basic Multilingual Plane. The five marks are among them and keep their meaning.
String everyCharacter() {
  String all;
  for (char32_t c = 1; c <= 0xFFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(static_cast<char16_t>(c));
  }
  return all + u"\U00010000\U0001F600\U00020BB7\U0010FFFF";
}

// Every character Windows-1252 can carry: the characters of its 255 non-NUL bytes.
String everyWindows1252Character() {
  String all;
  for (int b = 1; b < 256; ++b) {
    static constexpr char16_t kHigh[] =
        u"\u20AC\u0081\u201A\u0192\u201E\u2026\u2020\u2021"
        u"\u02C6\u2030\u0160\u2039\u0152\u008D\u017D\u008F"
        u"\u0090\u2018\u2019\u201C\u201D\u2022\u2013\u2014"
        u"\u02DC\u2122\u0161\u203A\u0153\u009D\u017E\u0178";
    all.push_back(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : static_cast<char16_t>(b));
  }
  return all;
}

TEST_F(EndToEndTest, Utf8ConnectionsKeepEveryCharacter) {
  auto conn = connectAgain(kUtf8);
  conn->brExecute(u"CREATE-FILE \u4E2D\u6587 7");
  auto file = conn->brOpenFile(u"", u"\u4E2D\u6587");
  const String all = everyCharacter();
  file->brWrite(array(all), u"every");
  EXPECT_EQ(file->brRead(u"every")->brCString(), all);

  // Ids that Windows-1252 would both turn into "??" stay two items.
  file->brWrite(array(u"first"), u"\u4E2D\u6587");
  file->brWrite(array(u"second"), u"\u65E5\u672C");
  file->brWrite(array(u"third"), u"\U0001F600x");
  EXPECT_EQ(file->brRead(u"\u4E2D\u6587")->brCString(), u"first");
  EXPECT_EQ(file->brRead(u"\u65E5\u672C")->brCString(), u"second");

  // A TCL reply counts its lengths in UTF-16 units, as the library does, whatever the characters
  // (an emoji is two).
  conn->brExecute(u"LIST \u4E2D\u6587 \"\U0001F600x\" \"\u65E5\u672C\" A1");
  const String captured = conn->brCapturing()->brCString();
  // Columns are padded by characters: each two-character id takes eight blanks to its width.
  EXPECT_NE(captured.find(u"\U0001F600x" + String(9, u' ') + u"third"), String::npos)
      << toUtf8(captured);
  EXPECT_NE(captured.find(u"\u65E5\u672C" + String(9, u' ') + u"second"), String::npos)
      << toUtf8(captured);

  // Conversions that look at characters see characters.
  EXPECT_EQ(conn->brOconv(u"stra\u00DFe \u03B1\u03B2\u03B3 \u0436\u0443\u043A", u"MCT"),
            u"Stra\u00DFe \u0391\u03B2\u03B3 \u0416\u0443\u043A");
  EXPECT_EQ(conn->brOconv(u"\u4E2D\u6587\U0001F600", u"L0"), u"3");
}

// Both kinds of connection see the same items: whatever Windows-1252 carries crosses exactly,
// in both directions, in ids and bodies; what it cannot carry reads as "?" there.
TEST_F(EndToEndTest, BothEncodingsSeeTheSameItems) {
  auto utf8 = connectAgain(kUtf8);
  auto ansiFile = createFile(u"MIXED");
  auto utf8File = utf8->brOpenFile(u"", u"MIXED");
  const String carried = everyWindows1252Character();

  ansiFile->brWrite(array(carried), u"caf\u00E9\u20AC");
  EXPECT_EQ(utf8File->brRead(u"caf\u00E9\u20AC")->brCString(), carried);
  utf8File->brWrite(array(carried + u"\u4E2D\U0001F600"), u"\u0161\u2122");
  EXPECT_EQ(ansiFile->brRead(u"\u0161\u2122")->brCString(), carried + u"???");

  // The data source's own Encoding=UTF-8 reaches the library through the completed string.
  auto viaSource = env_->brOpenConnection(
      u"ODBC", u"DSN=TarnUtf8;Account=" + dataSource_.substr(dataSource_.find(u"Account=") + 8));
  EXPECT_EQ(viaSource->brOpenFile(u"", u"MIXED")->brRead(u"\u0161\u2122")->brCString(),
            carried + u"\u4E2D\U0001F600");
}

TEST_F(EndToEndTest, UnknownEncodingsAreRefusedAtConnect) {
  const TarnError e = errorOf([&] { (void)connectAgain(u";Encoding=KOI8-R"); });
  EXPECT_EQ(e.number(), err::kConnectFailed);
}

}  // namespace
}  // namespace tarn::e2e
