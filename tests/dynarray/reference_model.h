// A plain model of dynamic array element access: the element rules written out step by step
// with 1-based positions and no remembered state, for checking the library's version against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn::model {

using Text = std::u16string;

inline constexpr char16_t AM = 0x00FE, VM = 0x00FD, SVM = 0x00FC;

// Maps ^ ] \ to the attribute, value and sub-value marks; everything else stays.
inline Text marks(std::u16string_view s) {
  Text t(s);
  for (char16_t& c : t) {
    if (c == u'^')
      c = AM;
    else if (c == u']')
      c = VM;
    else if (c == u'\\')
      c = SVM;
  }
  return t;
}
inline Text marks(const char* s) {
  Text t;
  for (; *s; ++s) t.push_back(static_cast<unsigned char>(*s));
  return marks(t);
}
// The inverse, for readable failure messages.
inline std::string shown(std::u16string_view t) {
  std::string s;
  for (char16_t c : t) {
    if (c == AM)
      s += '^';
    else if (c == VM)
      s += ']';
    else if (c == SVM)
      s += '\\';
    else if (c < 128)
      s += static_cast<char>(c);
    else
      s += "<" + std::to_string(static_cast<unsigned>(c)) + ">";
  }
  return s;
}

struct Found {
  Text element;
  std::int64_t start = 1;  // 1-based
  std::int64_t missA = 0, missV = 0, missS = 0;
  char16_t mark = AM;
};

// Searches `within` for `mark` until `want` marks are found (never, when want < 0). Returns the
// number found and the 1-based position of the last one (0 when none).
inline std::int64_t countUntil(const Text& within, char16_t mark, std::int64_t want,
                               std::int64_t& lastPos) {
  std::int64_t found = 0;
  lastPos = 0;
  std::size_t from = 0;
  while (found != want) {
    const std::size_t hit = within.find(mark, from);
    if (hit == Text::npos) break;
    ++found;
    lastPos = static_cast<std::int64_t>(hit) + 1;
    from = hit + 1;
  }
  return found;
}

inline Text upToMark(const Text& t, std::int64_t start, char16_t mark) {
  const Text rest = t.substr(static_cast<std::size_t>(start - 1));
  return rest.substr(0, rest.find(mark));
}

inline Found findElement(const Text& text, std::int64_t a, std::int64_t v, std::int64_t s) {
  Found f;
  if (a == 0) return f;
  std::int64_t last = 0;
  std::int64_t found = countUntil(text, AM, a - 1, last);
  if (found == a - 1) {
    f.start = a == 1 ? 1 : last + 1;
    f.element = upToMark(text, f.start, AM);
  } else {
    f.start = static_cast<std::int64_t>(text.size()) + 1;
    f.missA = a - 1 - found;
  }
  auto level = [&](std::int64_t k, char16_t mark, std::int64_t& miss) {
    f.mark = mark;
    const Text within = f.element;
    found = countUntil(within, mark, k - 1, last);
    if (found == k - 1) {
      f.start += last;
      const Text rest = within.substr(static_cast<std::size_t>(last));
      f.element = rest.substr(0, rest.find(mark));
    } else {
      f.start += static_cast<std::int64_t>(within.size());
      f.element.clear();
      miss = k - 1 - found;
    }
  };
  if (v == 0) return f;
  level(v, VM, f.missV);
  if (s == 0) return f;
  level(s, SVM, f.missS);
  return f;
}

inline Text extract(const Text& text, std::int64_t a, std::int64_t v, std::int64_t s) {
  return findElement(text, a, v, s).element;
}

inline char16_t at(const Text& t, std::int64_t pos) {
  return t[static_cast<std::size_t>(pos - 1)];
}

// Shared set-up of replacement and insertion: where the new string goes and the marks before it.
struct Placement {
  std::int64_t start, length, missA, missV, missS;
  char16_t mark;
  bool append;
};

