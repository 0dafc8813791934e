// Output and input conversions of the stand-in server ("1" and "2" requests, and TCL listings).
//
// Values are bytes in the wire code page. The text between marks (0xFB..0xFF) is converted piece
// by piece and the marks are kept. Codes are upper case; an empty code leaves the value alone.
//   D      dates, days since 31 Dec 1967. D[y][sep][E][element], y = year digits 0..4 (default
//          4). Blank or no separator: "05 DEC 2026"; any other: month first, "12/05/2026" (E:
//          day first). Elements: Y, M, MA, D, W (Monday 1..Sunday 7), WA, Q, J (day of year).
//          Input reads m/d/y, y-m-d and "5 DEC 2026"-style forms; two-digit years 00..29 are
//          20xx, 30..99 are 19xx; a missing year is this year. DI swaps the two directions.
//   MT     times, seconds since midnight: MT "14:17", MTS "14:17:04", MTH "02:17PM", MTHS; an
//          optional last separator character replaces ':'.
//   MD/MR/ML n[m] masked decimals: divide by 10^m (m defaults to n), round half away from zero
//          to n decimals; options ',' grouping, '$' currency, sign forms '-'/'M' trailing, 'C'
//          "CR", 'D' "DB" on positives, '<'/'E' angle brackets, 'N' none; 'Z' zero gives "";
//          a final #w or *w pads to width w (ML on the right).
//   MCU MCL MCT MCA MCN MCB MC/A MC/N MC/B   case and character class.
//   Ln, Ln,m, L0   length check (L0 gives the length).   G[skip]<sep><count>   groups.
//   U407A  sleeps the value's seconds (at most 300) and gives "".
// Unparseable input gives ""; output leaves a value that is not a number unchanged. Only a
// malformed code is refused. See README.md beside this header for the details.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarn::server {

// The port's number format, set by SET-NUM-FORMAT currency/grouping/decimal.
struct NumberFormat {
  std::string currency = "$";
  std::string grouping = ",";
  std::string decimal = ".";
};

// Converts value by code for output (oconv) or from external form (iconv). Codes may be joined
// by value marks (0xFD) and apply in order. Nothing when the code is not valid (status 10).
[[nodiscard]] std::optional<std::string> oconv(std::string_view value, std::string_view code,
                                               const NumberFormat& format);
[[nodiscard]] std::optional<std::string> iconv(std::string_view value, std::string_view code,
                                               const NumberFormat& format);

// The internal date of today (days since 31 Dec 1967) and the time (seconds since midnight),
// local time of the server process.
[[nodiscard]] long internalDateToday();
[[nodiscard]] long internalTimeNow();
// Milliseconds since local midnight, for the system value that reports the clock finely.
[[nodiscard]] long internalMillisecondsNow();

}  // namespace tarn::server
