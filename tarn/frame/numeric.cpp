#include "tarn/frame/numeric.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "tarn/frame/error.h"
#include "tarn/frame/locale.h"

namespace tarn {

namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool startsWith(StringView s, size_t at, StringView prefix) {
  return !prefix.empty() && s.size() - at >= prefix.size() && s.substr(at, prefix.size()) == prefix;
}

std::optional<double> parseRadixInteger(StringView digits, int radix) {
  if (digits.empty() || digits.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  for (char16_t c : digits) {
    int d;
    if (isDigit(c)) d = c - u'0';
    else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else return std::nullopt;
    if (d >= radix) return std::nullopt;
    value = value * radix + d;
  }
  // Hex and octal literals of up to 32 bits read as signed 32-bit values, as the platform does.
  if (value <= 0xFFFFFFFFu) return static_cast<double>(static_cast<std::int32_t>(value));
  return static_cast<double>(value);
}

}  // namespace

std::optional<double> parseNumericText(StringView text) {
  const LocaleSettings& loc = platformLocale();
  size_t b = 0, e = text.size();
  while (b < e && isBlank(text[b])) ++b;
  while (e > b && isBlank(text[e - 1])) --e;
  const StringView s = text.substr(b, e - b);
  if (s.empty()) return std::nullopt;

  if (s.size() > 2 && s[0] == u'&') {
    const char16_t kind = s[1];
    if (kind == u'H' || kind == u'h') return parseRadixInteger(s.substr(2), 16);
    if (kind == u'O' || kind == u'o') return parseRadixInteger(s.substr(2), 8);
    return std::nullopt;
  }

  std::string ascii;  // the number rebuilt in C syntax for from_chars
  ascii.reserve(s.size());
  size_t i = 0;
  bool currencySeen = false;
  auto takeCurrency = [&] {
    if (!currencySeen && startsWith(s, i, loc.currency)) {
      i += loc.currency.size();
      currencySeen = true;
      while (i < s.size() && isBlank(s[i])) ++i;
    }
  };
  takeCurrency();
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    if (s[i] == u'-') ascii.push_back('-');
    ++i;
    while (i < s.size() && isBlank(s[i])) ++i;
  }
  takeCurrency();
  size_t digits = 0;
  while (i < s.size()) {
    if (isDigit(s[i])) {
      ascii.push_back(static_cast<char>(s[i]));
      ++digits;
      ++i;
    } else if (digits > 0 && startsWith(s, i, loc.grouping)) {
      i += loc.grouping.size();
    } else {
      break;
    }
  }
  if (startsWith(s, i, loc.decimal)) {
    i += loc.decimal.size();
    ascii.push_back('.');
    while (i < s.size() && isDigit(s[i])) {
      ascii.push_back(static_cast<char>(s[i]));
      ++digits;
      ++i;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
    size_t j = i + 1;
    std::string exponent = "e";
    if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) exponent.push_back(static_cast<char>(s[j++]));
    size_t expDigits = 0;
    while (j < s.size() && isDigit(s[j])) {
      exponent.push_back(static_cast<char>(s[j++]));
      ++expDigits;
    }
    if (expDigits == 0) return std::nullopt;
    ascii += exponent;
    i = j;
  }
  if (i < s.size() && !currencySeen) takeCurrency();
  if (i != s.size()) return std::nullopt;
  if (ascii == "-" || ascii.empty()) return std::nullopt;
  double value = 0;
  const auto res = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    return std::nullopt;
  }
  if (res.ec != std::errc() || res.ptr != ascii.data() + ascii.size()) return std::nullopt;
  return value;
}

std::int32_t roundToInt32(double value) {
  const double r = std::nearbyint(value);  // the default rounding mode sends halves to even
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) throw TarnError::platform(err::kOverflow);
  return static_cast<std::int32_t>(r);
}

std::int16_t roundToInt16(double value) {
  const double r = std::nearbyint(value);
  if (!(r >= -32768.0 && r <= 32767.0)) throw TarnError::platform(err::kOverflow);
  return static_cast<std::int16_t>(r);
}

String doubleText(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  std::string s = buf;
  // Trailing zeros of the fraction go, and so does a bare decimal point.
  const auto ePos = s.find('E');
  std::string mantissa = s.substr(0, ePos);
  std::string exponent = ePos == std::string::npos ? "" : s.substr(ePos);
  if (mantissa.find('.') != std::string::npos) {
    while (!mantissa.empty() && mantissa.back() == '0') mantissa.pop_back();
    if (!mantissa.empty() && mantissa.back() == '.') mantissa.pop_back();
  }
  String out;
  for (char c : mantissa) {
    if (c == '.') out += platformLocale().decimal;
    else out.push_back(static_cast<char16_t>(c));
  }
  for (char c : exponent) out.push_back(static_cast<char16_t>(c));
  return out;
}

std::int32_t numericPrefix(StringView text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::int64_t value = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > 2147483648LL) throw TarnError::platform(err::kOverflow);
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) throw TarnError::platform(err::kOverflow);
  return static_cast<std::int32_t>(value);
}

}  // namespace tarn
