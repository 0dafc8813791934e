// The caseless collation's table shortcuts against the collator itself, upper-casing, the
// locale choice, and the vector scans against the portable loops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tarn/dynarray/mark_scan_internal.h"
#include "tarn/dynarray/text_compare_internal.h"

namespace tarn {
namespace {

using text::CaselessCollation;

// Alphabets of the differential runs: plain ASCII, Latin-1 with accents and marks, characters
// the tables must hand to the collator (expansions, ignorables, other scripts, combining marks).
const std::u16string kAscii = u"aAbBzZ09 -.,_~";
const std::u16string kLatin1 =
    u"aAeE\u00E9\u00C9\u00FC\u00DC\u00FD\u00DD\u00FE\u00DE\u00FF\u00FB\u00AA";
const std::u16string kMarks = u"aA\u00FC\u00FD\u00FE\u00FF\u00FB";
const std::u16string kTricky =
    u"asS\u00DF\u00E6\u00C6e\u0001\u00AD\u0301\u0130i\u0131I\u4E00\u00BDc\u0161hH";

std::u16string randomString(std::mt19937& rng, const std::u16string& alphabet, int maxLength) {
  std::u16string s;
  const int n = std::uniform_int_distribution<int>(0, maxLength)(rng);
  for (int i = 0; i < n; ++i) {
    s.push_back(alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)]);
  }
  return s;
}

TEST(CaselessCollation, TablesAgreeWithTheCollator) {
  std::mt19937 rng(4242);
  for (const char* locale : {"", "en_US", "de_DE", "da_DK", "tr_TR", "fr_CA", "sv_SE", "cs_CZ"}) {
    const CaselessCollation collation(locale);
    for (const std::u16string* alphabet : {&kAscii, &kLatin1, &kMarks, &kTricky}) {
      std::u16string mixed = *alphabet + kAscii;
      for (int i = 0; i < 3000; ++i) {
        const auto& letters = i % 2 ? *alphabet : mixed;
        const std::u16string a = randomString(rng, letters, 6);
        // Half the pairs differ in case only, where the tables do most of their work.
        std::u16string b = randomString(rng, letters, 6);
        if (i % 3 == 0) {
          b = a;
          for (char16_t& c : b) {
            if (c < 128 && std::isalpha(c)) c ^= 0x20;
          }
        }
        ASSERT_EQ(collation.compare(a, b), collation.compareByCollator(a, b))
            << locale << " " << toUtf8(a) << " | " << toUtf8(b);
        const std::u16string haystack = randomString(rng, letters, 24);
        const std::u16string needle = randomString(rng, letters, 3);
        for (std::size_t from : {std::size_t{0}, std::size_t{2}}) {
          ASSERT_EQ(collation.find(haystack, needle, from),
                    collation.findByCollator(haystack, needle, from))
              << locale << " " << toUtf8(haystack) << " | " << toUtf8(needle);
        }
      }
    }
  }
}

TEST(CaselessCollation, IgnoresCaseButNotAccents) {
  const CaselessCollation root("");
  EXPECT_TRUE(root.tabulated());
  EXPECT_TRUE(root.simple(u'a'));
  EXPECT_FALSE(root.simple(0x0001));  // ignorable: no weight of its own
  EXPECT_TRUE(root.equal(u"Hello", u"hELLO"));
  EXPECT_FALSE(root.equal(u"resume", u"r\u00E9sum\u00E9"));
  EXPECT_LT(root.compare(u"apple", u"Banana"), 0);
  EXPECT_GT(root.compare(u"b", u"A"), 0);
  EXPECT_LT(root.compare(u"ab", u"ABC"), 0);
  EXPECT_TRUE(root.equal(u"\u00FE", u"\u00DE"));
  EXPECT_EQ(root.find(u"xxABcab", u"ab", 0), 2u);
  EXPECT_EQ(root.find(u"xxABcab", u"ab", 3), 5u);
  EXPECT_EQ(root.find(u"xxABcab", u"abd", 0), 7u);
  EXPECT_EQ(root.find(u"abc", u"", 1), 1u);
  // In Turkish the dotless and dotted i are different letters.
  const CaselessCollation turkish("tr");
  EXPECT_FALSE(turkish.equal(u"i", u"I"));
  EXPECT_TRUE(turkish.equal(u"i", u"\u0130"));
}

