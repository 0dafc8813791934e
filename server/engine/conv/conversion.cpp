#include "server/engine/conv/conversion.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "server/engine/conv/conv_internal.h"

namespace tarn::server {
namespace conv {

bool isSeparatorChar(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  // ASCII only: a byte above it is part of a character of several bytes, or a mark.
  if (u < 0x20 || u >= 0x7F) return false;
  return !(c >= '0' && c <= '9') && !isLetter(static_cast<char32_t>(u));
}

// ---- Decimal ---------------------------------------------------------------------------------

std::optional<Decimal> Decimal::parse(std::string_view text) {
  Decimal d;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    d.negative = text[i] == '-';
    ++i;
  }
  std::string whole;
  std::string fraction;
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      (point ? fraction : whole).push_back(c);
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return std::nullopt;
    }
  }
  if (whole.empty() && fraction.empty()) return std::nullopt;
  // The leading zero keeps an integer digit even for ".5", so later steps never test for an
  // empty integer part.
  d.digits = "0" + whole + fraction;
  d.scale = static_cast<int>(fraction.size());
  return d;
}

void Decimal::shift(int places) {
  // Dividing: the digits stay, the point moves left; leading zeros are added when it would pass
  // the first digit, keeping at least one integer digit.
  if (places >= 0) {
    scale += places;
    if (digits.size() <= static_cast<std::size_t>(scale)) {
      digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
    }
    return;
  }
  // Multiplying: fraction digits are taken into the integer part first, zeros appended after.
  const int up = -places;
  const int fromScale = std::min(up, scale);
  scale -= fromScale;
  digits.append(static_cast<std::size_t>(up - fromScale), '0');
}

void Decimal::roundTo(int places) {
  if (scale <= places) {
    digits.append(static_cast<std::size_t>(places - scale), '0');
    scale = places;
    return;
  }
  const std::size_t drop = static_cast<std::size_t>(scale - places);
  // The sign is held apart, so rounding the magnitude up on the first dropped digit is
  // half-away-from-zero for both signs; only that digit decides.
  const bool up = digits[digits.size() - drop] >= '5';
  digits.erase(digits.end() - static_cast<std::ptrdiff_t>(drop), digits.end());
  scale = places;
  bool carry = up;
  for (std::size_t i = digits.size(); carry && i > 0;) {
    --i;
    carry = digits[i] == '9';
    digits[i] = carry ? '0' : static_cast<char>(digits[i] + 1);
  }
  // A carry out of the first digit (9.99 -> 10.00) widens the number.
  if (carry) digits = "1" + digits;
  if (digits.size() <= static_cast<std::size_t>(scale)) digits = "0" + digits;
}

bool Decimal::isZero() const noexcept {
  return digits.find_first_not_of('0') == std::string::npos;
}

std::string Decimal::integerDigits() const {
  const std::string whole = digits.substr(0, digits.size() - static_cast<std::size_t>(scale));
  const std::size_t first = whole.find_first_not_of('0');
  return first == std::string::npos ? std::string("0") : whole.substr(first);
}

std::string Decimal::fractionDigits() const {
  return digits.substr(digits.size() - static_cast<std::size_t>(scale));
}

std::optional<long> Decimal::truncated() const {
  const std::string whole = integerDigits();
  // Fifteen digits sit well inside a 64-bit long, so stol below cannot throw.
  if (whole.size() > 15) return std::nullopt;
  const long magnitude = std::stol(whole);
  return negative ? -magnitude : magnitude;
}

long Decimal::truncatedModulo(long modulus) const {
  long rest = 0;
  // Reduced digit by digit, so an integer part of any length never overflows.
  for (const char c : integerDigits()) rest = (rest * 10 + (c - '0')) % modulus;
  return negative ? -rest : rest;
}

// ---- Sleep -----------------------------------------------------------------------------------

