#include "server/engine/corvex/value.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "server/engine/text/utf8.h"

namespace tarn::server::corvex {

void formatNumber(double n, std::string& out) {
  out.clear();
  if (n == 0) {
    out = "0";
    return;
  }
  // Whole numbers below 10^15 are exact in both types, so the integer form is the same value.
  if (std::fabs(n) < 1e15 && n == std::trunc(n)) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(n));
    out.assign(buf, end);
    return;
  }
  // Large enough for %.15f of the largest double: 309 digits, sign, point and 15 decimals.
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.15g", n);
  if (std::strchr(buf, 'e') != nullptr) {
    // No exponents in this language's numbers: spell the value out.
    std::snprintf(buf, sizeof buf, "%.15f", n);
    char* end = buf + std::strlen(buf);
    while (end > buf && end[-1] == '0') --end;
    if (end > buf && end[-1] == '.') --end;
    *end = '\0';
  }
  // A negative too small for the fifteen places (0.3-0.1-0.2) is zero when printed.
  out = std::strcmp(buf, "-0") == 0 ? "0" : buf;
}

void Value::appendTo(std::string& out) const {
  if (hasText_) {
    out += text_;
    return;
  }
  // The common whole-number case goes straight into out; anything else is formatted once and
  // kept, as text() would.
  if (number_ != 0 && std::fabs(number_) < 1e15 && number_ == std::trunc(number_)) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(number_));
    out.append(buf, end);
    return;
  }
  out += text();
}

void Value::formatInto(double n) const {
  formatNumber(n, text_);
  hasText_ = true;
}

void Value::read() const noexcept {
  // The empty string is 0 in arithmetic; comparesAsNumber still treats it as text.
  if (text_.empty()) {
    number_ = 0;
    reading_ = kNumeric;
    return;
  }
  reading_ = parseNumeric(text_, number_) ? kNumeric : kText;
}

bool Value::truth() const noexcept {
  double n = 0;
  if (number(n)) return n != 0;
  return true;  // any text that is not a number is true
}

