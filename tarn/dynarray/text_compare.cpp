#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/uset.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "tarn/dynarray/text_compare_internal.h"

namespace tarn::text {

namespace {

const UChar* icu(StringView s) noexcept {
  return reinterpret_cast<const UChar*>(s.data());
}
std::int32_t icuLength(StringView s) noexcept {
  return static_cast<std::int32_t>(s.size());
}

int collate(const UCollator* collator, StringView a, StringView b) {
  switch (ucol_strcoll(collator, icu(a), icuLength(a), icu(b), icuLength(b))) {
    case UCOL_LESS:
      return -1;
    case UCOL_GREATER:
      return 1;
    default:
      return 0;
  }
}

UCollator* openCollator(const std::string& locale, UCollationStrength strength) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(locale.c_str(), &status);
  if (U_FAILURE(status) || collator == nullptr) {
    // An unknown id falls back inside ICU; only a broken ICU data set gets here.
    status = U_ZERO_ERROR;
    collator = ucol_open("", &status);
  }
  if (collator != nullptr) ucol_setStrength(collator, strength);
  return collator;
}

// True when the single character c yields exactly one collation element with a primary weight,
// first, and otherwise only elements without one (accents, case).
bool singlePrimary(const UCollator* collator, char16_t c) {
  UErrorCode status = U_ZERO_ERROR;
  const UChar text[1] = {static_cast<UChar>(c)};
  UCollationElements* elements = ucol_openElements(collator, text, 1, &status);
  if (U_FAILURE(status)) return false;
  int primaries = 0;
  bool firstHasPrimary = false;
  bool first = true;
  for (std::int32_t ce = ucol_next(elements, &status); ce != UCOL_NULLORDER && U_SUCCESS(status);
       ce = ucol_next(elements, &status)) {
    const bool continuation = (ce & 0xC0) == 0xC0;
    if (continuation) continue;
    const bool hasPrimary = ucol_primaryOrder(ce) != 0;
    if (first) firstHasPrimary = hasPrimary;
    first = false;
    primaries += hasPrimary ? 1 : 0;
  }
  ucol_closeElements(elements);
  return U_SUCCESS(status) && primaries == 1 && firstHasPrimary;
}

// Latin-1 characters whose weights depend on their neighbours: the first character of every
// contraction, and the last of every string whose other characters are all Latin-1 (a prefix
// rule gives its last character other weights after that prefix). Strings that hold a character
// outside Latin-1 before those positions always reach the collator first.
std::vector<bool> inContractions(const UCollator* collator) {
  std::vector<bool> used(255, false);
  UErrorCode status = U_ZERO_ERROR;
  USet* contractions = uset_openEmpty();
  ucol_getContractionsAndExpansions(collator, contractions, nullptr, true, &status);
  if (U_FAILURE(status)) {
    uset_close(contractions);
    used.assign(255, true);
    return used;
  }
  std::vector<UChar> buffer(64);
  const std::int32_t items = uset_getItemCount(contractions);
  for (std::int32_t i = 0; i < items; ++i) {
    UChar32 start = 0, end = 0;
    status = U_ZERO_ERROR;
    std::int32_t length = uset_getItem(contractions, i, &start, &end, buffer.data(),
                                       static_cast<std::int32_t>(buffer.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      buffer.resize(static_cast<std::size_t>(length) + 1);
      status = U_ZERO_ERROR;
      length = uset_getItem(contractions, i, &start, &end, buffer.data(),
                            static_cast<std::int32_t>(buffer.size()), &status);
    }
    if (U_FAILURE(status)) continue;
    if (length == 0) {
      for (UChar32 c = start; c <= end && c < 255; ++c) used[static_cast<std::size_t>(c)] = true;
      continue;
    }
    const auto at = [&](std::int32_t k) { return buffer[static_cast<std::size_t>(k)]; };
    if (at(0) < 255) used[at(0)] = true;
    bool latinPrefix = true;
    for (std::int32_t k = 0; k + 1 < length; ++k) latinPrefix = latinPrefix && at(k) < 255;
    if (latinPrefix && at(length - 1) < 255) used[at(length - 1)] = true;
  }
  uset_close(contractions);
  return used;
}

}  // namespace

void CaselessCollation::CollatorCloser::operator()(UCollator* c) const noexcept {
  ucol_close(c);
}

std::string processCollationLocale() {
  const char* chosen = nullptr;
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      chosen = value;
      break;
    }
  }
  if (chosen == nullptr) return "";
  std::string id(chosen);
  id = id.substr(0, id.find_first_of(".@"));
  if (id == "C" || id == "POSIX") return "";
  return id;
}

const CaselessCollation& CaselessCollation::process() {
  static const CaselessCollation collation(processCollationLocale());
  return collation;
}

