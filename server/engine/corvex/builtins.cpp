#include "server/engine/corvex/builtins.h"

#include <cmath>
#include <optional>
#include <string>

#include <algorithm>
#include <cstring>
#include <random>

#include "server/engine/corvex/files.h"
#include "server/engine/corvex/machine.h"
#include "server/engine/text/utf8.h"

namespace tarn::server::corvex {
namespace {

bool isMark(char c) {
  return c == kAm || c == kVm || c == kSvm;
}

// Applies f to every element of the lowest level of s, keeping the marks between them.
template <typename F>
std::string eachElement(std::string_view s, F f) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t k = 0; k <= s.size(); ++k) {
    if (k == s.size() || isMark(s[k])) {
      out += f(s.substr(start, k - start));
      if (k < s.size()) out.push_back(s[k]);
      start = k + 1;
    }
  }
  return out;
}

std::vector<std::string_view> elements(std::string_view s, std::string& marks) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t k = 0; k <= s.size(); ++k) {
    if (k == s.size() || isMark(s[k])) {
      out.push_back(s.substr(start, k - start));
      if (k < s.size()) marks.push_back(s[k]);
      start = k + 1;
    }
  }
  return out;
}

double numberIn(std::string_view t) {
  double d = 0;
  // An empty element adds nothing; text that is not a number stops the call, as arithmetic does.
  if (t.empty()) return 0;
  if (!parseNumeric(t, d)) notANumber(Value(std::string(t)));
  return d;
}

// SUM: adds the elements of the deepest level present, one level less deep afterwards.
std::string sumLevel(std::string_view s) {
  // The deepest mark decides the level summed: SUM("1" @VM "2" @AM "3") adds within each
  // attribute and gives "3" @AM "3".
  char deepest = 0;
  for (char c : s) {
    if (c == kSvm) {
      deepest = kSvm;
      break;
    }
    if (c == kVm) deepest = kVm;
    if (c == kAm && deepest == 0) deepest = kAm;
  }
  std::string out;
  double total = 0;
  std::string number;
  for (std::size_t k = 0, start = 0; k <= s.size(); ++k) {
    const bool end = k == s.size();
    if (end || isMark(s[k])) {
      total += numberIn(s.substr(start, k - start));
      start = k + 1;
      // A mark above the deepest level closes a sum and is kept.
      if (end || static_cast<unsigned char>(s[k]) > static_cast<unsigned char>(deepest)) {
        number.clear();
        formatNumber(total, number);
        out += number;
        if (!end) out.push_back(s[k]);
        total = 0;
      }
    }
  }
  return out;
}

std::string ereplace(const std::string& s, const std::string& from, const std::string& to,
                     long occurrences, long begin) {
  if (from.empty()) return s;
  std::string out;
  std::size_t at = 0;
  long seen = 0;
  long replaced = 0;
  for (;;) {
    std::size_t hit = s.find(from, at);
    if (hit == std::string::npos) break;
    ++seen;
    out.append(s, at, hit - at);
    // begin counts matches from 1; an occurrence count below 1 means every match from begin on.
    if (seen >= std::max(begin, 1L) && (occurrences < 1 || replaced < occurrences)) {
      out += to;
      ++replaced;
    } else {
      out += from;
    }
    at = hit + from.size();
  }
  out.append(s, at, std::string::npos);
  return out;
}

std::string substringSet(const std::string& s, long start, long length, const std::string& with) {
  long len = textLength(s);
  if (start < 0) start += len + 1;
  if (start < 1) start = 1;
  if (length < 0) length = 0;
  std::string out(substring(s, 1, start - 1));
  // Past the end: blanks fill the gap, as a fixed-width record would have them.
  // X[10,2] = "ab" on a five-character X pads with blanks to keep the new text at position 10.
  if (start - 1 > len) out.append(static_cast<std::size_t>(start - 1 - len), ' ');
  out += with;
  out += substring(s, start + length, len);
  return out;
}