TEST(CaselessCollation, LocaleComesFromTheEnvironment) {
  const char* names[] = {"LC_ALL", "LC_COLLATE", "LANG"};
  std::string saved[3];
  bool had[3];
  for (int i = 0; i < 3; ++i) {
    const char* v = std::getenv(names[i]);
    had[i] = v != nullptr;
    if (had[i]) saved[i] = v;
    unsetenv(names[i]);
  }
  EXPECT_EQ(text::processCollationLocale(), "");
  setenv("LANG", "sv_SE.UTF-8", 1);
  EXPECT_EQ(text::processCollationLocale(), "sv_SE");
  setenv("LC_COLLATE", "de_DE@euro", 1);
  EXPECT_EQ(text::processCollationLocale(), "de_DE");
  setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(text::processCollationLocale(), "");
  setenv("LC_ALL", "", 1);
  EXPECT_EQ(text::processCollationLocale(), "de_DE");
  for (int i = 0; i < 3; ++i) {
    if (had[i])
      setenv(names[i], saved[i].c_str(), 1);
    else
      unsetenv(names[i]);
  }
}

TEST(UpperCase, MapsCharacterByCharacterAndKeepsMarks) {
  EXPECT_EQ(text::upperCase(u"abc\u00E9\u00E4z1"), u"ABC\u00C9\u00C4Z1");
  EXPECT_EQ(text::upperCase(u"\u00FC\u00FD\u00FE\u00FF"), u"\u00FC\u00FD\u00FE\u00FF");
  EXPECT_EQ(text::upperCase(u"\u00FB"), u"\u00DB");  // the start-buffer mark is not kept
  EXPECT_EQ(text::upperCase(u"\u00DF"), u"\u00DF");  // no one-character capital
  EXPECT_EQ(text::upperCase(u"\U00010428x"), u"\U00010400X");
  EXPECT_EQ(text::upperCase(u"\xD801"), u"\xD801");  // an unpaired surrogate stays
}

// One mark at every position of a long text, on every path: a block of a vector loop finds its
// first match wherever in the block it lies (random texts seldom put it in a block's tail).
TEST(MarkScan, ASingleMarkIsFoundAtEveryPosition) {
  constexpr std::size_t kLength = 200;
  scan::UnitSet set;
  set.add(0x00FE);
  for (scan::Path path : {scan::Path::kPortable, scan::Path::kAvx2, scan::Path::kBest}) {
    const scan::Path before = scan::limitPath(path);
    for (std::size_t at = 0; at < kLength; ++at) {
      std::u16string s(kLength, u'a');
      s[at] = 0x00FE;
      const auto* p = s.data();
      EXPECT_EQ(scan::findUnit(p, kLength, 0x00FE), at) << static_cast<int>(path);
      EXPECT_EQ(scan::countUnit(p, kLength, 0x00FE), 1u) << at;
      EXPECT_EQ(scan::findNth(p, kLength, 0x00FE, 1).pos, at) << at;
      EXPECT_EQ(scan::findNthBackward(p, kLength, 0x00FE, 1).pos, at) << at;
      EXPECT_EQ(scan::findInSet(p, kLength, set), at) << at;
    }
    scan::limitPath(before);
  }
}