CaselessCollation::CaselessCollation(const std::string& locale)
    : locale_(locale), collator_(openCollator(locale, UCOL_SECONDARY)) {
  tabulate();
}

CaselessCollation::~CaselessCollation() = default;

void CaselessCollation::tabulate() {
  if (!collator_) return;
  // Backwards secondary ordering would make accents compare from the end; the tables assume
  // the usual forward order.
  UErrorCode status = U_ZERO_ERROR;
  if (ucol_getAttribute(collator_.get(), UCOL_FRENCH_COLLATION, &status) == UCOL_ON ||
      U_FAILURE(status)) {
    return;
  }
  const std::vector<bool> contracting = inContractions(collator_.get());
  std::vector<char16_t> simpleChars;
  for (char16_t c = 0; c < 255; ++c) {
    if (!contracting[c] && singlePrimary(collator_.get(), c)) simpleChars.push_back(c);
  }
  if (simpleChars.empty()) return;

  const std::unique_ptr<UCollator, CollatorCloser> primaryOnly(openCollator(locale_, UCOL_PRIMARY));
  if (!primaryOnly) return;
  auto one = [](const char16_t& c) { return StringView(&c, 1); };

  // Rank by primary weight: characters that compare equal at primary strength share a rank.
  std::vector<char16_t> order = simpleChars;
  std::stable_sort(order.begin(), order.end(), [&](char16_t x, char16_t y) {
    return collate(primaryOnly.get(), one(x), one(y)) < 0;
  });
  std::uint16_t rank = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || collate(primaryOnly.get(), one(order[i - 1]), one(order[i])) != 0) ++rank;
    primary_[order[i]] = rank;
  }
  // Classes of characters equal at secondary strength (same letter, any case).
  std::stable_sort(order.begin(), order.end(), [&](char16_t x, char16_t y) {
    return collate(collator_.get(), one(x), one(y)) < 0;
  });
  std::uint16_t klass = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || collate(collator_.get(), one(order[i - 1]), one(order[i])) != 0) ++klass;
    klass_[order[i]] = klass;
  }
  tabulated_ = true;
}

int CaselessCollation::compareByTables(StringView a, StringView b) const noexcept {
  // Each simple character contributes exactly one primary weight, in order, so the first
  // differing primary decides; equal primaries leave the accents, settled here only when every
  // pair of characters is equal.
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = a[i], y = b[i];
    if (x >= 255 || y >= 255) return -2;
    const std::uint16_t px = primary_[x], py = primary_[y];
    if (px == 0 || py == 0) return -2;
    if (px != py) return px < py ? -1 : 1;
  }
  if (a.size() != b.size()) {
    const char16_t next = a.size() > n ? a[n] : b[n];
    if (!simple(next)) return -2;
    return a.size() < b.size() ? -1 : 1;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (klass_[a[i]] != klass_[b[i]]) return -2;
  }
  return 0;
}

scan::UnitSet CaselessCollation::startsOf(char16_t first) const noexcept {
  // A slice that starts with a simple character begins with that character's primary weight.
  scan::UnitSet starts;
  const std::uint16_t wanted = simple(first) ? primary_[first] : 0;
  for (char16_t c = 0; c < 255; ++c) {
    if (!simple(c) || primary_[c] == wanted) starts.add(c);
  }
  return starts;
}

scan::UnitSet CaselessCollation::primaryBeyond(char16_t c, bool descending,
                                               bool strict) const noexcept {
  scan::UnitSet set;
  const std::uint16_t bound = simple(c) ? primary_[c] : 0;
  for (char16_t u = 0; u < 255; ++u) {
    const std::uint16_t rank = primary_[u];
    const bool beyond = descending ? (strict ? rank < bound : rank <= bound)
                                   : (strict ? rank > bound : rank >= bound);
    if (!simple(u) || beyond) set.add(u);
  }
  return set;
}

scan::UnitSet CaselessCollation::uncovered() const noexcept {
  scan::UnitSet set;
  for (char16_t c = 0; c < 255; ++c) {
    if (!simple(c)) set.add(c);
  }
  return set;
}

int CaselessCollation::compare(StringView a, StringView b) const {
  if (a == b) return 0;
  if (tabulated_) {
    const int r = compareByTables(a, b);
    if (r != -2) return r;
  }
  return compareByCollator(a, b);
}

int CaselessCollation::compareByCollator(StringView a, StringView b) const {
  return collate(collator_.get(), a, b);
}

std::size_t CaselessCollation::find(StringView text, StringView pattern, std::size_t from) const {
  return CaselessSearch(*this, pattern).find(text, from);
}