char32_t upper(char32_t c) {
  return c >= 'a' && c <= 'z' ? c - 32 : c;
}

}  // namespace

std::string formatMask(const std::string& value, std::string_view mask,
                       const NumberFormat& format) {
  // Date and masked-decimal codes are conversions, not masks: FMT hands them to oconv.
  if (!mask.empty() && (mask[0] == 'D' || mask[0] == 'M')) {
    std::optional<std::string> got = oconv(value, mask, format);
    return got ? *got : value;
  }
  std::size_t i = 0;
  char just = 'L';
  // strchr also finds the terminating NUL, so a NUL byte in the mask is excluded by hand.
  if (i < mask.size() && std::strchr("LRCTlrct", mask[i]) != nullptr && mask[i] != '\0')
    just = static_cast<char>(upper(static_cast<unsigned char>(mask[i++])));
  auto digit = [&](std::size_t k) { return k < mask.size() && mask[k] >= '0' && mask[k] <= '9'; };
  int decimals = -1;
  int scaling = 0;
  if (digit(i)) {
    decimals = mask[i++] - '0';
    if (digit(i)) scaling = mask[i++] - '0';
  }
  std::string flags;
  while (i < mask.size() && std::strchr(",$Z", mask[i]) != nullptr && mask[i] != '\0')
    flags.push_back(mask[i++]);
  char fill = ' ';
  std::size_t width = 0;
  if (i < mask.size() && (mask[i] == '#' || mask[i] == '*' || mask[i] == '%')) {
    fill = mask[i] == '#' ? ' ' : (mask[i] == '%' ? '0' : '*');
    ++i;
    if (!digit(i)) return value;
    // The width stops growing at six digits, so a long run of digits cannot overflow it.
    while (digit(i) && width < 100000)
      width = width * 10 + static_cast<std::size_t>(mask[i++] - '0');
  }
  if (i != mask.size()) return value;  // not a mask: the value as it is
  std::string text = value;
  double d = 0;
  if (decimals >= 0 && !value.empty() && parseNumeric(value, d)) {
    // The numeric part is an MR/ML conversion, so FMT and OCONV round and group alike.
    std::string code = std::string("M") + (just == 'L' ? 'L' : 'R') +
                       static_cast<char>('0' + decimals) + static_cast<char>('0' + scaling) + flags;
    std::optional<std::string> got = oconv(value, code, format);
    if (got) text = *got;
  }
  const std::size_t length = text::charCount(text);
  if (width == 0) return text;
  // The field is the width: longer text is cut, keeping the end that the justification shows.
  if (length > width) {
    const long keep = static_cast<long>(width);
    return std::string(just == 'R' ? substring(text, static_cast<long>(length) - keep + 1, keep)
                                   : substring(text, 1, keep));
  }
  const std::size_t pad = width - length;
  if (just == 'R') return std::string(pad, fill) + text;
  if (just == 'C') return std::string(pad / 2, fill) + text + std::string(pad - pad / 2, fill);
  return text + std::string(pad, fill);
}

