#include "server/engine/vocabulary.h"

#include <algorithm>

namespace tarn::server {

bool holdsMark(std::string_view text) noexcept {
  return std::any_of(text.begin(), text.end(), isMark);
}

std::string_view trimBlanks(std::string_view text) noexcept {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::string_view attributeOf(std::string_view id, std::string_view body, long n) noexcept {
  if (n == 0) return id;
  if (n < 0) return {};
  std::size_t start = 0;
  for (long i = 1; i < n; ++i) {
    std::size_t mark = body.find(kAttributeMark, start);
    if (mark == std::string_view::npos) return {};
    start = mark + 1;
  }
  std::size_t end = body.find(kAttributeMark, start);
  return body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::size_t sizeAfterReplace(std::string_view body, long n, std::size_t valueSize) noexcept {
  std::size_t start = 0;
  for (long i = 1; i < n; ++i) {
    std::size_t mark = body.find(kAttributeMark, start);
    if (mark == std::string_view::npos)
      return body.size() + static_cast<std::size_t>(n - i) + valueSize;
    start = mark + 1;
  }
  std::size_t end = body.find(kAttributeMark, start);
  std::size_t old = (end == std::string_view::npos ? body.size() : end) - start;
  return body.size() - old + valueSize;
}

void replaceAttribute(std::string& body, long n, std::string_view value) {
  std::size_t start = 0;
  for (long i = 1; i < n; ++i) {
    std::size_t mark = body.find(kAttributeMark, start);
    if (mark == std::string::npos) {
      body.append(static_cast<std::size_t>(n - i), kAttributeMark);
      body.append(value);
      return;
    }
    start = mark + 1;
  }
  std::size_t end = body.find(kAttributeMark, start);
  body.replace(start, end == std::string::npos ? std::string::npos : end - start, value);
}

}  // namespace tarn::server
