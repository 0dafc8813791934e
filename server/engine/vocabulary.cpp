#include "server/engine/vocabulary.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace tarn::server {

bool parseNumeric(std::string_view t, double& out) noexcept {
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  // Whole numbers of up to 15 digits are the common case: read them without from_chars.
  std::int64_t whole = 0;
  std::size_t digits = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9' && digits < 16; ++i, ++digits)
    whole = whole * 10 + (t[i] - '0');
  // Fifteen digits at most, so the integer is exact both as int64 and as a double.
  if (i == t.size() && digits > 0 && digits < 16) {
    out = negative ? -static_cast<double>(whole) : static_cast<double>(whole);
    return true;
  }
  // The strict form is checked by hand first: from_chars would also take "1e5", "inf" and "nan",
  // none of which is a number here.
  std::size_t start = t.size() > 0 && (t[0] == '-' || t[0] == '+') ? 1 : 0;
  bool seenDigit = false;
  bool seenPoint = false;
  for (std::size_t k = start; k < t.size(); ++k) {
    if (t[k] >= '0' && t[k] <= '9') {
      seenDigit = true;
    } else if (t[k] == '.' && !seenPoint) {
      seenPoint = true;
    } else {
      return false;
    }
  }
  if (!seenDigit) return false;
  double v = 0;
  auto [end, ec] = std::from_chars(t.data() + start, t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size()) return false;
  out = negative ? -v : v;
  return true;
}

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