bool matchesPattern(std::string_view s, std::string_view patterns) {
  // Characters, so that X and A count letters beyond ASCII as one each.
  std::vector<char32_t> chars;
  for (std::size_t at = 0; at < s.size();) {
    bool mark = false;
    chars.push_back(text::nextChar(s, at, mark));
  }
  for (std::size_t start = 0; start <= patterns.size();) {
    std::size_t end = patterns.find(kVm, start);
    if (end == std::string_view::npos) end = patterns.size();
    std::string_view pattern = patterns.substr(start, end - start);
    // The pattern as items: a count and a class (N digits, A letters, X anything; a count of 0
    // means any number), or literal text.
    struct Item {
      long count;
      char cls;  // 'N', 'A', 'X', or 0 for the literal
      std::vector<char32_t> literal;
    };
    std::vector<Item> items;
    bool ok = true;
    for (std::size_t k = 0; k < pattern.size() && ok;) {
      char c = pattern[k];
      if (c >= '0' && c <= '9') {
        long count = 0;
        while (k < pattern.size() && pattern[k] >= '0' && pattern[k] <= '9' && count < 100000)
          count = count * 10 + (pattern[k++] - '0');
        char cls = k < pattern.size()
                       ? static_cast<char>(upper(static_cast<unsigned char>(pattern[k])))
                       : 0;
        if (cls == 'N' || cls == 'A' || cls == 'X') {
          items.push_back({count, cls, {}});
          ++k;
          continue;
        }
        // A number not followed by a class stands for itself.
        Item lit{1, 0, {}};
        for (char ch : std::to_string(count)) lit.literal.push_back(static_cast<unsigned char>(ch));
        items.push_back(std::move(lit));
        continue;
      }
      Item lit{1, 0, {}};
      if (c == '\'' || c == '"') {
        std::size_t close = pattern.find(c, k + 1);
        if (close == std::string_view::npos) {
          ok = false;
          break;
        }
        std::string_view body = pattern.substr(k + 1, close - k - 1);
        for (std::size_t at = 0; at < body.size();) {
          bool mark = false;
          lit.literal.push_back(text::nextChar(body, at, mark));
        }
        k = close + 1;
      } else {
        bool mark = false;
        lit.literal.push_back(text::nextChar(pattern, k, mark));
      }
      items.push_back(std::move(lit));
    }
    if (ok) {
      // Which (item, position) pairs can still reach the end: filled from the back.
      const std::size_t n = chars.size();
      // The table below costs items times characters; literals cost their length per position.
      // The table is not counted in the call's budget: this cap keeps it to tens of megabytes.
      if (static_cast<double>(n + 1) * static_cast<double>(pattern.size() + 1) > 64e6)
        throw Failure{"MATCHES: text and pattern too long to compare"};
      std::vector<char> can((items.size() + 1) * (n + 1), 0);
      auto at = [&](std::size_t item, std::size_t pos) -> char& {
        return can[item * (n + 1) + pos];
      };
      at(items.size(), n) = 1;
      auto fits = [&](char cls, char32_t ch) {
        if (cls == 'X') return true;
        if (cls == 'N') return ch >= '0' && ch <= '9';
        // A: ASCII letters, Latin-1 from U+00C0 (a rough letter test there), and every character
        // past U+00FF; marks and malformed bytes are never letters.
        return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
               (ch >= 0xC0 && ch != text::kInvalid && ch < 0xFB) || ch > 0xFF;
      };
      // How many characters from each position fit a class, so a count checks in one step.
      std::vector<std::size_t> digits(n + 1, 0);
      std::vector<std::size_t> letters(n + 1, 0);
      for (std::size_t pos = n; pos-- > 0;) {
        digits[pos] = fits('N', chars[pos]) ? digits[pos + 1] + 1 : 0;
        letters[pos] = fits('A', chars[pos]) ? letters[pos + 1] + 1 : 0;
      }
      for (std::size_t it = items.size(); it-- > 0;) {
        const Item& item = items[it];
        for (std::size_t pos = n + 1; pos-- > 0;) {
          char result = 0;
          if (item.cls == 0) {
            const std::size_t len = item.literal.size();
            result = pos + len <= n &&
                     std::equal(item.literal.begin(), item.literal.end(),
                                chars.begin() + static_cast<long>(pos)) &&
                     at(it + 1, pos + len);
          } else if (item.count == 0) {
            // Any run of the class: stop here, or take one more and stay on this item.
            result = at(it + 1, pos) || (pos < n && fits(item.cls, chars[pos]) && at(it, pos + 1));
          } else {
            const auto len = static_cast<std::size_t>(item.count);
            const std::size_t fitting = item.cls == 'X'   ? n - pos
                                        : item.cls == 'N' ? digits[pos]
                                                          : letters[pos];
            result = fitting >= len && at(it + 1, pos + len);
          }
          at(it, pos) = result;
        }
      }
      if (at(0, 0)) return true;
    }
    start = end + 1;
  }
  return false;
}

