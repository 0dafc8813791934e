#include "tarn/frame/unique_id.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "tarn/frame/error.h"

namespace tarn {

Guid newGuid() {
  std::uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw TarnError::platform(err::kInvalidCall);
    }
    got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  Guid g;
  g.data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(g.data4.data(), bytes + 8, 8);
  return g;
}

namespace {
void appendHex(String& out, std::uint32_t v) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  char16_t buf[8];
  int n = 0;
  do {
    buf[n++] = kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out.push_back(buf[--n]);
}
}  // namespace

String uniqueIdText(const Guid& g) {
  String s;
  appendHex(s, g.data1);
  s.push_back(u'-');
  appendHex(s, g.data2);
  s.push_back(u'-');
  appendHex(s, g.data3);
  s.push_back(u'-');
  for (std::uint8_t b : g.data4) appendHex(s, b);
  return s;
}

}  // namespace tarn