int compareValues(const Value& a, const Value& b) {
  double x = 0;
  double y = 0;
  // Text compares by bytes, never by a locale, so the order is the same on every server.
  if (a.comparesAsNumber(x) && b.comparesAsNumber(y)) return x < y ? -1 : (x > y ? 1 : 0);
  int c = a.text().compare(b.text());
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

namespace {

constexpr char kMarks[3] = {kAm, kVm, kSvm};

std::size_t findIn(std::string_view s, char mark, std::size_t from, std::size_t to) noexcept {
  // memchr rather than a loop: it scans many bytes a step, and marks are sparse in long items.
  const void* p = std::memchr(s.data() + from, mark, to - from);
  return p ? static_cast<std::size_t>(static_cast<const char*>(p) - s.data()) : to;
}

// Narrows [b,e) to its nth element separated by mark; false when there are fewer.
bool narrow(std::string_view s, char mark, long n, std::size_t& b, std::size_t& e) noexcept {
  std::size_t pos = b;
  for (long i = 1; i < n; ++i) {
    std::size_t m = findIn(s, mark, pos, e);
    if (m == e) return false;
    pos = m + 1;
  }
  b = pos;
  e = findIn(s, mark, pos, e);
  return true;
}

// Narrows [b,e) to its nth element, adding marks at the end when there are fewer.
void narrowPadding(std::string& s, char mark, long n, std::size_t& b, std::size_t& e) {
  std::size_t pos = b;
  for (long i = 1; i < n; ++i) {
    std::size_t m = findIn(s, mark, pos, e);
    if (m == e) {
      const auto missing = static_cast<std::size_t>(n - i);
      // Missing elements are added as empty ones: X<5> = "a" on a two-attribute item adds three
      // marks, and "a" becomes the fifth attribute.
      s.insert(e, missing, mark);
      b = e = e + missing;
      return;
    }
    pos = m + 1;
  }
  b = pos;
  e = findIn(s, mark, pos, e);
}

// Makes room for a new last element of [b,e) and narrows to it.
void appendSlot(std::string& s, char mark, std::size_t& b, std::size_t& e) {
  // An empty range becomes the first element itself: no mark is needed in front of it.
  if (b == e) return;
  s.insert(e, 1, mark);
  b = e = e + 1;
}

// Walks the levels before the last given one (padding), leaving [b,e) the parent range and
// the last level's mark and position. Returns false when no level was given.
bool parentOf(std::string& s, const long (&pos)[3], std::size_t& b, std::size_t& e, char& mark,
              long& last) {
  int levels = 0;
  while (levels < 3 && pos[levels] != 0) ++levels;
  if (levels == 0) return false;
  b = 0;
  e = s.size();
  for (int i = 0; i + 1 < levels; ++i) {
    if (pos[i] < 0) {
      appendSlot(s, kMarks[i], b, e);
    } else {
      narrowPadding(s, kMarks[i], pos[i], b, e);
    }
  }
  mark = kMarks[levels - 1];
  last = pos[levels - 1];
  return true;
}

}  // namespace

std::string_view extract(std::string_view s, long a, long v, long sv) noexcept {
  std::size_t b = 0;
  std::size_t e = s.size();
  const long pos[3] = {a, v, sv};
  for (int i = 0; i < 3 && pos[i] != 0; ++i) {
    if (pos[i] < 0 || !narrow(s, kMarks[i], pos[i], b, e)) return {};
  }
  return s.substr(b, e - b);
}

void replaceElement(std::string& s, long a, long v, long sv, std::string_view value) {
  if (a < 0 && v == 0) {
    // X<-1> = value, the usual way to build a list: one append at the end.
    if (!s.empty()) s.push_back(kAm);
    s.append(value);
    return;
  }
  std::size_t b = 0;
  std::size_t e = 0;
  char mark = 0;
  long last = 0;
  if (!parentOf(s, {a, v, sv}, b, e, mark, last)) {
    s.assign(value);
    return;
  }
  if (last < 0) {
    appendSlot(s, mark, b, e);
  } else {
    narrowPadding(s, mark, last, b, e);
  }
  s.replace(b, e - b, value);
}

void insertElement(std::string& s, long a, long v, long sv, std::string_view value) {
  std::size_t b = 0;
  std::size_t e = 0;
  char mark = 0;
  long last = 0;
  if (!parentOf(s, {a, v, sv}, b, e, mark, last)) {
    s.insert(0, value);
    return;
  }
  if (last < 0) {
    appendSlot(s, mark, b, e);
    s.insert(b, value);
    return;
  }
  // Inserting before the first element of an empty range: no mark is added after it.
  if (b == e && last == 1) {
    s.insert(b, value);
    return;
  }
  std::size_t pb = b;
  std::size_t pe = e;
  // Past the end: pad up to the position and put the value there, as a replace would.
  if (!narrow(s, mark, last, pb, pe)) {
    narrowPadding(s, mark, last, b, e);
    s.insert(b, value);
    return;
  }
  std::string piece(value);
  piece.push_back(mark);
  s.insert(pb, piece);
}

void deleteElement(std::string& s, long a, long v, long sv) {
  const long pos[3] = {a, v, sv};
  int levels = 0;
  while (levels < 3 && pos[levels] > 0) ++levels;
  if (levels == 0) return;
  std::size_t b = 0;
  std::size_t e = s.size();
  for (int i = 0; i + 1 < levels; ++i)
    if (!narrow(s, kMarks[i], pos[i], b, e)) return;
  const std::size_t parentB = b;
  const std::size_t parentE = e;
  if (!narrow(s, kMarks[levels - 1], pos[levels - 1], b, e)) return;
  // Take the element with the mark before it, or after it when it is the first.
  if (b > parentB) {
    s.erase(b - 1, e - b + 1);
  } else if (e < parentE) {
    s.erase(b, e - b + 1);
  } else {
    s.erase(b, e - b);
  }
}

bool locate(std::string_view needle, std::string_view s, long a, long v, std::string_view order,
            long& pos, long start) {
  std::size_t b = 0;
  std::size_t e = s.size();
  char mark = kAm;
  if (a > 0) {
    mark = kVm;
    if (!narrow(s, kAm, a, b, e)) b = e;
    if (v > 0 && b != e) {
      mark = kSvm;
      if (!narrow(s, kVm, v, b, e)) b = e;
    } else if (v > 0) {
      mark = kSvm;
    }
  }
  const bool ordered = order.size() == 2;
  const bool descending = ordered && (order[0] == 'D' || order[0] == 'd');
  const bool right = ordered && (order[1] == 'R' || order[1] == 'r');
  // A Value, so that the AR orders compare numbers as numbers.
  Value target{std::string(needle)};
  if (b == e) {
    pos = 1;
    return false;
  }
  long i = 1;
  for (std::size_t p = b;; ++i) {
    std::size_t end = findIn(s, mark, p, e);
    // A match is byte equality, whatever the order; the order only decides where a miss would go.
    std::string_view element = s.substr(p, end - p);
    // Elements before the one the search starts from are counted, not compared.
    if (i >= start && element == needle) {
      pos = i;
      return true;
    }
    if (i >= start && ordered) {
      // Right-justified orders compare numerically; left-justified ones compare bytes.
      int c = right ? compareValues(Value{std::string(element)}, target)
                    : (element.compare(needle) < 0 ? -1 : 1);
      if (descending ? c < 0 : c > 0) {
        pos = i;
        return false;
      }
    }
    if (end == e) break;
    p = end + 1;
  }
  pos = i + 1;
  return false;
}

namespace {

// The engine's text is UTF-8 with the marks as single bytes: a character is a byte that does not
// continue one, and the bytes that do continue it.
bool continues(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The byte offset n characters into s (s.size() when s has fewer).
std::size_t charOffset(std::string_view s, std::size_t n) noexcept {
  std::size_t at = 0;
  for (; n > 0 && at < s.size(); --n) {
    ++at;
    while (at < s.size() && continues(s[at])) ++at;
  }
  return at;
}

// The character of s that starts at byte `at`.
std::string_view charAt(std::string_view s, std::size_t at) noexcept {
  std::size_t end = at + 1;
  while (end < s.size() && continues(s[end])) ++end;
  return s.substr(at, end - at);
}

// The bytes of fields occurrence .. occurrence + count - 1 of s split at d (one character, of
// any length), without the delimiter after them; npos for both when s has fewer fields.
std::pair<std::size_t, std::size_t> fieldSpan(std::string_view s, std::string_view d,
                                              long occurrence, long count) noexcept {
  constexpr auto npos = std::string_view::npos;
  std::size_t b = 0;
  for (long i = 1; i < occurrence; ++i) {
    const std::size_t m = s.find(d, b);
    if (m == npos) return {npos, npos};
    b = m + d.size();
  }
  std::size_t e = b;
  for (long i = 0; i < std::max(count, 1L); ++i) {
    const std::size_t m = s.find(d, i == 0 ? e : e + d.size());
    if (m == npos) return {b, s.size()};
    e = m;
  }
  return {b, e};
}

}  // namespace

namespace {

// Continuation bytes of UTF-8 in an eight-byte word: bit 7 set and bit 6 clear in each byte.
inline std::uint64_t continuationBits(std::uint64_t w) noexcept {
  return w & ~(w << 1) & 0x8080808080808080ULL;
}
inline std::uint64_t wordAt(std::string_view s, std::size_t at) noexcept {
  std::uint64_t w = 0;
  std::memcpy(&w, s.data() + at, sizeof w);
  return w;
}

// The byte where the character `n` characters after the one starting at `at` starts (s.size()
// when s ends first), counting character starts a word at a time.
std::size_t skipChars(std::string_view s, std::size_t at, std::size_t n) noexcept {
  if (at >= s.size()) return s.size();
  if (n == 0) return at;
  // The byte at `at` starts a character even when it continues one (damaged text): what follows
  // is its n-th start after it.
  std::size_t starts = n;
  // A word at a time while it holds fewer starts than are left; the last stretch byte by byte.
  for (++at; at + 8 <= s.size(); at += 8) {
    const auto k = static_cast<std::size_t>(8 - std::popcount(continuationBits(wordAt(s, at))));
    if (k >= starts) break;
    starts -= k;
  }
  for (; at < s.size(); ++at) {
    if (!continues(s[at]) && --starts == 0) return at;
  }
  return s.size();
}

// Moves from element `n` of a range, which starts at byte `at`, to element `to` (to >= n),
// across the marks before `e`. False when the range ends first: n and at then name its last
// element.
bool advance(std::string_view s, char mark, long to, long& n, std::size_t& at,
             std::size_t e) noexcept {
  while (n < to) {
    const std::size_t m = findIn(s, mark, at, e);
    if (m == e) return false;
    at = m + 1;
    ++n;
  }
  return true;
}

// One level of an element read: narrows [b,e) to element `to` split by `mark`, starting from the
// remembered element (n, at) when it lies at or before `to`. Returns false when there are fewer.
bool narrowFrom(std::string_view s, char mark, long to, long& n, std::size_t& at, std::size_t& b,
                std::size_t& e, std::size_t& walked) noexcept {
  // A remembered position past the target, or outside this range, cannot be walked from: start
  // over at the range's start.
  if (n < 1 || n > to || at < b || at > e) {
    n = 1;
    at = b;
  }
  const std::size_t from = at;
  const bool found = advance(s, mark, to, n, at, e);
  walked += at - from;
  if (!found) return false;
  b = at;
  e = findIn(s, mark, at, e);
  walked += e - b;
  return true;
}

}  // namespace

std::size_t countChars(std::string_view s) noexcept {
  std::size_t continuations = 0;
  std::size_t at = 0;
  for (; at + 8 <= s.size(); at += 8)
    continuations += static_cast<std::size_t>(std::popcount(continuationBits(wordAt(s, at))));
  for (; at < s.size(); ++at) continuations += continues(s[at]) ? 1 : 0;
  return s.size() - continuations;
}

long textLength(std::string_view s) noexcept {
  return static_cast<long>(countChars(s));
}

Cursors& Value::cursors() const {
  if (!cursors_) cursors_ = std::make_unique<Cursors>();
  return *cursors_;
}

std::string_view Value::element(long a, long v, long sv, std::size_t& walked) const {
  const std::string& s = text();
  // As extract: the levels given end at the first 0; a negative one reads nothing.
  // X<0> is the whole text.
  if (a == 0) return s;
  if (a < 0 || (v < 0) || (v > 0 && sv < 0)) return {};
  Cursors& c = cursors();
  std::size_t b = 0;
  std::size_t e = s.size();
  const long attr = c.attr;
  const bool found = narrowFrom(s, kAm, a, c.attr, c.attrAt, b, e, walked);
  // Remembered values belong to the attribute they were read in.
  if (c.attr != attr) c.value = c.sub = 0;
  if (!found) return {};
  if (v == 0) return std::string_view(s).substr(b, e - b);
  const long value = c.value;
  if (!narrowFrom(s, kVm, v, c.value, c.valueAt, b, e, walked)) {
    if (c.value != value) c.sub = 0;
    return {};
  }
  if (c.value != value) c.sub = 0;
  if (sv == 0) return std::string_view(s).substr(b, e - b);
  if (!narrowFrom(s, kSvm, sv, c.sub, c.subAt, b, e, walked)) return {};
  return std::string_view(s).substr(b, e - b);
}

long Value::length(std::size_t& walked) const {
  Cursors& c = cursors();
  if (c.length == std::string_view::npos) {
    const std::string& s = text();
    c.length = countChars(s);
    walked += s.size();
  }
  return static_cast<long>(c.length);
}

std::string_view Value::chars(long start, long length, std::size_t& walked) const {
  if (length <= 0) return {};
  if (start < 1) {
    length += start - 1;
    start = 1;
    if (length <= 0) return {};
  }
  const std::string& s = text();
  // Damaged text that opens with a continuation byte has one character more to walk than LEN
  // counts: the walk takes its first byte for a character.
  const auto count =
      static_cast<std::size_t>(this->length(walked)) + (!s.empty() && continues(s.front()) ? 1 : 0);
  const auto first = static_cast<std::size_t>(start - 1);
  if (first >= count) return {};
  const auto wanted = std::min(static_cast<std::size_t>(length), count - first);
  // Text without continuation bytes counts one byte per character.
  // ASCII-only text (the common case) needs no walk at all.
  if (count == s.size()) return std::string_view(s).substr(first, wanted);
  Cursors& c = cursors();
  // Walk from the nearest known character: the remembered one, the start or the end.
  auto back = [&](std::size_t at, std::size_t n) {
    for (; n > 0; --n) {
      --at;
      while (at > 0 && continues(s[at])) --at;
    }
    return at;
  };
  const std::size_t toCursor = c.chr > first ? c.chr - first : first - c.chr;
  const std::size_t toEnd = count - first;
  std::size_t from = 0;
  std::size_t at = 0;
  if (toCursor <= first && toCursor <= toEnd) {
    from = c.chrAt;
    at = c.chr <= first ? skipChars(s, from, toCursor) : back(from, toCursor);
  } else if (toEnd < first) {
    from = s.size();
    at = back(from, toEnd);
  } else {
    at = skipChars(s, 0, first);
  }
  walked += at > from ? at - from : from - at;
  c.chr = first;
  c.chrAt = at;
  const std::size_t end = skipChars(s, at, wanted);
  walked += end - at;
  return std::string_view(s).substr(at, end - at);
}

std::string_view Value::lastChars(long n, std::size_t& walked) const {
  const long len = length(walked);
  return chars(len - n + 1 < 1 ? 1 : len - n + 1, n, walked);
}

std::string_view Value::fieldOf(std::string_view delimiter, long occurrence, long count,
                                std::size_t& walked) const {
  const std::string& text = this->text();
  const std::string_view s = text;
  if (delimiter.empty()) return occurrence <= 1 ? s : std::string_view();
  if (charAt(delimiter, 0).size() > 1) {
    // A delimiter of several bytes is searched as a whole, without the one-byte cursor.
    walked += s.size();
    const auto [b, e] = fieldSpan(s, charAt(delimiter, 0), occurrence, count);
    return b == std::string_view::npos ? std::string_view() : s.substr(b, e - b);
  }
  // Only the delimiter's first character counts: FIELD(S, ",;", 2) splits at ','.
  const char d = delimiter.front();
  if (occurrence < 1) occurrence = 1;
  if (count < 1) count = 1;
  Cursors& c = cursors();
  long n = 1;
  std::size_t b = 0;
  if (c.delimiter == d && c.field >= 1 && c.field <= occurrence) {
    n = c.field;
    b = c.fieldAt;
  }
  const std::size_t from = b;
  const bool found = advance(s, d, occurrence, n, b, s.size());
  walked += b - from;
  c.delimiter = d;
  c.field = n;
  c.fieldAt = b;
  if (!found) return {};
  std::size_t e = b;
  for (long i = 0; i < count; ++i) {
    const std::size_t m = findIn(s, d, e, s.size());
    if (m == s.size()) {
      e = s.size();
      break;
    }
    // The delimiters between the fields taken are kept; the one after the last is not.
    e = m + (i + 1 < count ? 1 : 0);
  }
  walked += e - b;
  return s.substr(b, e - b);
}

std::string_view substring(std::string_view s, long start, long length) noexcept {
  if (length <= 0) return {};
  if (start < 1) {
    length += start - 1;
    start = 1;
    if (length <= 0) return {};
  }
  const std::size_t from = charOffset(s, static_cast<std::size_t>(start - 1));
  if (from >= s.size()) return {};
  const std::string_view rest = s.substr(from);
  return rest.substr(0, charOffset(rest, static_cast<std::size_t>(length)));
}

std::string trim(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool pendingBlank = false;
  // A blank is written only when a non-blank follows it, which drops the trailing ones and folds
  // inner runs; blanks before the first non-blank never get written.
  for (char c : s) {
    if (c == ' ') {
      pendingBlank = !out.empty();
      continue;
    }
    if (pendingBlank) out.push_back(' ');
    pendingBlank = false;
    out.push_back(c);
  }
  return out;
}

std::string field(std::string_view s, std::string_view delimiter, long occurrence, long count) {
  if (delimiter.empty()) return occurrence <= 1 ? std::string(s) : std::string();
  const auto [b, e] = fieldSpan(s, charAt(delimiter, 0), occurrence, count);
  return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b));
}

