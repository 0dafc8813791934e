#include "tarn/frame/handle.h"

namespace tarn {

namespace {
void appendHex(String& out, std::uint32_t value, int width) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}
}  // namespace

String rsFormatHandle(std::int32_t classCode, std::int32_t identity, const Variant&) {
  String handle = u"B66B";
  appendHex(handle, static_cast<std::uint32_t>(classCode), 4);
  appendHex(handle, static_cast<std::uint32_t>(identity), 8);
  return handle;
}

}  // namespace tarn
