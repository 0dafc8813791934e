// Reads by position that remember where they stopped give what a fresh read from the start
// gives, however the reads wander and whatever changes the text between them.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "server/engine/corvex/value.h"

namespace tarn::server::corvex {
namespace {

std::string marked(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(c == '^' ? kAm : c == ']' ? kVm : c == '\\' ? kSvm : c);
  return out;
}

// A list of n attributes, some with values and subvalues, some with characters beyond ASCII.
std::string longText(long n, bool wide) {
  std::string s;
  for (long i = 1; i <= n; ++i) {
    if (i > 1) s.push_back(kAm);
    s += std::to_string(i);
    if (i % 3 == 0) s += marked("]v\\s\\t]w");
    if (wide && i % 4 == 0) s += "é日";
    if (i % 5 == 0) s += ",x,";
  }
  return s;
}

TEST(CorvexValues, RememberedPositionsReadWhatAFreshReadDoes) {
  const std::string texts[] = {
      "",
      "a",
      marked("ab^c]d\\e^^f]]g"),
      marked("é日本^x]yé\\z^"),
      "\xA9"
      "ab"
      "\xBF",  // damaged: opens and ends with continuation bytes
      marked("a\xA9\xA9"
             "b^c"),
      longText(300, false),
      longText(300, true),
  };
  const std::string pieces[] = {marked("^"), "é", marked("x]y"), "", ",", marked("\\z^")};
  const std::string delimiters[] = {",", std::string(1, kAm), "é", "", "a"};
  std::mt19937 rng(2026);
  auto pick = [&](long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); };
  for (const std::string& start : texts) {
    Value v{start};
    std::string shadow = start;
    long cursor = 0;
    for (int step = 0; step < 3000; ++step) {
      SCOPED_TRACE("step " + std::to_string(step) + " of a text of " +
                   std::to_string(start.size()) + " bytes");
      const long span = static_cast<long>(shadow.size()) + 3;
      std::size_t walked = 0;
      // Mostly walks forward by one, as loops do; sometimes anywhere, sometimes a change.
      cursor = pick(0, 3) != 0 ? cursor + 1 : pick(-2, span);
      if (cursor > span) cursor = 1;
      switch (pick(0, 9)) {
        case 0:
        case 1: {
          long a = cursor;
          long val = pick(0, 3) == 0 ? pick(-1, 4) : 0;
          long sub = val > 0 && pick(0, 1) == 0 ? pick(-1, 3) : 0;
          ASSERT_EQ(v.element(a, val, sub, walked), extract(shadow, a, val, sub))
              << a << "," << val << "," << sub;
          break;
        }
        case 2:
        case 3: {
          long length = pick(-1, 4);
          ASSERT_EQ(v.chars(cursor, length, walked), substring(shadow, cursor, length))
              << cursor << "," << length;
          break;
        }
        case 4: {
          const long n = pick(-1, span);
          const long len = textLength(shadow);
          ASSERT_EQ(v.lastChars(n, walked), substring(shadow, len - n + 1 < 1 ? 1 : len - n + 1, n))
              << n;
          break;
        }
        case 5:
        case 6: {
          const std::string& d = delimiters[pick(0, 4)];
          const long count = pick(0, 3) == 0 ? pick(0, 3) : 1;
          ASSERT_EQ(v.fieldOf(d, cursor, count, walked), field(shadow, d, cursor, count))
              << cursor << "," << count;
          break;
        }
        case 7:
          ASSERT_EQ(v.length(walked), textLength(shadow));
          break;
        case 8: {
          // Changes in place: an append, a replaced element, a cut.
          const std::string& piece = pieces[pick(0, 5)];
          std::string& text = v.editText();
          switch (pick(0, 2)) {
            case 0:
              text += piece;
              break;
            case 1:
              replaceElement(text, pick(1, 20), pick(0, 2), 0, piece);
              break;
            default:
              text.resize(text.size() / 2);
          }
          shadow = text;
          break;
        }
        default: {
          // A new text altogether, or a number.
          if (pick(0, 1) == 0) {
            shadow = texts[pick(0, 7)];
            v.setText(shadow);
          } else {
            v.setNumber(static_cast<double>(pick(-50, 100000)));
            shadow = v.text();
          }
        }
      }
      // Assigning another value takes its text, not the positions remembered in this one.
      if (step % 97 == 0) {
        const Value other{longText(40 + step % 7, step % 2 == 0)};
        ASSERT_EQ(other.element(cursor, 0, 0, walked), extract(other.text(), cursor, 0, 0));
        const Value saved = v;
        v = other;
        ASSERT_EQ(v.element(cursor + 1, 0, 0, walked), extract(other.text(), cursor + 1, 0, 0));
        ASSERT_EQ(v.chars(cursor, 2, walked), substring(other.text(), cursor, 2));
        v = saved;
      }
    }
  }
}

}  // namespace
}  // namespace tarn::server::corvex