void callBuiltin(Fn fn, Value& out, const Value* const* a, int n, const Files& port) {
  const NumberFormat& format = port.format();
  // Arguments that object code left out read as empty (0 for numbers), never past the run.
  auto num = [&](int k) { return k < n ? numberOf(*a[k]) : 0.0; };
  auto lng = [&](int k) { return k < n ? longOf(*a[k]) : 0L; };
  static const std::string kEmpty;
  auto txt = [&](int k) -> const std::string& { return k < n ? a[k]->text() : kEmpty; };
  switch (fn) {
    case Fn::kLen:
      out.setNumber(static_cast<double>(textLength(txt(0))));
      return;
    case Fn::kTrim:
      out.setText(trim(txt(0)));
      return;
    case Fn::kField:
      out.setText(field(txt(0), txt(1), lng(2), n > 3 ? lng(3) : 1));
      return;
    case Fn::kIndex:
      out.setNumber(static_cast<double>(indexOf(txt(0), txt(1), lng(2))));
      return;
    case Fn::kCount:
      out.setNumber(static_cast<double>(countOf(txt(0), txt(1))));
      return;
    case Fn::kDcount:
      out.setNumber(static_cast<double>(dcount(txt(0), txt(1))));
      return;
    case Fn::kExtract:
      out.setText(std::string(extract(txt(0), lng(1), lng(2), lng(3))));
      return;
    case Fn::kReplace:
    case Fn::kInsert: {
      // The last argument is the new text; the positions before it default to 0.
      long pos[3] = {0, 0, 0};
      // checkSize counts the positions too: padding up to a far position is built of marks.
      for (int k = 1; k < n - 1; ++k) pos[k - 1] = lng(k);
      checkSize(static_cast<double>(txt(0).size()) + static_cast<double>(txt(n - 1).size()) +
                static_cast<double>(pos[0] + pos[1] + pos[2]));
      std::string s = txt(0);
      if (fn == Fn::kReplace) {
        replaceElement(s, pos[0], pos[1], pos[2], txt(n - 1));
      } else {
        insertElement(s, pos[0], pos[1], pos[2], txt(n - 1));
      }
      out.setText(std::move(s));
      return;
    }
    case Fn::kDelete: {
      std::string s = txt(0);
      deleteElement(s, lng(1), lng(2), lng(3));
      out.setText(std::move(s));
      return;
    }
    case Fn::kOconv:
    case Fn::kIconv: {
      std::optional<std::string> got =
          fn == Fn::kOconv ? oconv(txt(0), txt(1), format) : iconv(txt(0), txt(1), format);
      // A code that is not valid gives "" rather than stopping the call.
      out.setText(got ? std::move(*got) : std::string());
      return;
    }
    case Fn::kUpcase:
      out.setText(upcase(txt(0)));
      return;
    case Fn::kDowncase:
      out.setText(downcase(txt(0)));
      return;
    case Fn::kStr:
      // Checked before the text is built: STR("x", 1E9) stops here, not after a gigabyte.
      checkSize(static_cast<double>(txt(0).size()) * num(1));
      out.setText(repeat(txt(0), lng(1)));
      return;
    case Fn::kSpace:
      checkSize(num(0));
      out.setText(repeat(" ", lng(0)));
      return;
    case Fn::kNum: {
      double d = 0;
      out.setNumber(a[0]->number(d) ? 1 : 0);
      return;
    }
    case Fn::kAlpha:
      out.setNumber(alphabetic(txt(0)) ? 1 : 0);
      return;
    case Fn::kInt:
      out.setNumber(std::trunc(num(0)));
      return;
    case Fn::kAbs:
      out.setNumber(std::fabs(num(0)));
      return;
    case Fn::kMod: {
      double d = num(1);
      // fmod keeps the dividend's sign: MOD(-7, 3) is -1, the same as REM.
      if (d == 0) throw Failure{"MOD by zero"};
      out.setNumber(std::fmod(num(0), d));
      return;
    }
    case Fn::kSeq:
      out.setNumber(static_cast<double>(sequence(txt(0))));
      return;
    case Fn::kChar:
      out.setText(character(lng(0)));
      return;
    case Fn::kDate:
      out.setNumber(static_cast<double>(internalDateToday()));
      return;
    case Fn::kTime:
      out.setNumber(static_cast<double>(internalTimeNow()));
      return;
    case Fn::kConvert:
      out.setText(convertChars(txt(0), txt(1), txt(2)));
      return;
    case Fn::kChange:
      if (txt(2).size() > txt(1).size())
        checkSize(static_cast<double>(txt(0).size()) +
                  static_cast<double>(countOf(txt(0), txt(1))) *
                      static_cast<double>(txt(2).size() - txt(1).size()));
      out.setText(changeAll(txt(0), txt(1), txt(2)));
      return;
    case Fn::kNot:
      out.setNumber(a[0]->truth() ? 0 : 1);
      return;
    case Fn::kFmt:
      out.setText(formatMask(txt(0), txt(1), format));
      return;
    case Fn::kMatches:
      out.setNumber(matchesPattern(txt(0), txt(1)) ? 1 : 0);
      return;
    case Fn::kSum:
      out.setText(sumLevel(txt(0)));
      return;
    case Fn::kFields: {
      const std::string& d = txt(1);
      const long occurrence = lng(2);
      const long count = n > 3 ? lng(3) : 1;
      out.setText(
          eachElement(txt(0), [&](std::string_view e) { return field(e, d, occurrence, count); }));
      return;
    }
    case Fn::kEreplace:
      if (txt(2).size() > txt(1).size())
        checkSize(static_cast<double>(txt(0).size()) +
                  static_cast<double>(countOf(txt(0), txt(1))) *
                      static_cast<double>(txt(2).size() - txt(1).size()));
      out.setText(ereplace(txt(0), txt(1), txt(2), n > 3 ? lng(3) : 0, n > 4 ? lng(4) : 1));
      return;
    case Fn::kDquote:
      out.setText("\"" + txt(0) + "\"");
      return;
    case Fn::kSquote:
      out.setText("'" + txt(0) + "'");
      return;
    case Fn::kCounts: {
      const std::string& sub = txt(1);
      out.setText(
          eachElement(txt(0), [&](std::string_view e) { return std::to_string(countOf(e, sub)); }));
      return;
    }
    case Fn::kRem:
    case Fn::kDiv: {
      double d = num(1);
      if (d == 0) throw Failure{"division by zero"};
      out.setNumber(fn == Fn::kRem ? std::fmod(num(0), d) : std::trunc(num(0) / d));
      return;
    }
    case Fn::kPwr:
      out.setNumber(std::pow(num(0), num(1)));
      return;
    case Fn::kSqrt: {
      double d = num(0);
      if (d < 0) throw Failure{"square root of a negative number"};
      out.setNumber(std::sqrt(d));
      return;
    }
    case Fn::kRnd: {
      // Per thread, since ports run calls in parallel; seeded once per thread from the system.
      static thread_local std::mt19937_64 random{std::random_device{}()};
      const long limit = lng(0);
      out.setNumber(limit < 1 ? 0
                              : static_cast<double>(
                                    std::uniform_int_distribution<long>(0, limit - 1)(random)));
      return;
    }
    case Fn::kOconvs:
    case Fn::kIconvs: {
      const std::string& code = txt(1);
      out.setText(eachElement(txt(0), [&](std::string_view e) {
        std::optional<std::string> got =
            fn == Fn::kOconvs ? oconv(e, code, format) : iconv(e, code, format);
        return got ? std::move(*got) : std::string();
      }));
      return;
    }
    case Fn::kSplice: {
      // Element by element: a, the separator, b; the marks of the longer list.
      std::string marksA;
      std::string marksB;
      std::vector<std::string_view> left = elements(txt(0), marksA);
      std::vector<std::string_view> right = elements(txt(2), marksB);
      // Elements missing from the shorter list count as empty, so both are walked to the longer's
      // end.
      const std::string& marks = marksA.size() >= marksB.size() ? marksA : marksB;
      const std::string& sep = txt(1);
      std::string joined;
      const std::size_t count = std::max(left.size(), right.size());
      for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) joined.push_back(marks[k - 1]);
        joined += k < left.size() ? left[k] : std::string_view();
        joined += sep;
        joined += k < right.size() ? right[k] : std::string_view();
        checkSize(static_cast<double>(joined.size()));
      }
      out.setText(std::move(joined));
      return;
    }
    case Fn::kSubstringSet:
      checkSize(static_cast<double>(txt(0).size()) + static_cast<double>(txt(3).size()) +
                std::max(0.0, num(1)));
      out.setText(substringSet(txt(0), lng(1), lng(2), txt(3)));
      return;
    case Fn::kAccount:
      out.setText(port.accountName());
      return;
    case Fn::kUser:
      out.setNumber(static_cast<double>(port.portNumber()));
      return;
    case Fn::kCount_:
      break;
  }
  throw Failure{"bad function"};
}

