// The conversion families behind oconv/iconv: each parses its own codes and converts one piece
// of a value (the text between two marks). Not part of the engine's public surface.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "server/engine/conv/conversion.h"
#include "server/engine/vocabulary.h"

namespace tarn::server::conv {

// ---- Shared text helpers ---------------------------------------------------------------------

// The mark bytes separate the pieces a conversion works on.
using ::tarn::server::isMark;

// A character a code may use as a separator: printable, not a letter or digit, not a mark.
[[nodiscard]] bool isSeparatorChar(char c) noexcept;

// A decimal number held exactly as digits: value = digits * 10^-scale, with the sign apart.
// Always holds at least one integer digit (digits.size() > scale).
struct Decimal {
  bool negative = false;
  std::string digits = "0";
  int scale = 0;

  // Parses [+|-]digits[.digits] (or .digits); nothing for anything else, blanks included.
  [[nodiscard]] static std::optional<Decimal> parse(std::string_view text);
  // Moves the decimal point: positive places divide by 10^places, negative multiply.
  void shift(int places);
  // Rounds to `places` decimals, halves away from zero; pads with zeros when it has fewer.
  void roundTo(int places);
  [[nodiscard]] bool isZero() const noexcept;
  // The integer part without leading zeros ("0" at least), and the `scale` fraction digits.
  [[nodiscard]] std::string integerDigits() const;
  [[nodiscard]] std::string fractionDigits() const;
  // The integer part (toward zero) as a number; nothing when it does not fit in a long.
  [[nodiscard]] std::optional<long> truncated() const;
  // The integer part (toward zero) modulo `modulus`, with the sign applied; never overflows.
  [[nodiscard]] long truncatedModulo(long modulus) const;
};

// ---- Dates (D) -------------------------------------------------------------------------------

struct CivilDate {
  long year = 1967;
  int month = 12;
  int day = 31;
};

// Internal dates count days from 31 Dec 1967 (day 0); the proleptic Gregorian calendar throughout.
[[nodiscard]] long internalFromCivil(const CivilDate& date) noexcept;
[[nodiscard]] CivilDate civilFromInternal(long internal) noexcept;
[[nodiscard]] int daysInMonth(long year, int month) noexcept;

struct DateCode {
  enum class Element {
    kWhole,
    kYear,
    kMonth,
    kMonthName,
    kDay,
    kWeekday,
    kWeekdayName,
    kQuarter,
    kJulian
  };
  int yearDigits = 4;
  char separator = ' ';  // blank: "05 DEC 2026"; anything else: numeric fields joined by it
  bool dayFirst = false;
  bool inputForm = false;  // DI: the directions are swapped
  // Element kWhole prints the whole date; any other prints only that part (DY, DMA, DW, ...).
  Element element = Element::kWhole;
};

// Each family's parse takes the whole code (its letters included) and gives nothing when it is
// malformed. The converters take one piece (no marks); output gives a piece that is not a
// number back unchanged, input gives "" for what it cannot read.
[[nodiscard]] std::optional<DateCode> parseDateCode(std::string_view code);
[[nodiscard]] std::string dateOutput(const DateCode& code, std::string_view piece);
[[nodiscard]] std::string dateInput(const DateCode& code, std::string_view piece);

// ---- Times (MT) ------------------------------------------------------------------------------

struct TimeCode {
  bool twelveHour = false;
  bool seconds = false;
  char separator = ':';
};

[[nodiscard]] std::optional<TimeCode> parseTimeCode(std::string_view code);
[[nodiscard]] std::string timeOutput(const TimeCode& code, std::string_view piece);
[[nodiscard]] std::string timeInput(const TimeCode& code, std::string_view piece);

// ---- Masked decimals (MD, MR, ML) ------------------------------------------------------------

struct MaskCode {
  enum class Sign { kLeading, kTrailing, kCredit, kDebit, kAngle, kSuppressed };
  enum class Justify { kRight, kLeft };
  // decimals shown, and the power of ten the stored integer is divided by (scaling).
  int decimals = 0;
  int scaling = 0;
  bool grouping = false;
  bool currency = false;
  bool suppressZero = false;
  Sign sign = Sign::kLeading;
  Justify justify = Justify::kRight;
  char fill = '\0';  // '#' blanks, '*' asterisks, '%' zeros; '\0' no field width
  std::size_t width = 0;
};

[[nodiscard]] std::optional<MaskCode> parseMaskCode(std::string_view code);
[[nodiscard]] std::string maskOutput(const MaskCode& code, std::string_view piece,
                                     const NumberFormat& format);
[[nodiscard]] std::string maskInput(const MaskCode& code, std::string_view piece,
                                    const NumberFormat& format);

// ---- Text: case and class (MC), length (L), groups (G) ---------------------------------------

struct CaseCode {
  enum class Kind {
    kUpper,
    kLower,
    kTitle,
    kLetters,
    kDigits,
    kAlphanumerics,
    kNotLetters,
    kNotDigits,
    kNotAlphanumerics
  };
  Kind kind = Kind::kUpper;
};

struct LengthCode {
  bool reportLength = false;  // L0: the length itself
  std::size_t minimum = 0;
  std::size_t maximum = 0;
};

struct GroupCode {
  std::size_t skip = 0;
  std::string separator = " ";  // one character, which may take several bytes
  std::size_t count = 1;
};

[[nodiscard]] std::optional<CaseCode> parseCaseCode(std::string_view code);
[[nodiscard]] std::optional<LengthCode> parseLengthCode(std::string_view code);
[[nodiscard]] std::optional<GroupCode> parseGroupCode(std::string_view code);
[[nodiscard]] std::string applyCase(const CaseCode& code, std::string_view piece);
[[nodiscard]] std::string applyLength(const LengthCode& code, std::string_view piece);
[[nodiscard]] std::string applyGroup(const GroupCode& code, std::string_view piece);

// Letter test and case mapping of one character (Unicode's); the mapping never produces one of
// the characters U+00FB..U+00FF, which every client takes for marks.
[[nodiscard]] bool isLetter(char32_t c) noexcept;
[[nodiscard]] char32_t toUpper(char32_t c) noexcept;
[[nodiscard]] char32_t toLower(char32_t c) noexcept;

// ---- Sleep (U407A) ---------------------------------------------------------------------------

// The longest sleep one request may ask for; longer requests sleep this long.
inline constexpr long kMaxSleepSeconds = 300;

// How long U407A sleeps for `value`: its seconds (fractions to the millisecond), capped at
// kMaxSleepSeconds; zero when it is negative or not a number.
[[nodiscard]] std::chrono::milliseconds sleepDuration(std::string_view value);

using Sleeper = std::function<void(std::chrono::milliseconds)>;
// Replaces the function that does the waiting (tests record instead of waiting) and returns the
// previous one. An empty function restores the real sleep.
Sleeper exchangeSleeper(Sleeper sleeper);

// ---- Codes -----------------------------------------------------------------------------------

// Codes with nothing to parse: the sleep, and the empty code that leaves a value alone.
struct SleepCode {};
struct IdentityCode {};

using Code = std::variant<IdentityCode, DateCode, TimeCode, MaskCode, CaseCode, LengthCode,
                          GroupCode, SleepCode>;

// One code (no value marks inside); nothing when it is malformed or of no known family.
[[nodiscard]] std::optional<Code> parseCode(std::string_view code);

}  // namespace tarn::server::conv