namespace {

// The sleeper is process-wide and ports run on their own threads; the mutex guards swapping it,
// and the sleep itself runs outside the lock.
std::mutex gSleeperMutex;
Sleeper gSleeper;

void realSleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace

std::chrono::milliseconds sleepDuration(std::string_view value) {
  std::optional<Decimal> seconds = Decimal::parse(value);
  if (!seconds || seconds->negative || seconds->isZero()) return std::chrono::milliseconds(0);
  // Seconds to milliseconds, rounded to the nearest one.
  seconds->shift(-3);
  seconds->roundTo(0);
  const std::string millis = seconds->integerDigits();
  constexpr long kCap = kMaxSleepSeconds * 1000;
  // Anything past nine digits is far beyond the cap; cut it off before stol could overflow.
  if (millis.size() > 9) return std::chrono::milliseconds(kCap);
  return std::chrono::milliseconds(std::min(std::stol(millis), kCap));
}

Sleeper exchangeSleeper(Sleeper sleeper) {
  std::lock_guard<std::mutex> lock(gSleeperMutex);
  return std::exchange(gSleeper, std::move(sleeper));
}

namespace {

void sleepFor(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return;
  // A copy taken under the lock, called outside it: a port sleeping five minutes must not stop a
  // test from swapping the sleeper, nor another port from sleeping.
  Sleeper sleeper;
  {
    std::lock_guard<std::mutex> lock(gSleeperMutex);
    sleeper = gSleeper;
  }
  if (sleeper) {
    sleeper(duration);
  } else {
    realSleep(duration);
  }
}

}  // namespace

// ---- Codes -----------------------------------------------------------------------------------

std::optional<Code> parseCode(std::string_view code) {
  if (code.empty()) return Code{IdentityCode{}};
  auto wrap = [](auto parsed) -> std::optional<Code> {
    if (!parsed) return std::nullopt;
    return Code{*parsed};
  };
  // The family is known from the first one or two letters; each parser checks the rest.
  switch (code[0]) {
    case 'D':
      return wrap(parseDateCode(code));
    case 'M':
      if (code.size() < 2) return std::nullopt;
      switch (code[1]) {
        case 'T':
          return wrap(parseTimeCode(code));
        case 'D':
        case 'R':
        case 'L':
          return wrap(parseMaskCode(code));
        case 'C':
          return wrap(parseCaseCode(code));
        default:
          return std::nullopt;
      }
    case 'L':
      return wrap(parseLengthCode(code));
    case 'G':
      return wrap(parseGroupCode(code));
    case 'U':
      if (code == "U407A") return Code{SleepCode{}};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

namespace {

enum class Direction { kOutput, kInput };

std::optional<std::vector<Code>> parseChain(std::string_view codes) {
  std::vector<Code> chain;
  std::size_t start = 0;
  while (true) {
    // Codes are split on value marks only; a code itself never holds a mark.
    const std::size_t vm = codes.find('\xFD', start);
    const std::string_view one =
        codes.substr(start, vm == std::string_view::npos ? std::string_view::npos : vm - start);
    std::optional<Code> code = parseCode(one);
    if (!code) return std::nullopt;
    chain.push_back(std::move(*code));
    if (vm == std::string_view::npos) return chain;
    start = vm + 1;
  }
}

std::string convertPiece(const Code& code, std::string_view piece, Direction direction,
                         const NumberFormat& format) {
  const bool out = direction == Direction::kOutput;
  struct Visitor {
    std::string_view piece;
    bool out;
    const NumberFormat& format;
    std::string operator()(const IdentityCode&) const { return std::string(piece); }
    std::string operator()(const DateCode& c) const {
      // DI reads external dates on output and prints them on input.
      return (out != c.inputForm) ? dateOutput(c, piece) : dateInput(c, piece);
    }
    std::string operator()(const TimeCode& c) const {
      return out ? timeOutput(c, piece) : timeInput(c, piece);
    }
    std::string operator()(const MaskCode& c) const {
      return out ? maskOutput(c, piece, format) : maskInput(c, piece, format);
    }
    std::string operator()(const CaseCode& c) const { return applyCase(c, piece); }
    std::string operator()(const LengthCode& c) const { return applyLength(c, piece); }
    std::string operator()(const GroupCode& c) const { return applyGroup(c, piece); }
    std::string operator()(const SleepCode&) const { return std::string(); }
  };
  return std::visit(Visitor{piece, out, format}, code);
}

std::string convertValue(const Code& code, std::string_view value, Direction direction,
                         const NumberFormat& format) {
  // The sleep reads the whole value as one number: a multivalued value sleeps not at all.
  if (std::holds_alternative<SleepCode>(code)) {
    sleepFor(sleepDuration(value));
    return std::string();
  }
  std::string result;
  result.reserve(value.size());
  std::size_t start = 0;
  // i == size closes the last piece; every piece is converted, empty ones too, and each mark is
  // copied through in its place.
  for (std::size_t i = 0; i <= value.size(); ++i) {
    if (i == value.size() || isMark(value[i])) {
      result += convertPiece(code, value.substr(start, i - start), direction, format);
      if (i < value.size()) result.push_back(value[i]);
      start = i + 1;
    }
  }
  return result;
}

std::optional<std::string> convert(std::string_view value, std::string_view codes,
                                   Direction direction, const NumberFormat& format) {
  // Every code is checked before any runs, so a bad code never leaves a sleep behind it.
  std::optional<std::vector<Code>> chain = parseChain(codes);
  if (!chain) return std::nullopt;
  std::string current(value);
  for (const Code& code : *chain) current = convertValue(code, current, direction, format);
  return current;
}

struct LocalClock {
  CivilDate date;
  long millisecondsOfDay = 0;
};

LocalClock localClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  // localtime_r keeps only whole seconds; the milliseconds come from the same clock reading, so
  // date, seconds and milliseconds never straddle a second boundary.
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  LocalClock clock;
  clock.date = CivilDate{local.tm_year + 1900L, local.tm_mon + 1, local.tm_mday};
  clock.millisecondsOfDay = (local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec) * 1000L +
                            static_cast<long>(millis);
  return clock;
}

}  // namespace
}  // namespace conv

std::optional<std::string> oconv(std::string_view value, std::string_view code,
                                 const NumberFormat& format) {
  return conv::convert(value, code, conv::Direction::kOutput, format);
}

std::optional<std::string> iconv(std::string_view value, std::string_view code,
                                 const NumberFormat& format) {
  return conv::convert(value, code, conv::Direction::kInput, format);
}

long internalDateToday() {
  return conv::internalFromCivil(conv::localClock().date);
}

long internalTimeNow() {
  return conv::localClock().millisecondsOfDay / 1000;
}

long internalMillisecondsNow() {
  return conv::localClock().millisecondsOfDay;
}

}  // namespace tarn::server