std::size_t CaselessCollation::findByCollator(StringView text, StringView pattern,
                                              std::size_t from) const {
  const std::size_t n = text.size(), m = pattern.size();
  if (from > n) return n;
  if (m == 0) return from;
  for (std::size_t p = from; p + m <= n; ++p) {
    if (compareByCollator(text.substr(p, m), pattern) == 0) return p;
  }
  return n;
}

CaselessSearch::CaselessSearch(const CaselessCollation& collation, StringView pattern)
    : collation_(collation), pattern_(pattern) {
  if (!collation.tabulated_ || pattern.empty()) return;
  for (char16_t c : pattern) {
    if (!collation.simple(c)) return;
  }
  starts_ = collation.startsOf(pattern[0]);
  byTables_ = true;
}

std::size_t CaselessSearch::find(StringView text, std::size_t from) const {
  const std::size_t n = text.size(), m = pattern_.size();
  if (from > n) return n;
  if (m == 0) return from;
  if (!byTables_) return collation_.findByCollator(text, pattern_, from);
  if (m > n) return n;
  const std::size_t lastStart = n - m;
  std::size_t p = from;
  while (p <= lastStart) {
    p += scan::findInSet(text.data() + p, lastStart + 1 - p, starts_);
    if (p > lastStart) break;
    const StringView slice = text.substr(p, m);
    int r = collation_.compareByTables(slice, pattern_);
    if (r == -2) r = collation_.compareByCollator(slice, pattern_);
    if (r == 0) return p;
    ++p;
  }
  return n;
}

namespace {

// The upper case of every BMP unit as upperCase maps it (the marks 252 to 255, surrogates and
// units whose capital lies outside the BMP map to themselves), and the reverse pairs.
struct UpperTables {
  char16_t upper[65536];
  std::vector<std::pair<char16_t, char16_t>> reverse;  // (upper, unit), sorted, upper != unit
};

const UpperTables& upperTables() {
  static const UpperTables* const tables = [] {
    auto* t = new UpperTables;
    for (std::uint32_t u = 0; u < 65536; ++u) {
      auto unit = static_cast<char16_t>(u);
      char16_t upper = unit;
      if (!U16_IS_SURROGATE(unit) && !(unit >= 0x00FC && unit <= 0x00FF)) {
        const UChar32 mapped = u_toupper(static_cast<UChar32>(u));
        if (!U_IS_SUPPLEMENTARY(mapped)) upper = static_cast<char16_t>(mapped);
      }
      t->upper[u] = upper;
      if (upper != unit) t->reverse.emplace_back(upper, unit);
    }
    std::sort(t->reverse.begin(), t->reverse.end());
    return t;
  }();
  return *tables;
}

}  // namespace

std::size_t upperPreimage(char16_t c, char16_t* out, std::size_t cap) {
  const UpperTables& t = upperTables();
  std::size_t count = 0;
  auto put = [&](char16_t u) {
    if (count < cap) out[count] = u;
    ++count;
  };
  if (t.upper[c] == c) put(c);
  auto it = std::lower_bound(t.reverse.begin(), t.reverse.end(), std::make_pair(c, char16_t{0}));
  for (; it != t.reverse.end() && it->first == c; ++it) put(it->second);
  return count;
}

std::size_t CaselessSearch::count(StringView text) const {
  const std::size_t n = text.size();
  if (byTables_ && pattern_.size() == 1) {
    // One simple character matches exactly the simple characters of its class; when the text
    // holds nothing the tables leave to the collator, counting those is the whole answer.
    scan::UnitSet others, equal;
    for (char16_t c = 0; c < 255; ++c) {
      if (!collation_.simple(c))
        others.add(c);
      else if (collation_.klass_[c] == collation_.klass_[pattern_[0]])
        equal.add(c);
    }
    const std::size_t count = scan::countInSetUnless(text.data(), n, equal, others);
    if (count != scan::kNone) return count;
  }
  std::size_t count = 0;
  for (std::size_t at = find(text, 0); at < n; at = find(text, at + 1)) ++count;
  return count;
}

String upperCase(StringView text) {
  const UpperTables& t = upperTables();
  String out(text);
  const std::size_t n = out.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t unit = out[i];
    if (U16_IS_LEAD(unit) && i + 1 < n && U16_IS_TRAIL(out[i + 1])) {
      const UChar32 upper = u_toupper(U16_GET_SUPPLEMENTARY(unit, out[i + 1]));
      if (U_IS_SUPPLEMENTARY(upper)) {
        out[i] = U16_LEAD(upper);
        out[i + 1] = U16_TRAIL(upper);
      }
      ++i;
      continue;
    }
    out[i] = t.upper[unit];
  }
  return out;
}

}  // namespace tarn::text