long indexOf(std::string_view s, std::string_view sub, long occurrence) noexcept {
  if (sub.empty() || occurrence < 1) return 0;
  std::size_t from = 0;
  for (long i = 1;; ++i) {
    std::size_t at = s.find(sub, from);
    if (at == std::string_view::npos) return 0;
    // A position counts characters, as the substring operators that take it do.
    if (i == occurrence) return static_cast<long>(countChars(s.substr(0, at))) + 1;
    // Overlapping matches count: the next search starts one byte on, not past the match.
    from = at + 1;
  }
}

long countOf(std::string_view s, std::string_view sub) noexcept {
  if (sub.empty()) return 0;
  long n = 0;
  for (std::size_t at = s.find(sub); at != std::string_view::npos; at = s.find(sub, at + 1)) ++n;
  return n;
}

long dcount(std::string_view s, std::string_view delimiter) noexcept {
  // An empty text has no fields; any other has one more than its delimiters.
  if (s.empty()) return 0;
  if (delimiter.empty()) return 1;
  return countOf(s, delimiter) + 1;
}

std::string upcase(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::string downcase(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string repeat(std::string_view s, long times) {
  std::string out;
  if (times <= 0 || s.empty()) return out;
  out.reserve(s.size() * static_cast<std::size_t>(times));
  for (long i = 0; i < times; ++i) out.append(s);
  return out;
}

bool alphabetic(std::string_view s) noexcept {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

long sequence(std::string_view s) noexcept {
  if (s.empty()) return 0;
  std::size_t at = 0;
  bool mark = false;
  const char32_t c = text::nextChar(s, at, mark);
  // A stray byte gives its byte value; a mark decodes to its own number, so SEQ(CHAR(n)) is n for
  // the marks too.
  return c == text::kInvalid ? static_cast<long>(static_cast<unsigned char>(s.front()))
                             : static_cast<long>(c);
}

std::string character(long code) {
  // 251..255 are the marks, kept as their single bytes; every other code is a Unicode character.
  if (code >= 0xFB && code <= 0xFF) return std::string(1, static_cast<char>(code));
  // No UTF-8 exists for these: surrogates and out-of-range codes give "".
  if (code < 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  std::string out;
  text::appendChar(out, static_cast<char32_t>(code));
  return out;
}

std::string convertChars(std::string_view from, std::string_view to, std::string_view s) {
  // Characters of from, in order; the k-th maps to the k-th of to, or is dropped past its end.
  std::vector<std::string_view> fromChars, toChars;
  for (std::size_t at = 0; at < from.size(); at += fromChars.back().size())
    fromChars.push_back(charAt(from, at));
  for (std::size_t at = 0; at < to.size(); at += toChars.back().size())
    toChars.push_back(charAt(to, at));
  std::string out;
  out.reserve(s.size());
  for (std::size_t at = 0; at < s.size();) {
    const std::string_view c = charAt(s, at);
    at += c.size();
    const auto k = static_cast<std::size_t>(std::find(fromChars.begin(), fromChars.end(), c) -
                                            fromChars.begin());
    if (k == fromChars.size()) {
      out += c;
    } else if (k < toChars.size()) {
      out += toChars[k];
    }
  }
  return out;
}

std::string changeAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t b = 0;
  for (std::size_t at = s.find(from); at != std::string_view::npos; at = s.find(from, b)) {
    out.append(s.substr(b, at - b));
    out.append(to);
    b = at + from.size();
  }
  out.append(s.substr(b));
  return out;
}

}  // namespace tarn::server::corvex
