// MT codes: internal times are seconds since midnight.
#include <vector>

#include "server/engine/conv/conv_internal.h"

namespace tarn::server::conv {
namespace {

constexpr long kSecondsPerDay = 86400;

// n (not negative) with leading zeros to at least two digits.
std::string twoDigits(long n) {
  std::string text = std::to_string(n);
  if (text.size() < 2) text.insert(0, 1, '0');
  return text;
}

}  // namespace

std::optional<TimeCode> parseTimeCode(std::string_view code) {
  if (code.substr(0, 2) != "MT") return std::nullopt;
  TimeCode parsed;
  bool hours = false;
  bool seconds = false;
  bool separator = false;
  for (std::size_t i = 2; i < code.size(); ++i) {
    // H and S may each appear once and in either order.
    const char c = code[i];
    if (separator) return std::nullopt;  // the separator comes last
    if (c == 'H' && !hours) {
      hours = true;
    } else if (c == 'S' && !seconds) {
      seconds = true;
    } else if (isSeparatorChar(c)) {
      separator = true;
      parsed.separator = c;
    } else {
      return std::nullopt;
    }
  }
  parsed.twelveHour = hours;
  parsed.seconds = seconds;
  return parsed;
}

std::string timeOutput(const TimeCode& code, std::string_view piece) {
  if (piece.empty()) return std::string();
  const std::optional<Decimal> number = Decimal::parse(piece);
  if (!number) return std::string(piece);
  // Times wrap around the day, so -1 is one second before midnight.
  const long secs = (number->truncatedModulo(kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
  long hour = secs / 3600;
  const char* suffix = "";
  if (code.twelveHour) {
    suffix = hour < 12 ? "AM" : "PM";
    // Hour 0 is 12 AM and hour 12 is 12 PM.
    hour %= 12;
    if (hour == 0) hour = 12;
  }
  std::string out = twoDigits(hour) + code.separator + twoDigits(secs / 60 % 60);
  if (code.seconds) out += code.separator + twoDigits(secs % 60);
  return out + suffix;
}

std::string timeInput(const TimeCode& code, std::string_view piece) {
  std::vector<long> parts;
  std::string suffix;
  for (std::size_t i = 0; i < piece.size();) {
    const char c = piece[i];
    if (c >= '0' && c <= '9') {
      if (!suffix.empty()) return std::string();
      std::size_t digits = 0;
      long n = 0;
      while (i < piece.size() && piece[i] >= '0' && piece[i] <= '9') {
        n = n * 10 + (piece[i++] - '0');
        // At most two digits a field: a run like "1430" is refused, not split.
        if (++digits > 2) return std::string();
      }
      parts.push_back(n);
    } else if (c == 'A' || c == 'a' || c == 'P' || c == 'p' || c == 'M' || c == 'm') {
      // Letters gather into one suffix (upper-cased); a digit after it is refused below.
      suffix.push_back(static_cast<char>(c & ~0x20));
      ++i;
      // The usual separators are accepted whatever the code's own separator is.
    } else if (c == ':' || c == '.' || c == ' ' || c == code.separator) {
      ++i;
    } else {
      return std::string();
    }
  }
  if (parts.empty() || parts.size() > 3) return std::string();
  long hour = parts[0];
  const long minute = parts.size() > 1 ? parts[1] : 0;
  const long second = parts.size() > 2 ? parts[2] : 0;
  if (minute > 59 || second > 59) return std::string();
  if (suffix.empty()) {
    if (hour > 23) return std::string();
  } else if (suffix == "AM" || suffix == "A" || suffix == "PM" || suffix == "P") {
    // Twelve-hour input: 12 AM is midnight, 12 PM is noon.
    if (hour < 1 || hour > 12) return std::string();
    hour %= 12;
    if (suffix[0] == 'P') hour += 12;
  } else {
    return std::string();
  }
  return std::to_string(hour * 3600 + minute * 60 + second);
}

}  // namespace tarn::server::conv
