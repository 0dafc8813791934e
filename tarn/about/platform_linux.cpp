// The running system's answer to the version query, read from the kernel (uname).
#include <sys/utsname.h>

#include <charconv>
#include <cstring>
#include <string>

#include "tarn/about/about.h"

namespace tarn {

namespace {
// Reads the leading decimal number of s from pos and steps past it and one following '.'.
std::uint32_t nextNumber(const char* s, std::size_t& pos, std::size_t end) {
  std::uint32_t value = 0;
  auto [stop, ec] = std::from_chars(s + pos, s + end, value);
  if (ec != std::errc()) return 0;
  pos = static_cast<std::size_t>(stop - s);
  if (pos < end && s[pos] == '.') ++pos;
  return value;
}
}  // namespace

bool readRunningPlatform(PlatformRecord& record) {
  if (record.size != kPlatformRecordSize) return false;
  utsname u{};
  if (uname(&u) != 0) return false;
  const std::size_t end = std::strlen(u.release);
  std::size_t pos = 0;
  record.majorVersion = nextNumber(u.release, pos, end);
  record.minorVersion = nextNumber(u.release, pos, end);
  record.buildNumber = nextNumber(u.release, pos, end);
  record.platformId = kPlatformIdLinux;
  std::string misc = std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
  misc.resize(std::min(misc.size(), record.servicePack.size() - 1));
  std::memcpy(record.servicePack.data(), misc.data(), misc.size());
  record.servicePack[misc.size()] = '\0';
  return true;
}

}  // namespace tarn
