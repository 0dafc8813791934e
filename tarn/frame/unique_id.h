// Unique ids from 128 random bits.
#pragma once

#include <array>
#include <cstdint>

#include "tarn/frame/string.h"

namespace tarn {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};
};

// A version-4 GUID from the kernel's random source.
[[nodiscard]] Guid newGuid();

// Data1-Data2-Data3-Data4 in upper-case hex without leading zeros in any part (Data4 byte by
// byte), so the text has no fixed length: {0012AB34-0056-0078-0A0B-...} gives 12AB34-56-78-AB...
[[nodiscard]] String uniqueIdText(const Guid& g);

}  // namespace tarn
