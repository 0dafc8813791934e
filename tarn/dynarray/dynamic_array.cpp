#include "tarn/dynarray/dynamic_array.h"

#include <algorithm>
#include <cassert>

#include "tarn/dynarray/mark_scan_internal.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error.h"
#include "tarn/frame/handle.h"

namespace tarn {

namespace {

// An omitted level counts as 0; anything else converts by the platform's rules or throws.
std::int32_t levelNumber(const Variant& level) {
  return level.isMissing() ? 0 : level.toInt32();
}

// The platform's strings stop short of 2^31 bytes; a result beyond that is out of memory.
constexpr std::int64_t kMaxTextLength = 0x3FFFFFFF;

const clsTarnDynamicArray& objectOrThrow(const Ref<clsTarnDynamicArray>& array) {
  if (!array) throw TarnError::platform(err::kObjectNotSet);
  return *array;
}

}  // namespace

Ref<clsTarnDynamicArray> clsTarnDynamicArray::create() {
  return Ref<clsTarnDynamicArray>(new clsTarnDynamicArray());
}

void clsTarnDynamicArray::brCString(const String& sRaw) {
  brCString(String(sRaw));
}

void clsTarnDynamicArray::brCString(String&& sRaw) {
  text_ = std::move(sRaw);
  textChanged(0);
}

Ref<clsTarnDynamicArray> clsTarnDynamicArray::brCopy() const {
  auto copy = create();
  copy->rsInitFromDynamicArray(*this);
  return copy;
}

Ref<clsTarnDynamicArray> clsTarnDynamicArray::brClone() const {
  return brCopy();
}

std::int32_t clsTarnDynamicArray::brLen() const noexcept {
  return static_cast<std::int32_t>(text_.size());
}

String clsTarnDynamicArray::brHandle() const {
  return rsFormatHandle(TarnClassDA, static_cast<std::int32_t>(identity()));
}

void clsTarnDynamicArray::rsInitFromEnvironment(const Ref<clsTarnEnvironment>& environment) {
  environment_ = environment;
  brCString(environment->rsInitialString());
  linked_ = true;
}

void clsTarnDynamicArray::rsInitFromDynamicArray(const clsTarnDynamicArray& array) {
  environment_ = array.rsParentEnvironment();
  name_ = array.name_;
  brCString(array.text_);
  linked_ = array.rsIsLinked();
}

bool clsTarnDynamicArray::CheckInvariants() const noexcept {
  if (rememberedAttr_ <= 0) return rememberedEnd_ == kUnknownEnd;
  const std::size_t n = text_.size();
  if (rememberedStart_ > n || (rememberedAttr_ == 1) != (rememberedStart_ == 0)) return false;
  if (rememberedAttr_ > 1 && text_[rememberedStart_ - 1] != kAM) return false;
  if (rememberedEnd_ != kUnknownEnd) {
    // The span is what every call that uses it reads anyway: checking it costs no more.
    if (rememberedEnd_ > n || (rememberedEnd_ < n && text_[rememberedEnd_] != kAM)) return false;
    const StringView span =
        StringView(text_).substr(rememberedStart_, rememberedEnd_ - rememberedStart_);
    if (span.find(kAM) != StringView::npos) return false;
  }
  // Counting the marks before the start is paid for by the calls since the last count.
  constexpr std::size_t kWorkPerCall = 64;
  checkBudget_ += kWorkPerCall;
  if (checkBudget_ < rememberedStart_) return true;
  checkBudget_ = 0;
  const StringView before = StringView(text_).substr(0, rememberedStart_);
  return std::count(before.begin(), before.end(), kAM) == rememberedAttr_ - 1;
}

// Inlined into its one caller, so that the common call is one frame down to the scan.
[[gnu::always_inline]] inline bool clsTarnDynamicArray::locateAttribute(std::int32_t a,
                                                                        std::size_t& start,
                                                                        std::size_t& marks) const {
  assert(CheckInvariants());
  const char16_t* p = text_.data();
  const std::size_t n = text_.size();
  if (a == 1) {
    start = 0;
    if (rememberedAttr_ != 1) remember(1, 0);
    return true;
  }
  const auto want = static_cast<std::size_t>(a) - 1;  // marks before attribute a
  std::size_t from = 0, seen = 0;                     // scan p[from, n) having passed seen marks
  if (rememberedAttr_ > 0) {
    const auto known = static_cast<std::size_t>(rememberedAttr_) - 1;
    if (known == want) {
      start = rememberedStart_;
      return true;
    }
    if (known < want) {
      if (rememberedEnd_ == kUnknownEnd) {
        from = rememberedStart_;
        seen = known;
      } else if (rememberedEnd_ == n) {
        // The remembered attribute is the last one.
        marks = known;
        return false;
      } else {
        // Past the remembered attribute's own mark without scanning it again.
        from = rememberedEnd_ + 1;
        seen = known + 1;
        if (seen == want) {
          start = from;
          remember(a, start);
          return true;
        }
      }
    } else if (known - want < want) {
      // Closer going back from the remembered attribute than coming from the front.
      const scan::NthResult r = scan::findNthBackward(p, rememberedStart_ - 1, kAM, known - want);
      start = r.pos + 1;
      // Going back one attribute, the remembered start's mark ends the one found.
      remember(a, start, known - want == 1 ? rememberedStart_ - 1 : kUnknownEnd);
      return true;
    }
  }
  const scan::NthResult r = scan::findNth(p + from, n - from, kAM, want - seen);
  if (r.count == want - seen) {
    start = from + r.pos + 1;
    remember(a, start);
    return true;
  }
  marks = seen + r.count;
  // Remember the last attribute there is, which ends the text.
  if (r.count > 0) remember(static_cast<std::int32_t>(marks + 1), from + r.pos + 1, n);
  return false;
}

// Inlined into the element members of this file, so that a call is one frame down to the scan
// and the element's span stays in registers.
[[gnu::always_inline]] inline clsTarnDynamicArray::Element clsTarnDynamicArray::LocateElement(
    std::int32_t a, std::int32_t v, std::int32_t s) const {
  Element e;
  if (a == 0) return e;
  const char16_t* p = text_.data();
  const std::size_t n = text_.size();
  if (a < 0) {
    // Never satisfied: the search runs through the whole text.
    e.start = n;
    e.missA = std::int64_t{a} - 1 - static_cast<std::int64_t>(scan::countUnit(p, n, kAM));
  } else if (rememberedEnd_ < n && a - 1 == rememberedAttr_) {
    // The attribute after the remembered one, as an in-order walk asks: no call, no rescan.
    assert(CheckInvariants());
    e.start = rememberedEnd_ + 1;
    e.length = scan::findUnit(p + e.start, n - e.start, kAM);
    remember(a, e.start, e.start + e.length);
  } else {
    std::size_t marks = 0;
    if (locateAttribute(a, e.start, marks)) {
      if (rememberedEnd_ != kUnknownEnd) {
        e.length = rememberedEnd_ - e.start;
      } else {
        e.length = scan::findUnit(p + e.start, n - e.start, kAM);
        rememberedEnd_ = e.start + e.length;
      }
    } else {
      e.start = n;
      e.missA = std::int64_t{a} - 1 - static_cast<std::int64_t>(marks);
    }
  }
  // The value and sub-value levels search inside the element found so far.
  auto descend = [&](std::int32_t k, char16_t mark, std::int64_t& miss)
      __attribute__((always_inline)) {
    e.mark = mark;
    const char16_t* q = p + e.start;
    if (k < 0) {
      miss = std::int64_t{k} - 1 - static_cast<std::int64_t>(scan::countUnit(q, e.length, mark));
      e.start += e.length;
      e.length = 0;
      return;
    }
    std::size_t first = 0;  // offset of the wanted sibling inside the element
    if (k == 2) {
      // The second sibling, the most asked for after the first: the inline scan finds it.
      const std::size_t at = scan::findUnitIn(q, e.length, n - e.start, mark);
      if (at == e.length) {
        miss = 1;
        e.start += e.length;
        e.length = 0;
        return;
      }
      first = at + 1;
    } else if (k > 2) {
      const auto want = static_cast<std::size_t>(k) - 1;
      const scan::NthResult r = scan::findNth(q, e.length, mark, want);
      if (r.count < want) {
        miss = static_cast<std::int64_t>(want - r.count);
        e.start += e.length;
        e.length = 0;
        return;
      }
      first = r.pos + 1;
    }
    e.start += first;
    e.length = scan::findUnitIn(q + first, e.length - first, n - e.start, mark);
  };
  if (v == 0) return e;
  descend(v, kVM, e.missV);
  if (s == 0) return e;
  descend(s, kSVM, e.missS);
  return e;
}

clsTarnDynamicArray::Element clsTarnDynamicArray::FindElement(std::int32_t a, std::int32_t v,
                                                              std::int32_t s) const {
  return LocateElement(a, v, s);
}

String clsTarnDynamicArray::ExtractElement(std::int32_t a, std::int32_t v, std::int32_t s) const {
  const Element e = LocateElement(a, v, s);
  return String(text_.data() + e.start, e.length);
}

String clsTarnDynamicArray::brExtractStr(std::int32_t nAMC, const Variant& nVMC,
                                         const Variant& nSVMC) const {
  const std::int32_t v = levelNumber(nVMC);
  const std::int32_t s = levelNumber(nSVMC);
  return ExtractElement(nAMC, v, s);
}

Ref<clsTarnDynamicArray> clsTarnDynamicArray::brExtract(const Variant& nAMC, const Variant& nVMC,
                                                        const Variant& nSVMC) const {
  const std::int32_t a = levelNumber(nAMC);
  const std::int32_t v = levelNumber(nVMC);
  const std::int32_t s = levelNumber(nSVMC);
  const Element e = LocateElement(a, v, s);
  auto result = create();
  result->brCString(text_.substr(e.start, e.length));
  return result;
}

void clsTarnDynamicArray::splice(std::size_t start, std::size_t length, std::int64_t missA,
                                 std::int64_t missV, std::int64_t missS, const String& newText,
                                 char16_t trailingMark) {
  // The new text may be this array's own (a->brReplace(a, ...)): it must survive the edit.
  if (&newText == &text_) {
    const String own(newText);
    splice(start, length, missA, missV, missS, own, trailingMark);
    return;
  }
  const std::int64_t added = missA + missV + missS + static_cast<std::int64_t>(newText.size()) +
                             (trailingMark != 0 ? 1 : 0);
  if (static_cast<std::int64_t>(text_.size()) - static_cast<std::int64_t>(length) + added >
      kMaxTextLength) {
    throw TarnError::platform(err::kOutOfMemory);
  }
  if (added == static_cast<std::int64_t>(newText.size())) {
    // No marks to add: the string's own replace, as a plain in-place edit would make it.
    text_.replace(start, length, newText);
    textChanged(start);
    return;
  }
  // One resize in place (at most one new buffer), then the new part written over the gap.
  const auto addedCount = static_cast<std::size_t>(added);
  text_.replace(start, length, addedCount, u'\0');
  char16_t* out = text_.data() + start;
  out = std::fill_n(out, missA, kAM);
  out = std::fill_n(out, missV, kVM);
  out = std::fill_n(out, missS, kSVM);
  out = std::copy(newText.begin(), newText.end(), out);
  if (trailingMark != 0) *out = trailingMark;
  textChanged(start);
}

namespace {

// A negative level number appends after the containing element: a separating mark is needed
// when the character before start (the containing element's last) is data or a lower mark.
std::int64_t appendMarks(const String& text, std::size_t start, bool higherMissing, char16_t mark) {
  if (start == 0 || higherMissing) return 0;
  return text[start - 1] <= mark ? 1 : 0;
}

}  // namespace

void clsTarnDynamicArray::ReplaceElement(const String& newText, std::int32_t a, std::int32_t v,
                                         std::int32_t s) {
  if (a == 0) v = 0;
  if (v == 0) s = 0;
  if (a < 0) {
    const std::int64_t missA = text_.empty() ? 0 : 1;
    splice(text_.size(), 0, missA, std::max<std::int64_t>(std::int64_t{v} - 1, 0),
           std::max<std::int64_t>(std::int64_t{s} - 1, 0), newText, 0);
    return;
  }
  const bool prependMark = !text_.empty() && a == 0;
  Element e = LocateElement(a, v, s);
  if ((e.missA | e.missV | e.missS) == 0 && !prependMark && &newText != &text_) {
    // The element exists: the edit is the string's own replace, as an in-place edit makes it.
    if (text_.size() - e.length + newText.size() > static_cast<std::size_t>(kMaxTextLength)) {
      throw TarnError::platform(err::kOutOfMemory);
    }
    text_.replace(e.start, e.length, newText);
    textChanged(e.start);
    return;
  }
  if (e.missV < 0) e.missV = appendMarks(text_, e.start, e.missA != 0, kVM);
  if (e.missS < 0) e.missS = appendMarks(text_, e.start, e.missA != 0 || e.missV != 0, kSVM);
  const std::size_t oldLength = text_.size();
  splice(e.start, e.length, e.missA, e.missV, e.missS, newText, prependMark ? kAM : 0);
  // The new attribute a starts right after the marks that created it.
  if (e.missA > 0) remember(a, oldLength + static_cast<std::size_t>(e.missA));
}

void clsTarnDynamicArray::InsertElement(const String& newText, std::int32_t a, std::int32_t v,
                                        std::int32_t s) {
  if (a == 0) v = 0;
  if (v == 0) s = 0;
  if (a < 0) {
    const std::int64_t missA = text_.empty() ? 0 : 1;
    splice(text_.size(), 0, missA, std::max<std::int64_t>(std::int64_t{v} - 1, 0),
           std::max<std::int64_t>(std::int64_t{s} - 1, 0), newText, 0);
    return;
  }
  Element e = LocateElement(a, v, s);
  if (e.missV < 0) e.missV = appendMarks(text_, e.start, e.missA != 0, kVM);
  if (e.missS < 0) e.missS = appendMarks(text_, e.start, e.missA != 0 || e.missV != 0, kSVM);
  const bool trailing = e.start < text_.size() && text_[e.start] <= e.mark;
  const std::size_t oldLength = text_.size();
  splice(e.start, 0, e.missA, e.missV, e.missS, newText, trailing ? e.mark : 0);
  if (e.missA > 0) remember(a, oldLength + static_cast<std::size_t>(e.missA));
}

void clsTarnDynamicArray::deleteElement(std::int32_t a, std::int32_t v, std::int32_t s) {
  if (a == 0) v = 0;
  if (v == 0) s = 0;
  const Element e = LocateElement(a, v, s);
  if (e.missA != 0 || e.missV != 0 || e.missS != 0) return;
  const std::size_t n = text_.size();
  const std::size_t end = e.start + e.length;
  // Missing neighbours compare below every character.
  const int before = e.start >= 1 ? text_[e.start - 1] : -1;
  const int after = end < n ? text_[end] : -1;
  const bool dropNext = (e.start == 0 || before > after) && after == e.mark && end < n;
  const bool dropPrev = e.start >= 1 && before <= e.mark;
  const std::size_t from = e.start - (dropPrev ? 1 : 0);
  text_.erase(from, end + (dropNext ? 1 : 0) - from);
  textChanged(from);
}

void clsTarnDynamicArray::brReplaceStr(const String& sNewStr, const Variant& nAMC,
                                       const Variant& nVMC, const Variant& nSVMC) {
  const std::int32_t a = levelNumber(nAMC);
  const std::int32_t v = levelNumber(nVMC);
  const std::int32_t s = levelNumber(nSVMC);
  ReplaceElement(sNewStr, a, v, s);
}

void clsTarnDynamicArray::brReplace(const Ref<clsTarnDynamicArray>& aReplace, const Variant& nAMC,
                                    const Variant& nVMC, const Variant& nSVMC) {
  const clsTarnDynamicArray& source = objectOrThrow(aReplace);
  brReplaceStr(source.text_, nAMC, nVMC, nSVMC);
}

void clsTarnDynamicArray::brInsertStr(const String& sInsertStr, const Variant& nAMC,
                                      const Variant& nVMC, const Variant& nSVMC) {
  const std::int32_t a = levelNumber(nAMC);
  const std::int32_t v = levelNumber(nVMC);
  const std::int32_t s = levelNumber(nSVMC);
  InsertElement(sInsertStr, a, v, s);
}

void clsTarnDynamicArray::brInsert(const Ref<clsTarnDynamicArray>& aInsert, const Variant& nAMC,
                                   const Variant& nVMC, const Variant& nSVMC) {
  const clsTarnDynamicArray& source = objectOrThrow(aInsert);
  brInsertStr(source.text_, nAMC, nVMC, nSVMC);
}

void clsTarnDynamicArray::brDelete(const Variant& nAMC, const Variant& nVMC, const Variant& nSVMC) {
  const std::int32_t a = levelNumber(nAMC);
  const std::int32_t v = levelNumber(nVMC);
  const std::int32_t s = levelNumber(nSVMC);
  deleteElement(a, v, s);
}

bool clsTarnDynamicArray::caseSensitive() const {
  return linked_ && environment_ && environment_->rsCompareMode() == 0;
}

}  // namespace tarn
