// D codes: internal dates are days since 31 Dec 1967.
#include <array>
#include <vector>

#include "server/engine/conv/conv_internal.h"

namespace tarn::server::conv {
namespace {

constexpr std::array<std::string_view, 12> kMonthNames = {
    "JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
    "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
// Monday first: DW numbers weekdays 1 (Monday) to 7 (Sunday).
constexpr std::array<std::string_view, 7> kDayNames = {
    "MONDAY", "TUESDAY", "WEDNESDAY", "THURSDAY", "FRIDAY", "SATURDAY", "SUNDAY"};

// Days from 1 Jan 1970 in the proleptic Gregorian calendar (eras of 400 years).
long daysFromCivil(long y, int m, int d) noexcept {
  // March-based years put the leap day last, so month lengths follow a fixed 153-day pattern per
  // five months; the era split keeps the division right for negative years.
  y -= m <= 2 ? 1 : 0;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153L * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// 31 Dec 1967 is 732 days before 1 Jan 1970.
constexpr long kEpochOffset = 732;
// Outside years 1..9999 a date cannot be written with four year digits; such numbers are left
// as they are on output and refused on input.
constexpr long kFirstYear = 1;
constexpr long kLastYear = 9999;

// n (not negative) with leading zeros to at least two digits.
std::string twoDigits(long n) {
  std::string text = std::to_string(n);
  if (text.size() < 2) text.insert(0, 1, '0');
  return text;
}

// The last `digits` digits of the year written with four (years are 1..9999 here).
std::string yearText(long year, int digits) {
  std::string full = std::to_string(year);
  if (full.size() < 4) full.insert(0, 4 - full.size(), '0');
  return full.substr(full.size() - static_cast<std::size_t>(digits));
}

// Two-digit years: 00..29 are 2000..2029, 30..99 are 1930..1999.
long windowYear(long twoDigit) noexcept {
  return twoDigit < 30 ? 2000 + twoDigit : 1900 + twoDigit;
}

struct Token {
  bool number = false;
  std::string text;
};

char upperAscii(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool isAsciiLetter(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::optional<std::vector<Token>> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    // Runs of digits and of letters become tokens; any separator between them is dropped, so
    // "12/05/2026", "12-5-26" and "5 DEC 2026" all reduce to the same few tokens.
    if (c >= '0' && c <= '9') {
      Token t{true, {}};
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') t.text.push_back(text[i++]);
      tokens.push_back(std::move(t));
    } else if (isAsciiLetter(c)) {
      Token t{false, {}};
      while (i < text.size() && isAsciiLetter(text[i])) t.text.push_back(upperAscii(text[i++]));
      tokens.push_back(std::move(t));
    } else if (isSeparatorChar(c)) {
      ++i;
    } else {
      return std::nullopt;
    }
    // No date form needs more than a weekday, a day, a month and a year; a piece with many more
    // tokens is not a date, and is refused before it is scanned to its end.
    if (tokens.size() > 6) return std::nullopt;
  }
  return tokens;
}

// 1..12 for a month's full name or its first three letters; 0 for a weekday name (ignored);
// nothing for any other word.
std::optional<int> wordValue(const std::string& word) {
  for (std::size_t i = 0; i < kMonthNames.size(); ++i) {
    if (word == kMonthNames[i] || word == kMonthNames[i].substr(0, 3))
      return static_cast<int>(i) + 1;
  }
  for (const std::string_view day : kDayNames) {
    if (word == day || word == day.substr(0, 3)) return 0;
  }
  return std::nullopt;
}

// One or two digits are a year in the century window; three or more are taken as written.
long yearFromToken(const std::string& digits) {
  const long n = std::stol(digits);
  return digits.size() <= 2 ? windowYear(n) : n;
}

std::optional<long> parseExternalDate(std::string_view text, bool dayFirst) {
  std::optional<std::vector<Token>> tokens = tokenize(text);
  if (!tokens) return std::nullopt;
  int month = 0;
  std::vector<std::string> numbers;
  for (const Token& t : *tokens) {
    if (t.number) {
      if (t.text.size() > 4) return std::nullopt;
      numbers.push_back(t.text);
      continue;
    }
    const std::optional<int> value = wordValue(t.text);
    if (!value) return std::nullopt;
    if (*value == 0) continue;
    if (month != 0) return std::nullopt;
    month = *value;
  }
  long year = 0;
  long day = 0;
  bool haveYear = true;
  if (month != 0) {
    if (numbers.size() == 1) {
      day = std::stol(numbers[0]);
      haveYear = false;
    } else if (numbers.size() == 2) {
      // With a month word: "5 DEC 2026" or "2026 DEC 5"; a leading number of three or more digits
      // can only be the year.
      const bool yearFirst = numbers[0].size() >= 3;
      day = std::stol(numbers[yearFirst ? 1 : 0]);
      year = yearFromToken(numbers[yearFirst ? 0 : 1]);
    } else {
      return std::nullopt;
    }
    // A long first number means y-m-d, whatever the code's day order.
  } else if (numbers.size() == 3 && numbers[0].size() >= 3) {
    year = std::stol(numbers[0]);
    month = static_cast<int>(std::stol(numbers[1]));
    day = std::stol(numbers[2]);
  } else if (numbers.size() == 2 || numbers.size() == 3) {
    const long first = std::stol(numbers[0]);
    const long second = std::stol(numbers[1]);
    month = static_cast<int>(dayFirst ? second : first);
    day = dayFirst ? first : second;
    if (numbers.size() == 3) {
      year = yearFromToken(numbers[2]);
    } else {
      haveYear = false;
    }
  } else {
    return std::nullopt;
  }
  // A missing year means this year, read at conversion time.
  if (!haveYear) year = civilFromInternal(internalDateToday()).year;
  if (year < kFirstYear || year > kLastYear || month < 1 || month > 12) return std::nullopt;
  if (day < 1 || day > daysInMonth(year, month)) return std::nullopt;
  return internalFromCivil(CivilDate{year, month, static_cast<int>(day)});
}

// Monday 1 .. Sunday 7; day 0 was a Sunday.
int weekday(long internal) noexcept {
  // The double modulo keeps day 0 and earlier (negative internals) in range.
  return static_cast<int>(((internal - 1) % 7 + 7) % 7) + 1;
}

std::string formatDate(const DateCode& code, long internal) {
  const CivilDate date = civilFromInternal(internal);
  using E = DateCode::Element;
  switch (code.element) {
    case E::kYear:
      return yearText(date.year, code.yearDigits);
    case E::kMonth:
      return std::to_string(date.month);
    case E::kMonthName:
      return std::string(kMonthNames[static_cast<std::size_t>(date.month - 1)]);
    case E::kDay:
      return std::to_string(date.day);
    case E::kWeekday:
      return std::to_string(weekday(internal));
    case E::kWeekdayName:
      return std::string(kDayNames[static_cast<std::size_t>(weekday(internal) - 1)]);
    case E::kQuarter:
      return std::to_string((date.month - 1) / 3 + 1);
    case E::kJulian:
      return std::to_string(internal - internalFromCivil(CivilDate{date.year, 1, 1}) + 1);
    case E::kWhole:
      break;
  }
  std::string out;
  if (code.separator == ' ') {
    // Blank separator: the day, the month's three letters, the year; the day order flag does not
    // apply to this form.
    out = twoDigits(date.day) + " " +
          std::string(kMonthNames[static_cast<std::size_t>(date.month - 1)].substr(0, 3));
  } else {
    const long first = code.dayFirst ? date.day : date.month;
    const long second = code.dayFirst ? date.month : date.day;
    out = twoDigits(first) + code.separator + twoDigits(second);
  }
  if (code.yearDigits > 0) out += code.separator + yearText(date.year, code.yearDigits);
  return out;
}

}  // namespace

long internalFromCivil(const CivilDate& date) noexcept {
  return daysFromCivil(date.year, date.month, date.day) + kEpochOffset;
}

CivilDate civilFromInternal(long internal) noexcept {
  // The inverse of daysFromCivil, on the same March-based eras.
  const long z = internal - kEpochOffset + 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return CivilDate{yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int daysInMonth(long year, int month) noexcept {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[static_cast<std::size_t>(month - 1)];
}

std::optional<DateCode> parseDateCode(std::string_view code) {
  if (code.empty() || code[0] != 'D') return std::nullopt;
  DateCode parsed;
  // DI takes no options: it only swaps the directions of the plain D form.
  if (code == "DI") {
    parsed.inputForm = true;
    return parsed;
  }
  std::size_t i = 1;
  if (i < code.size() && code[i] >= '0' && code[i] <= '9') {
    parsed.yearDigits = code[i] - '0';
    if (parsed.yearDigits > 4) return std::nullopt;
    ++i;
  }
  bool separatorSeen = false;
  bool elementSeen = false;
  using E = DateCode::Element;
  for (; i < code.size(); ++i) {
    const char c = code[i];
    // MA and WA name the month and weekday; the A is consumed with its letter below.
    const bool named = i + 1 < code.size() && code[i + 1] == 'A';
    E element = E::kWhole;
    switch (c) {
      case 'E':
        if (parsed.dayFirst) return std::nullopt;
        parsed.dayFirst = true;
        continue;
      case 'Y':
        element = E::kYear;
        break;
      case 'M':
        element = named ? E::kMonthName : E::kMonth;
        break;
      case 'D':
        element = E::kDay;
        break;
      case 'W':
        element = named ? E::kWeekdayName : E::kWeekday;
        break;
      case 'Q':
        element = E::kQuarter;
        break;
      case 'J':
        element = E::kJulian;
        break;
      default:
        if (!isSeparatorChar(c) || separatorSeen) return std::nullopt;
        separatorSeen = true;
        parsed.separator = c;
        continue;
    }
    if (elementSeen) return std::nullopt;
    elementSeen = true;
    parsed.element = element;
    if (element == E::kMonthName || element == E::kWeekdayName) ++i;
  }
  // A year element of zero digits would print nothing at all.
  if (parsed.element == E::kYear && parsed.yearDigits == 0) return std::nullopt;
  return parsed;
}

std::string dateOutput(const DateCode& code, std::string_view piece) {
  if (piece.empty()) return std::string();
  const std::optional<Decimal> number = Decimal::parse(piece);
  // Output leaves anything that is not a date number unchanged, so a converted column still
  // shows stray text instead of hiding it.
  if (!number) return std::string(piece);
  const std::optional<long> internal = number->truncated();
  // Computed once: the range of internals that a four-digit year can print.
  static const long kFirst = internalFromCivil(CivilDate{kFirstYear, 1, 1});
  static const long kLast = internalFromCivil(CivilDate{kLastYear, 12, 31});
  if (!internal || *internal < kFirst || *internal > kLast) return std::string(piece);
  return formatDate(code, *internal);
}

std::string dateInput(const DateCode& code, std::string_view piece) {
  const std::optional<long> internal = parseExternalDate(piece, code.dayFirst);
  return internal ? std::to_string(*internal) : std::string();
}

}  // namespace tarn::server::conv
