#include "server/engine/store/process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarn::server::store {
namespace {

// Field 3 (state) and field 22 (starttime) of /proc/<pid>/stat. The command name in field 2 may
// hold blanks and parentheses, so fields are counted after its last ')'.
bool readStat(std::int64_t pid, char& state, std::int64_t& start) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  char buffer[1024];
  std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  buffer[n] = '\0';
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr || p[1] != ' ') return false;
  p += 2;
  state = *p;
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p, ' ');
    if (p == nullptr) return false;
    ++p;
  }
  start = std::strtoll(p, nullptr, 10);
  return true;
}

}  // namespace

ProcessIdentity currentProcess() noexcept {
  ProcessIdentity self;
  self.pid = ::getpid();
  char state = 0;
  if (!readStat(self.pid, state, self.start)) self.start = 0;
  return self;
}

bool isAlive(const ProcessIdentity& identity) noexcept {
  if (identity.pid <= 0) return false;
  char state = 0;
  std::int64_t start = 0;
  if (!readStat(identity.pid, state, start)) return false;
  if (state == 'Z' || state == 'X') return false;
  return start == identity.start;
}

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "?";
  return name;
}

}  // namespace tarn::server::store
