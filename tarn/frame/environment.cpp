#include "tarn/frame/environment.h"

#include "common/secret_text.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/error.h"
#include "tarn/frame/handle.h"
#include "tarn/frame/locale.h"
#include "tarn/frame/unique_id.h"
#include "tarn/frame/version_internal.h"

namespace tarn {

clsTarnEnvironment::clsTarnEnvironment() {
  const LocaleSettings& loc = platformLocale();
  currency_ = loc.currency;
  decimal_ = loc.decimal;
  grouping_ = loc.grouping;
  brCasing(false);
}

Ref<clsTarnEnvironment> clsTarnEnvironment::create() {
  return Ref<clsTarnEnvironment>(new clsTarnEnvironment());
}

void clsTarnEnvironment::brCasing(bool value) {
  compareMode_ = value ? 0 : 1;
  casing_ = value;
}

String clsTarnEnvironment::brVersion() const {
  return decimalText(version::kMajor) + u"." + decimalText(version::kMinor) + u"." +
         decimalText(version::kRevision);
}
String clsTarnEnvironment::brDatabase() const {
  return secrets::masked(StringView(database_));
}

String clsTarnEnvironment::brDescription() const { return version::kDescription; }
String clsTarnEnvironment::brType() const { return u"ODBC32"; }
String clsTarnEnvironment::brName() const { return u"Tarn Class Library (ODBC32)"; }
String clsTarnEnvironment::brCopyright() const { return version::kCopyright; }

std::int32_t clsTarnEnvironment::brError() const { return gLastError; }

std::int32_t clsTarnEnvironment::brError(Variant& aVar) const {
  const std::int32_t number = gLastError;
  aVar = Variant(number);
  return number;
}

Ref<clsTarnDynamicArray> clsTarnEnvironment::brOpenDynamicArray(const Variant& sString) {
  staged_ = sString.isMissing() ? String() : sString.toString();
  auto array = clsTarnDynamicArray::create();
  array->rsInitFromEnvironment(Ref<clsTarnEnvironment>(this));
  return array;
}

String clsTarnEnvironment::brHandle() const {
  return rsFormatHandle(TarnClassDE, static_cast<std::int32_t>(identity()));
}

String clsTarnEnvironment::brUniqueId() const { return uniqueIdText(newGuid()); }

}  // namespace tarn
