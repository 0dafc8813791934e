#include "tools/tarnsh/credentials.h"

#include <fcntl.h>
#include <odbcinst.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace tarnsh {
namespace {

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The value of key in a "KEY=value;..." text, braces taken off.
std::optional<std::string> valueIn(const std::string& text, const std::string& key) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(';', at);
    std::size_t eq = text.find('=', at);
    if (eq == std::string::npos) break;
    if (end == std::string::npos || eq < end) {
      std::string_view k(text.data() + at, eq - at);
      while (!k.empty() && k.front() == ' ') k.remove_prefix(1);
      while (!k.empty() && k.back() == ' ') k.remove_suffix(1);
      std::size_t v = eq + 1;
      if (v < text.size() && text[v] == '{') {
        std::string value;
        std::size_t i = v + 1;
        for (; i < text.size(); ++i) {
          if (text[i] == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
              value += '}';
              ++i;
              continue;
            }
            break;
          }
          value += text[i];
        }
        if (upper(k) == upper(key)) return value;
        end = text.find(';', i);
      } else if (upper(k) == upper(key)) {
        return text.substr(v, end == std::string::npos ? std::string::npos : end - v);
      }
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return std::nullopt;
}

// PasswordFile= of the data source: in a "DSN=..." text, else in the named entry of odbc.ini.
std::optional<std::string> passwordFile(const std::string& dataSource) {
  if (dataSource.empty()) return std::nullopt;
  if (dataSource.find('=') != std::string::npos) {
    if (auto file = valueIn(dataSource, "PasswordFile")) return file;
    std::optional<std::string> dsn = valueIn(dataSource, "DSN");
    if (!dsn) return std::nullopt;
    return passwordFile(*dsn);
  }
  char buffer[4096] = {};
  const int n = SQLGetPrivateProfileString(dataSource.c_str(), "PasswordFile", "", buffer,
                                           sizeof buffer, "odbc.ini");
  if (n <= 0 || buffer[0] == '\0') return std::nullopt;
  return std::string(buffer);
}

std::string readPasswordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot read the password file " + path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (st.st_mode & 077) != 0 || st.st_uid != ::getuid()) {
    ::close(fd);
    throw std::runtime_error("the password file " + path +
                             " must be yours and readable by you alone (chmod 600)");
  }
  std::string text;
  char chunk[512];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, got);
  ::close(fd);
  const std::size_t end = text.find_first_of("\r\n");
  return text.substr(0, end);
}

std::optional<std::string> askTerminal(const std::string& user) {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  const std::string prompt = "Password for " + user + ": ";
  (void)!::write(fd, prompt.data(), prompt.size());
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  ::tcsetattr(fd, TCSAFLUSH, &quiet);
  std::string line;
  char c = 0;
  while (::read(fd, &c, 1) == 1 && c != '\n' && c != '\r') line += c;
  ::tcsetattr(fd, TCSAFLUSH, &saved);
  ::close(fd);
  return line;
}

}  // namespace

std::string findPassword(const std::string& user, const PasswordSources& sources) {
  if (const char* env = std::getenv("TARN_PASSWORD"); env != nullptr && *env != '\0') return env;
  if (std::optional<std::string> file = passwordFile(sources.dataSource))
    return readPasswordFile(*file);
  if (std::optional<std::string> typed = askTerminal(user)) return *typed;
  throw std::runtime_error("no password for " + user +
                           ": set TARN_PASSWORD, name a PasswordFile= in the data source, or run "
                           "tarnsh on a terminal");
}

std::string attribute(const std::string& key, const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos && !value.empty() && value.front() != ' ' &&
      value.back() != ' ')
    return key + "=" + value;
  std::string braced = key + "={";
  for (char c : value) {
    braced += c;
    if (c == '}') braced += '}';
  }
  return braced + "}";
}

bool hasAttribute(const std::string& text, const std::string& key) {
  return valueIn(text, key).has_value();
}

}  // namespace tarnsh
