// Library-internal access to a dynamic array's remembered position, for the benchmarks that time
// a scan from the start; not installed.
#pragma once

#include "tarn/dynarray/dynamic_array.h"

namespace tarn {

struct DynamicArrayInternals {
  // Drops the remembered attribute, so that the next element access scans from the start.
  static void forget(const clsTarnDynamicArray& a) {
    a.rememberedAttr_ = 0;
    a.rememberedEnd_ = clsTarnDynamicArray::kUnknownEnd;
  }
};

}  // namespace tarn