inline Placement place(const Text& text, std::int64_t& a, std::int64_t& v, std::int64_t& s) {
  if (a == 0) v = 0;
  if (v == 0) s = 0;
  if (a < 0) {
    return {static_cast<std::int64_t>(text.size()) + 1,
            0,
            text.empty() ? 0 : 1,
            std::max<std::int64_t>(v - 1, 0),
            std::max<std::int64_t>(s - 1, 0),
            AM,
            true};
  }
  Found f = findElement(text, a, v, s);
  if (f.missV < 0) {
    if (f.start == 1 || f.missA != 0)
      f.missV = 0;
    else
      f.missV = at(text, f.start - 1) <= VM ? 1 : 0;
  }
  if (f.missS < 0) {
    if (f.start == 1 || f.missA != 0 || f.missV != 0)
      f.missS = 0;
    else
      f.missS = at(text, f.start - 1) <= SVM ? 1 : 0;
  }
  return {f.start, static_cast<std::int64_t>(f.element.size()), f.missA, f.missV, f.missS, f.mark,
          false};
}

inline Text build(const Text& text, const Placement& p, const Text& fresh, bool markAfter,
                  char16_t after, std::int64_t resumeAt) {
  Text r = text.substr(0, static_cast<std::size_t>(p.start - 1));
  r.append(static_cast<std::size_t>(p.missA), AM);
  r.append(static_cast<std::size_t>(p.missV), VM);
  r.append(static_cast<std::size_t>(p.missS), SVM);
  r += fresh;
  if (markAfter) r.push_back(after);
  if (resumeAt <= static_cast<std::int64_t>(text.size())) {
    r += text.substr(static_cast<std::size_t>(resumeAt - 1));
  }
  return r;
}

inline Text replace(const Text& text, const Text& fresh, std::int64_t a, std::int64_t v,
                    std::int64_t s) {
  const bool prepend = !text.empty() && a == 0;
  const Placement p = place(text, a, v, s);
  return build(text, p, fresh, !p.append && prepend, AM, p.start + p.length);
}

inline Text insert(const Text& text, const Text& fresh, std::int64_t a, std::int64_t v,
                   std::int64_t s) {
  const Placement p = place(text, a, v, s);
  const bool trailing =
      !p.append && p.start <= static_cast<std::int64_t>(text.size()) && at(text, p.start) <= p.mark;
  return build(text, p, fresh, trailing, p.mark, p.start);
}

inline Text remove(const Text& text, std::int64_t a, std::int64_t v, std::int64_t s) {
  if (a == 0) v = 0;
  if (v == 0) s = 0;
  const Found f = findElement(text, a, v, s);
  if (f.missA != 0 || f.missV != 0 || f.missS != 0) return text;
  const auto len = static_cast<std::int64_t>(f.element.size());
  const auto n = static_cast<std::int64_t>(text.size());
  const int before = f.start >= 2 ? at(text, f.start - 1) : -1;
  const int after = f.start + len <= n ? at(text, f.start + len) : -1;
  const bool dropNext = (f.start == 1 || before > after) && after == f.mark && f.start + len <= n;
  const bool dropPrev = f.start >= 2 && before <= f.mark;
  Text r = text.substr(0, static_cast<std::size_t>(f.start - 1 - (dropPrev ? 1 : 0)));
  const std::int64_t resume = f.start + len + (dropNext ? 1 : 0);
  if (resume <= n) r += text.substr(static_cast<std::size_t>(resume - 1));
  return r;
}

// The comparison of the array's compare mode: ordinal when caseless is empty, else caseless
// (-1, 0, 1), with marks strings always compared exactly.
struct Comparison {
  std::function<int(std::u16string_view, std::u16string_view)> caseless;

