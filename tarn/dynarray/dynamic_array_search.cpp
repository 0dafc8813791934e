// Searching, counting, comparison and transformation of a dynamic array's text.
#include <algorithm>
#include <array>
#include <optional>
#include <unordered_map>
#include <vector>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/dynarray/mark_scan_internal.h"
#include "tarn/dynarray/text_compare_internal.h"
#include "tarn/frame/error.h"
#include "tarn/frame/numeric.h"

namespace tarn {

namespace {

const text::CaselessCollation& caseless() {
  return text::CaselessCollation::process();
}

// A string inside sub-value mark, value mark, attribute mark, segment mark (in that order):
// the empty string, one mark, or a run of consecutive marks going up.
bool isMarkString(StringView s) noexcept {
  static constexpr char16_t kRun[] = {kSVM, kVM, kAM, kSM};
  return StringView(kRun, 4).find(s) != StringView::npos;
}

int ordinalCompare(StringView a, StringView b) noexcept {
  const int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

const clsTarnDynamicArray& objectOrThrow(const Ref<clsTarnDynamicArray>& array) {
  if (!array) throw TarnError::platform(err::kObjectNotSet);
  return *array;
}

enum class Order { None, Ascending, Descending };

struct Sequence {
  Order order = Order::None;
  bool rightJustified = false;
};

// Only the first two characters count, upper-cased; a code shorter than two is unordered.
Sequence readSequence(const String* code) {
  Sequence seq;
  if (code == nullptr || code->size() < 2) return seq;
  const String head = text::upperCase(StringView(*code).substr(0, 2));
  seq.rightJustified = head[1] == u'R';
  if (head[0] == u'A')
    seq.order = Order::Ascending;
  else if (head[0] == u'D')
    seq.order = Order::Descending;
  return seq;
}

constexpr std::int32_t kKeep = -1, kRemove = -2;

// The conversion of a few distinct characters, done by the vector path on the text itself: in
// case-insensitive mode a character of from matches every unit whose upper case it is. Nothing
// when there are too many characters (the caller then converts unit by unit).
std::optional<std::uint64_t> convertByRules(String& text, const String& from, const String& to,
                                            bool exact) {
  struct Entry {
    char16_t c;
    std::int32_t action;
    std::uint32_t weight;
  };
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < from.size(); ++i) {
    const char16_t c = from[i];
    if (!exact && c >= 0xD800 && c <= 0xDFFF) return std::nullopt;
    auto it =
        std::find_if(entries.begin(), entries.end(), [c](const Entry& e) { return e.c == c; });
    if (it == entries.end()) {
      if (entries.size() == scan::kMaxConvertRules) return std::nullopt;
      entries.push_back({c, kKeep, 0});
      it = entries.end() - 1;
    }
    it->action = i < to.size() ? to[i] : kRemove;
    ++it->weight;
  }
  scan::ConvertRule rules[scan::kMaxConvertRules];
  std::size_t k = 0;
  for (const Entry& e : entries) {
    scan::ConvertRule& rule = rules[k];
    if (exact) {
      rule.units[0] = e.c;
      rule.count = 1;
    } else {
      rule.count = text::upperPreimage(e.c, rule.units, 4);
      if (rule.count > 4) return std::nullopt;
      if (rule.count == 0) continue;  // no unit upper-cases to it
    }
    rule.remove = e.action == kRemove;
    rule.to = rule.remove ? 0 : static_cast<char16_t>(e.action);
    rule.weight = e.weight;
    ++k;
  }
  std::uint64_t converted = 0;
  text.resize(scan::convertUnits(text.data(), text.size(), rules, k, converted));
  return converted;
}

}  // namespace

int clsTarnDynamicArray::CompareElements(StringView s1, StringView s2, bool rightJustified) const {
  bool exact = caseSensitive();
  if (rightJustified) {
    if (s1.size() != s2.size()) return s1.size() < s2.size() ? -1 : 1;
  } else if (!exact && (isMarkString(s1) || isMarkString(s2))) {
    exact = true;
  }
  return exact ? ordinalCompare(s1, s2) : caseless().compare(s1, s2);
}

bool clsTarnDynamicArray::SearchSiblings(StringView sSub, std::int32_t& nPosition,
                                         const Variant& vnAMC, const Variant& vnVMC,
                                         const Variant& vnStart, const String* sequence) const {
  std::int32_t a = vnAMC.isMissing() ? 0 : vnAMC.toInt16();
  const std::int32_t v = vnVMC.isMissing() ? 0 : vnVMC.toInt16();
  std::int32_t start = vnStart.isMissing() ? 1 : vnStart.toInt16();
  if (a < 0) a = 0;
  if (start < 1) start = 1;

  // The list searched and its separator: the values of attribute a, the sub-values of value
  // (a, v), or the attributes of the whole text.
  StringView list(text_);
  char16_t sep = kAM;
  if (a > 0) {
    const Element e = FindElement(a, v, 0);
    list = list.substr(e.start, e.length);
    sep = static_cast<char16_t>(e.mark - 1);
  }
  if (list.empty()) {
    nPosition = start;
    return false;
  }
  const char16_t* q = list.data();
  const std::size_t n = list.size();

  // The list with one separator appended holds a sibling after each separator.
  std::size_t first = 0;
  if (start > 1) {
    const auto skip = static_cast<std::size_t>(start) - 1;
    const scan::NthResult r = scan::findNth(q, n, sep, skip);
    if (r.count < skip) {
      nPosition = start;
      return false;
    }
    first = r.pos + 1;
  }
  auto numberAt = [&](std::size_t at) {
    return start + static_cast<std::int32_t>(scan::countUnit(q + first, at - first, sep));
  };
  auto notFound = [&] {
    nPosition = numberAt(n) + 1;
    return false;
  };

  const Sequence seq = readSequence(sequence);
  const bool exact = caseSensitive() || (!seq.rightJustified && isMarkString(sSub));
  if (seq.order == Order::None && !sSub.empty()) {
    // Unordered: jump between the siblings that can equal sSub instead of visiting each.
    if (sSub.find(sep) != StringView::npos && exact) return notFound();
    if (exact) {
      const scan::SiblingHit hit = scan::findSibling(q, n, first, sep, sSub.data(), sSub.size());
      if (hit.pos >= n) {
        nPosition = start + static_cast<std::int32_t>(hit.separators) + 1;
        return false;
      }
      nPosition = start + static_cast<std::int32_t>(hit.separators);
      return true;
    }
    const text::CaselessCollation& collation = caseless();
    bool simple = collation.tabulated();
    for (char16_t c : sSub) simple = simple && collation.simple(c);
    if (simple) {
      // A sibling starting with a simple character cannot be equal unless that character has
      // the primary weight of sSub's first, and the next (when sSub goes on) that of its second.
      const scan::UnitSet firstUnits = collation.startsOf(sSub[0]);
      const scan::UnitSet secondUnits =
          sSub.size() > 1 ? collation.startsOf(sSub[1]) : scan::UnitSet{};
      // With one character there is no second to check: every first unit is free.
      const scan::UnitSet freeUnits = sSub.size() > 1 ? collation.uncovered() : firstUnits;
      std::int32_t number = start;  // the number of the sibling starting at from
      for (std::size_t from = first;;) {
        const scan::SiblingHit hit =
            scan::findSiblingStartPair(q, n, from, sep, firstUnits, secondUnits, freeUnits);
        if (hit.pos >= n) return notFound();
        number += static_cast<std::int32_t>(hit.separators);
        const std::size_t end = hit.pos + scan::findUnit(q + hit.pos, n - hit.pos, sep);
        if (CompareElements(sSub, list.substr(hit.pos, end - hit.pos), seq.rightJustified) == 0) {
          nPosition = number;
          return true;
        }
        ++number;
        from = end + 1;
        if (from > n) return notFound();
      }
    }
  }

  if (seq.order != Order::None && caseSensitive() && !seq.rightJustified && !sSub.empty()) {
    // Ordered and exact: one pass finds the first sibling the order stops at.
    const scan::OrderedHit hit = scan::findOrderedStop(q, n, first, sep, sSub.data(), sSub.size(),
                                                       seq.order == Order::Descending);
    nPosition = start + static_cast<std::int32_t>(hit.separators) + (hit.stopped ? 0 : 1);
    return hit.stopped && hit.equal;
  }

  if (seq.order != Order::None && !caseSensitive() && !seq.rightJustified && !sSub.empty() &&
      !isMarkString(sSub)) {
    // Ordered and caseless, with sSub of simple characters: a sibling that starts with simple
    // characters of lower primary weights (higher, for descending) sorts before it (after it) and
    // is passed over. Siblings that may be mark strings compare exactly and are always looked at.
    const text::CaselessCollation& collation = caseless();
    bool simple = collation.tabulated();
    for (char16_t c : sSub) simple = simple && collation.simple(c);
    if (simple) {
      const bool descending = seq.order == Order::Descending;
      scan::UnitSet firstUnits = collation.primaryBeyond(sSub[0], descending, false);
      scan::UnitSet freeUnits = collation.primaryBeyond(sSub[0], descending, true);
      scan::UnitSet secondUnits =
          sSub.size() > 1 ? collation.primaryBeyond(sSub[1], descending, false) : firstUnits;
      for (char16_t mark : {kSVM, kVM, kAM, kSM}) {
        firstUnits.add(mark);
        freeUnits.add(mark);
      }
      // Descending, a sibling of one character equal to sSub's first sorts before it.
      if (descending) secondUnits.add(sep);
      if (sSub.size() == 1) freeUnits = firstUnits;
      std::int32_t number = start;  // the number of the sibling starting at from
      for (std::size_t from = first;;) {
        if (from > n) {
          nPosition = number;
          return false;
        }
        std::size_t at = from;
        if (from < n) {
          const scan::SiblingHit hit =
              scan::findSiblingStartPair(q, n, from, sep, firstUnits, secondUnits, freeUnits);
          number += static_cast<std::int32_t>(hit.separators);
          at = hit.pos;
          if (at >= n && q[n - 1] != sep) {
            nPosition = number + 1;
            return false;
          }
        }
        // at == n here is the empty sibling after a final separator.
        const std::size_t end = at + scan::findUnit(q + at, n - at, sep);
        const int cmp = CompareElements(sSub, list.substr(at, end - at), false);
        if ((descending ? cmp > 0 : cmp < 0) || cmp == 0) {
          nPosition = number;
          return cmp == 0;
        }
        ++number;
        from = end + 1;
      }
    }
  }

  std::int32_t number = start;
  for (std::size_t at = first; at <= n; ++number) {
    const std::size_t end = at + scan::findUnit(q + at, n - at, sep);
    const int cmp = CompareElements(sSub, list.substr(at, end - at), seq.rightJustified);
    if ((seq.order == Order::Ascending && cmp < 0) || (seq.order == Order::Descending && cmp > 0)) {
      nPosition = number;
      return false;
    }
    if (cmp == 0) {
      nPosition = number;
      return true;
    }
    at = end + 1;
  }
  nPosition = number;
  return false;
}

bool clsTarnDynamicArray::brLocateStrSeq(const String& sSub, const String& sSeq,
                                         std::int32_t& nPosition, const Variant& vnAMC,
                                         const Variant& vnVMC, const Variant& vnStart) const {
  return SearchSiblings(sSub, nPosition, vnAMC, vnVMC, vnStart, &sSeq);
}

bool clsTarnDynamicArray::brLocateSeq(const Ref<clsTarnDynamicArray>& aElement,
                                      const Ref<clsTarnDynamicArray>& aSeq, std::int32_t& nPosition,
                                      const Variant& vnAMC, const Variant& vnVMC,
                                      const Variant& vnStart) const {
  const clsTarnDynamicArray& element = objectOrThrow(aElement);
  const clsTarnDynamicArray& seq = objectOrThrow(aSeq);
  return SearchSiblings(element.text_, nPosition, vnAMC, vnVMC, vnStart, &seq.text_);
}

bool clsTarnDynamicArray::brLocateStr(const String& sSub, std::int32_t& nPosition,
                                      const Variant& vnAMC, const Variant& vnVMC,
                                      const Variant& vnStart) const {
  return SearchSiblings(sSub, nPosition, vnAMC, vnVMC, vnStart, nullptr);
}

bool clsTarnDynamicArray::brLocate(const Ref<clsTarnDynamicArray>& aElement,
                                   std::int32_t& nPosition, const Variant& vnAMC,
                                   const Variant& vnVMC, const Variant& vnStart) const {
  const clsTarnDynamicArray& element = objectOrThrow(aElement);
  return SearchSiblings(element.text_, nPosition, vnAMC, vnVMC, vnStart, nullptr);
}

std::size_t clsTarnDynamicArray::countIn(StringView pattern, bool exact) const {
  const StringView t(text_);
  std::size_t count = 0;
  if (exact) {
    if (pattern.size() == 1) return scan::countUnit(t.data(), t.size(), pattern[0]);
    for (std::size_t at = scan::findText(t.data(), t.size(), pattern.data(), pattern.size());
         at < t.size();
         at = scan::findText(t.data(), t.size(), pattern.data(), pattern.size(), at + 1)) {
      ++count;
    }
    return count;
  }
  return text::CaselessSearch(caseless(), pattern).count(t);
}

Variant clsTarnDynamicArray::brCount(const String& sDelmtr) const {
  if (sDelmtr.empty()) return Variant(static_cast<std::int32_t>(text_.size()));
  const bool exact = isMarkString(sDelmtr) || caseSensitive();
  return Variant(static_cast<std::int32_t>(countIn(sDelmtr, exact)));
}

Variant clsTarnDynamicArray::brDCount(const String& sDelmtr) const {
  if (text_.empty() || sDelmtr.empty()) return Variant(static_cast<std::int16_t>(0));
  const bool exact = isMarkString(sDelmtr) || caseSensitive();
  return Variant(static_cast<std::int32_t>(countIn(sDelmtr, exact) + 1));
}

std::int32_t clsTarnDynamicArray::brIndex(const String& sChrDelim, std::int32_t nInstance) const {
  if (nInstance <= 0) return 0;
  const text::CaselessSearch search(caseless(), sChrDelim);
  // position: where the last occurrence was (1-based); the next search starts after it.
  std::size_t position = 0;
  for (std::int32_t i = 0; i < nInstance; ++i) {
    const std::size_t at = search.find(text_, position);
    if (at >= text_.size()) return 0;
    position = at + 1;
  }
  return static_cast<std::int32_t>(position);
}

std::int32_t clsTarnDynamicArray::brConvert(const String& sFrom, const String& sTo) {
  if (sFrom.empty()) return 0;
  const bool exact = caseSensitive();
  const String from = exact ? sFrom : text::upperCase(sFrom);
  const String to = exact ? sTo : text::upperCase(sTo);

  // What happens to each character of the work text: the last entry of from decides, and every
  // entry counts its occurrences.
  if (const auto converted = convertByRules(text_, from, to, exact)) {
    textChanged(0);
    return static_cast<std::int32_t>(*converted);
  }
  std::array<std::int32_t, 256> actionLow;
  std::array<std::uint32_t, 256> weightLow{};
  actionLow.fill(kKeep);
  std::unordered_map<char16_t, std::pair<std::int32_t, std::uint32_t>> high;
  for (std::size_t i = 0; i < from.size(); ++i) {
    const std::int32_t action = i < to.size() ? to[i] : kRemove;
    const char16_t c = from[i];
    if (c < 256) {
      actionLow[c] = action;
      ++weightLow[c];
    } else {
      auto& entry = high[c];
      entry.first = action;
      ++entry.second;
    }
  }

  // The work text is the text itself, or its upper-case form in case-insensitive mode.
  String upper;
  const char16_t* work = text_.data();
  if (!exact) {
    upper = text::upperCase(text_);
    work = upper.data();
  }
  std::int64_t count = 0;
  const std::size_t n = text_.size();
  std::size_t out = 0;  // removals only shrink the text, so it is rewritten in place
  for (std::size_t p = 0; p < n; ++p) {
    const char16_t w = work[p];
    std::int32_t action = kKeep;
    if (w < 256) {
      action = actionLow[w];
      count += weightLow[w];
    } else if (!high.empty()) {
      const auto it = high.find(w);
      if (it != high.end()) {
        action = it->second.first;
        count += it->second.second;
      }
    }
    if (action == kRemove) continue;
    text_[out++] = action == kKeep ? text_[p] : static_cast<char16_t>(action);
  }
  text_.resize(out);
  textChanged(0);
  return static_cast<std::int32_t>(count);
}

bool clsTarnDynamicArray::brEqualStr(const String& s) const {
  const auto mine = parseNumericText(text_);
  if (mine) {
    const auto theirs = parseNumericText(s);
    if (theirs) return roundToInt32(*mine) == roundToInt32(*theirs);
  }
  return CompareElements(text_, s, false) == 0;
}

bool clsTarnDynamicArray::brEqual(const Ref<clsTarnDynamicArray>& anArray) const {
  return brEqualStr(objectOrThrow(anArray).text_);
}

void clsTarnDynamicArray::brTrim() {
  String trimmed;
  trimmed.reserve(text_.size());
  for (char16_t c : text_) {
    if (c == u' ' && (trimmed.empty() || trimmed.back() == u' ')) continue;
    trimmed.push_back(c);
  }
  if (!trimmed.empty() && trimmed.back() == u' ') trimmed.pop_back();
  brCString(std::move(trimmed));
}

}  // namespace tarn