// Every vector scan (AVX-512 and AVX2, where the processor has them) gives what its portable
// loop gives, at every alignment and length.
TEST(MarkScan, VectorAndPortablePathsAgree) {
  std::mt19937 rng(99);
  const char16_t alphabet[] = {u'a', 0x00FE, u'b', 0x00FD, 0x00FC, 0x00FF, 0x0100, 0xFEFE};
  scan::UnitSet set;
  set.add(u'a');
  set.add(0x00FD);
  scan::UnitSet onlyHigh;  // units of 255 and above belong to every set
  for (int round = 0; round < 3000; ++round) {
    std::u16string s;
    const int n = std::uniform_int_distribution<int>(0, round % 3 == 0 ? 400 : 150)(rng);
    const int spread = std::uniform_int_distribution<int>(1, 7)(rng);
    for (int i = 0; i < n; ++i) {
      s.push_back(alphabet[std::uniform_int_distribution<int>(0, spread)(rng)]);
    }
    const std::size_t k = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
    const std::size_t from = std::uniform_int_distribution<std::size_t>(0, s.size())(rng);
    const std::u16string pat = s.substr(s.size() / 2, std::min<std::size_t>(s.size() / 2, 3));
    const std::size_t ownStart = s.find(0x00FE, s.size() / 3);
    const std::u16string ownSibling =
        ownStart == std::u16string::npos
            ? u""
            : s.substr(ownStart + 1, s.find(0x00FE, ownStart + 1) - ownStart - 1);
    auto run = [&](scan::Path path) {
      const scan::Path before = scan::limitPath(path);
      const std::size_t f = scan::findUnit(s.data(), s.size(), 0x00FE);
      const std::size_t c = scan::countUnit(s.data(), s.size(), 0x00FE);
      const scan::NthResult a = scan::findNth(s.data(), s.size(), 0x00FE, k);
      const scan::NthResult b = scan::findNthBackward(s.data(), s.size(), 0x00FE, k);
      const std::size_t t = scan::findText(s.data(), s.size(), pat.data(), pat.size(), from);
      const std::size_t u = scan::findInSet(s.data(), s.size(), set);
      const std::size_t h = scan::findInSet(s.data(), s.size(), onlyHigh);
      const std::size_t g = scan::findSiblingStart(s.data(), s.size(), from, 0x00FD, set);
      scan::UnitSet stop;
      stop.add(0x00FC);
      const std::size_t counted = scan::countInSetUnless(s.data(), s.size(), set, stop);
      const scan::SiblingHit pair =
          scan::findSiblingStartPair(s.data(), s.size(), from, 0x00FE, set, onlyHigh, stop);
      // Siblings separated by U+00FE, searched from the first sibling at or after from.
      std::size_t start = from;
      while (start > 0 && start < s.size() && s[start - 1] != 0x00FE) ++start;
      const char16_t sibling[] = {u'a', u'b'};
      const scan::SiblingHit one = scan::findSibling(s.data(), s.size(), start, 0x00FE, sibling, 1);
      const scan::SiblingHit two = scan::findSibling(s.data(), s.size(), start, 0x00FE, sibling, 2);
      // A sibling of the text itself, of any length: the vector paths probe it at offsets chosen
      // from the siblings they meet first, which a short pattern never moves.
      const scan::SiblingHit own = ownSibling.empty()
                                       ? scan::SiblingHit{}
                                       : scan::findSibling(s.data(), s.size(), start, 0x00FE,
                                                           ownSibling.data(), ownSibling.size());
      // Ordered searches with a pattern of one to three units, ascending and descending.
      const std::size_t patLength = 1 + k % 3;
      const char16_t ordered[] = {u'a', 0x00FD, u'b'};
      const scan::OrderedHit up =
          scan::findOrderedStop(s.data(), s.size(), start, 0x00FE, ordered, patLength, false);
      const scan::OrderedHit down = scan::findOrderedStop(s.data(), s.size(), start, 0x00FE,
                                                          ordered + 3 - patLength, patLength, true);
      scan::limitPath(before);
      return std::vector<std::size_t>{f,
                                      c,
                                      a.count,
                                      a.pos,
                                      b.count,
                                      b.pos,
                                      t,
                                      u,
                                      h,
                                      g,
                                      one.pos,
                                      one.separators,
                                      two.pos,
                                      two.separators,
                                      own.pos,
                                      own.separators,
                                      up.pos,
                                      up.separators,
                                      up.stopped,
                                      up.equal,
                                      down.pos,
                                      down.separators,
                                      down.stopped,
                                      down.equal,
                                      counted,
                                      pair.pos,
                                      pair.separators};
    };
    const auto portable = run(scan::Path::kPortable);
    ASSERT_EQ(run(scan::Path::kAvx2), portable) << "round " << round;
    ASSERT_EQ(run(scan::Path::kBest), portable) << "round " << round;
    // And the portable answers are the obvious ones.
    ASSERT_EQ(portable[1], static_cast<std::size_t>(std::count(s.begin(), s.end(), 0x00FE)));
    ASSERT_EQ(portable[6],
              s.find(pat, from) == std::u16string::npos ? s.size() : s.find(pat, from));
  }
}

// A sibling after more separators than a 16-bit lane can count, just past and far past the
// stretch after which the vector loops fold their lane counts: every one is counted once.
TEST(MarkScan, LongSiblingSearchCountsEverySeparator) {
  const char16_t pat[] = {u'x', u'y'};
  for (const int siblings : {262150, 600000}) {
    std::u16string s(static_cast<std::size_t>(siblings), 0x00FE);
    s += u"xy";
    for (const scan::Path path : {scan::Path::kPortable, scan::Path::kAvx2, scan::Path::kBest}) {
      const scan::Path before = scan::limitPath(path);
      const scan::SiblingHit hit = scan::findSibling(s.data(), s.size(), 0, 0x00FE, pat, 2);
      scan::limitPath(before);
      EXPECT_EQ(hit.pos, s.size() - 2) << siblings;
      EXPECT_EQ(hit.separators, static_cast<std::size_t>(siblings)) << siblings;
    }
  }
}

}  // namespace
}  // namespace tarn
