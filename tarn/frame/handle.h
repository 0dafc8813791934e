// Object handle strings.
#pragma once

#include <cstdint>

#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

// "B66B", the class code as 4 upper-case hex digits, the identity as 8; each field keeps its
// rightmost digits. The reserved argument is not used.
[[nodiscard]] String rsFormatHandle(std::int32_t classCode, std::int32_t identity,
                                    const Variant& reserved = Variant());

}  // namespace tarn