void arrayOp(const Instr& i, Value* r, const Value* const* a, const Value& b) {
  const int n = i.x & 15;
  switch (i.op) {
    case Op::kMatGet:
    case Op::kMatSet: {
      // The loader has checked that the dimensions fit the frame; the subscripts are checked here,
      // at every access, since they are computed at run time.
      long index = longOf(*a[0]);
      long rows = longOf(*a[n / 2]);
      long limit = rows;
      if (n == 4) {
        const long columns = longOf(*a[3]);
        const long column = longOf(*a[1]);
        if (column < 1 || column > columns)
          throw Failure{"column " + std::to_string(column) + " is outside 1 to " +
                        std::to_string(columns)};
        if (index < 1 || index > rows)
          throw Failure{"row " + std::to_string(index) + " is outside 1 to " +
                        std::to_string(rows)};
        index = (index - 1) * columns + column;
        limit = rows * columns;
      } else if (index < 1 || index > limit) {
        throw Failure{"subscript " + std::to_string(index) + " is outside 1 to " +
                      std::to_string(limit)};
      }
      if (i.op == Op::kMatGet) {
        r[i.a] = r[i.b + index - 1];
      } else {
        r[i.a + index - 1] = b;
      }
      return;
    }
    case Op::kMatFill: {
      const long count = longOf(*a[0]);
      for (long k = 0; k < count; ++k) r[i.a + k] = b;
      return;
    }
    case Op::kMatParse: {
      // One field per element; what does not fit stays in the last element.
      const std::string& d = a[0]->text();
      const long count = longOf(*a[1]);
      // A copy: b may be one of the array's own elements, which the loop overwrites.
      const std::string s = b.text();
      std::size_t at = 0;
      for (long k = 0; k < count; ++k) {
        std::size_t next = d.empty() || k == count - 1 ? std::string::npos : s.find(d, at);
        if (at > s.size()) {
          r[i.a + k].setText(std::string());
          continue;
        }
        r[i.a + k].setText(s.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next == std::string::npos ? s.size() + 1 : next + d.size();
      }
      return;
    }
    case Op::kMatBuild: {
      // Trailing empty elements are left off, as a record read back would not have them.
      const std::string& d = a[0]->text();
      const long count = longOf(*a[1]);
      // Counted from the end: an empty element in the middle still keeps its place.
      long last = count;
      while (last > 0 && r[i.b + last - 1].text().empty()) --last;
      std::string s;
      for (long k = 0; k < last; ++k) {
        if (k > 0) s += d;
        r[i.b + k].appendTo(s);
        checkSize(static_cast<double>(s.size()));
      }
      r[i.a].setText(std::move(s));
      return;
    }
    default:
      throw Failure{"bad instruction"};
  }
}

}  // namespace tarn::server::corvex
