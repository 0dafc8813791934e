// A dynamic array for people to read: the marks shown as ^ (attribute), ] (value) and
// \ (sub-value), the rest as UTF-8.
#pragma once

#include <iosfwd>
#include <string>

#include "tarn/dynarray/dynamic_array.h"
#include "tarn/frame/export.h"
#include "tarn/frame/string.h"

namespace tarn {

// The text in UTF-8 with the three structure marks replaced by ^ ] \; other marks stay as
// they are. Meant for display only: a text holding ^ ] or \ itself cannot be told apart.
[[nodiscard]] TARN_API std::string printable(StringView text);

// Writes printable(array.brCString()).
TARN_API std::ostream& operator<<(std::ostream& out, const clsTarnDynamicArray& array);

}  // namespace tarn
