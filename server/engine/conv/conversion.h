// Output and input conversions of the stand-in server ("1" and "2" requests, and TCL listings).
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

}  // namespace tarn::server
