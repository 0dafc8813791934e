#include "tarn/dynarray/dynamic_array.h"

#include "tarn/frame/enums.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/handle.h"

namespace tarn {

Ref<clsTarnDynamicArray> clsTarnDynamicArray::create() {
  return Ref<clsTarnDynamicArray>(new clsTarnDynamicArray());
}

void clsTarnDynamicArray::brCString(const String& sRaw) { brCString(String(sRaw)); }

void clsTarnDynamicArray::brCString(String&& sRaw) { text_ = std::move(sRaw); }

Ref<clsTarnDynamicArray> clsTarnDynamicArray::brCopy() const {
  auto copy = create();
  copy->rsInitFromDynamicArray(*this);
  return copy;
}

Ref<clsTarnDynamicArray> clsTarnDynamicArray::brClone() const { return brCopy(); }

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

bool clsTarnDynamicArray::caseSensitive() const {
  return linked_ && environment_ && environment_->rsCompareMode() == 0;
}

}  // namespace tarn