  static bool markString(std::u16string_view s) {
    return std::u16string_view(u"\u00FC\u00FD\u00FE\u00FF").find(s) != std::u16string_view::npos;
  }
  static int ordinal(std::u16string_view a, std::u16string_view b) {
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  int elements(std::u16string_view s1, std::u16string_view s2, bool rightJustified) const {
    bool exact = !caseless;
    if (rightJustified) {
      if (s1.size() < s2.size()) return -1;
      if (s1.size() > s2.size()) return 1;
    } else if (!exact && (markString(s1) || markString(s2))) {
      exact = true;
    }
    return exact ? ordinal(s1, s2) : caseless(s1, s2);
  }
};

// The locate search: found, and the position reported.
inline bool locate(const Text& text, const Text& sub, const Text* code, std::int64_t a,
                   std::int64_t v, std::int64_t start, const Comparison& cmp,
                   std::int64_t& position) {
  if (a < 0) a = 0;
  if (start < 1) start = 1;
  Text list = text;
  char16_t sep = AM;
  if (a > 0) {
    const Found f = findElement(text, a, v, 0);
    list = f.element;
    sep = static_cast<char16_t>(f.mark - 1);
  }
  if (list.empty()) {
    position = start;
    return false;
  }
  list.push_back(sep);
  std::vector<Text> siblings;
  for (std::size_t from = 0, hit; (hit = list.find(sep, from)) != Text::npos; from = hit + 1) {
    siblings.push_back(list.substr(from, hit - from));
  }
  // Every sibling ends with a separator now; fewer than start - 1 of them: nothing to search.
  if (static_cast<std::int64_t>(siblings.size()) < start - 1) {
    position = start;
    return false;
  }
  int order = 0;  // 1 ascending, -1 descending
  bool right = false;
  if (code != nullptr && code->size() >= 2) {
    const char16_t c0 = (*code)[0], c1 = (*code)[1];
    right = c1 == u'R' || c1 == u'r';
    if (c0 == u'A' || c0 == u'a') order = 1;
    if (c0 == u'D' || c0 == u'd') order = -1;
  }
  for (std::int64_t k = start; k <= static_cast<std::int64_t>(siblings.size()); ++k) {
    const int c = cmp.elements(sub, siblings[static_cast<std::size_t>(k - 1)], right);
    if ((order == 1 && c < 0) || (order == -1 && c > 0)) {
      position = k;
      return false;
    }
    if (c == 0) {
      position = k;
      return true;
    }
  }
  position = static_cast<std::int64_t>(siblings.size()) + 1;
  return false;
}

// Occurrences of pattern (overlapping), each a slice as long as the pattern that compares equal.
inline std::int64_t count(const Text& text, const Text& pattern, const Comparison& cmp) {
  if (pattern.empty()) return static_cast<std::int64_t>(text.size());
  const bool exact = !cmp.caseless || Comparison::markString(pattern);
  std::int64_t n = 0;
  for (std::size_t p = 0; p + pattern.size() <= text.size(); ++p) {
    const std::u16string_view slice = std::u16string_view(text).substr(p, pattern.size());
    n += (exact ? slice == pattern : cmp.caseless(slice, pattern) == 0) ? 1 : 0;
  }
  return n;
}

// The character conversion word for word, on the text as it was at the start; upper is the
// upper-casing of case-insensitive mode (nothing: case-sensitive). Returns the text and count.
inline std::pair<Text, int> convert(const Text& text, const Text& sFrom, const Text& sTo,
                                    Text (*upper)(std::u16string_view)) {
  const Text work = upper ? upper(text) : text;
  const Text from = upper ? upper(sFrom) : sFrom;
  const Text to = upper ? upper(sTo) : sTo;
  std::vector<int> fate(text.size(), -1);  // -1 keep, -2 remove, else the new unit
  int count = 0;
  for (std::size_t i = 0; i < from.size(); ++i) {
    for (std::size_t p = 0; p < work.size(); ++p) {
      if (work[p] != from[i]) continue;
      fate[p] = i < to.size() ? to[i] : -2;
      ++count;
    }
  }
  Text result;
  for (std::size_t p = 0; p < text.size(); ++p) {
    if (fate[p] == -1)
      result.push_back(text[p]);
    else if (fate[p] >= 0)
      result.push_back(static_cast<char16_t>(fate[p]));
  }
  return {result, count};
}

}  // namespace tarn::model
