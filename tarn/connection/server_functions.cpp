// The server's own functions on a connection: system values, conversions, clock and calendar,
// sleep, lock release, TCL execution, and the local sort.
#include <algorithm>
#include <cmath>

#include "tarn/channel/envelope_internal.h"
#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/numeric.h"
#include "tarn/lists/tcl_command.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnConnection";
const String kAMText(1, kAM);
}  // namespace

template <class Operation>
String clsTarnConnection::request(String text, Operation&& operation, StringView name) {
  return withHandler(sOperation, kClassName, std::forward<Operation>(operation), [&] {
    envelope::refuseMarks(name);
    oODBC->rsCmd(text);
    return std::move(text);
  });
}

String clsTarnConnection::brSystem(std::int32_t iNum) {
  return request(u"Z" + kAMText + decimalText(iNum),
                 [&] { return u"brSystem " + database_ + u" " + decimalText(iNum); });
}

String clsTarnConnection::brIconv(const String& sVal, const String& sConv) {
  // The value is the request's last field and may hold marks (a value per element); the code
  // may not.
  return request(
      u"2" + kAMText + sConv + kAMText + sVal, [&] { return u"brIconv " + sVal + u" " + sConv; },
      sConv);
}

String clsTarnConnection::brOconv(const String& sVal, const String& sConv) {
  return request(
      u"1" + kAMText + sConv + kAMText + sVal, [&] { return u"brOconv " + sVal + u" " + sConv; },
      sConv);
}

void clsTarnConnection::brRelease() {
  (void)request(u"A", [&] { return u"brRelease " + database_; });
}

std::int32_t clsTarnConnection::brTime() {
  const String reply = brSystem(TarnSystem_SystemTime);
  if (!isNumericText(reply)) return 0;
  const std::int32_t milliseconds = roundToInt32(*parseNumericText(reply));
  return roundToInt32(static_cast<double>(milliseconds) / 1000.0);
}

String clsTarnConnection::brTimeDate() {
  clsTarnTclCommand& cmd = command();
  cmd.brExecute(u"TIME");
  return cmd.brCapturing()->brCString();
}

String clsTarnConnection::brStatus() { return brSystem(TarnSystem_ContextStatus); }

std::int32_t clsTarnConnection::brDate() {
  clsTarnTclCommand& cmd = command();
  cmd.brExecute(u"DATE");
  auto captured = cmd.brCapturing();
  captured->brTrim();
  captured->brConvert(u" ", kAMText);
  const String day = captured->brExtractStr(6);
  if (!isNumericText(day)) return 0;
  return roundToInt32(*parseNumericText(day));
}

void clsTarnConnection::brSleep(const String& Seconds) {
  if (!isNumericText(Seconds)) return;
  (void)brOconv(Seconds, u"U407A");
}

void clsTarnConnection::brExecute(const String& sCommand, const Variant& nResults) {
  lastCommand_ = sCommand;
  command().brExecute(sCommand, nResults);
}

Ref<clsTarnDynamicArray> clsTarnConnection::brCapturing() { return command().brCapturing(); }

Ref<clsTarnDynamicArray> clsTarnConnection::brReturning() { return command().brReturning(); }

void clsTarnConnection::brData(const String& sData) { command().brData(sData); }

Ref<clsTarnDynamicArray> clsTarnConnection::brSort(
    const Ref<clsTarnDynamicArray>& aDynamicArray) {
  if (!aDynamicArray) throw TarnError::platform(err::kObjectNotSet);
  auto sorted = clsTarnDynamicArray::create();
  sorted->rsInitFromDynamicArray(*aDynamicArray);
  String text = aDynamicArray->brCString();

  // The output mark is whichever of the attribute and value marks comes first.
  const auto am = text.find(kAM);
  const auto vm = text.find(kVM);
  const char16_t delimiter = (am != String::npos && (vm == String::npos || am < vm)) ? kAM : kVM;

  // Values become elements beside attributes. An empty text has no elements and sorts to an
  // empty text, rather than failing for want of a list.
  std::replace(text.begin(), text.end(), kVM, kAM);
  std::vector<StringView> elements;
  if (!text.empty()) {
    StringView rest = text;
    for (;;) {
      const auto mark = rest.find(kAM);
      elements.push_back(rest.substr(0, mark));
      if (mark == StringView::npos) break;
      rest.remove_prefix(mark + 1);
    }
  }
  rsQuickSort(elements, -2, -2);

  String result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) result.push_back(delimiter);
    result += elements[i];
  }
  sorted->brCString(std::move(result));
  return sorted;
}

// Middle-pivot quicksort over list(1..n); the recursion takes the smaller side first, so the
// depth stays logarithmic. Ordinal comparison: UTF-16 code units as unsigned numbers.
void clsTarnConnection::rsQuickSort(std::vector<StringView>& list, std::int32_t low,
                                    std::int32_t high) {
  const auto n = static_cast<std::int32_t>(list.size());
  if (low == -2) low = 1;
  if (high == -2) high = n;
  auto at = [&](std::int32_t i) -> StringView& { return list[static_cast<std::size_t>(i - 1)]; };
  while (low < high) {
    const std::int32_t middle = (low + high) / 2;
    const StringView pivot = at(middle);
    std::int32_t i = low, j = high;
    do {
      while (at(i) < pivot) ++i;
      while (at(j) > pivot) --j;
      if (i <= j) {
        std::swap(at(i), at(j));
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - low < high - i) {
      rsQuickSort(list, low, j);
      low = i;
    } else {
      rsQuickSort(list, i, high);
      high = j;
    }
  }
}

}  // namespace tarn
