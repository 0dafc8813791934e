// String results written into a caller's buffer, in the caller's character set and units.
#pragma once

#include <sql.h>

#include "common/windows1252.h"
#include "server/odbc/code_page.h"

#include <cstdint>
#include <string_view>

namespace tarn::server::odbc {

enum class Charset { kAnsi, kWide };

// Where one string result goes. The wide functions disagree on units: some count the buffer in
// bytes (SQLGetInfoW, SQLColAttributeW), others in characters (SQLDescribeColW, SQLGetDiagRecW).
struct TextOut {
  void* buffer = nullptr;
  SQLLEN capacity = 0;
  Charset charset = Charset::kAnsi;
  bool countsBytes = true;

  // Writes text NUL-terminated, cut to fit; sets truncated when it did not fit. Returns the full
  // length in the caller's units (bytes or characters).
  SQLLEN write(std::string_view text, bool& truncated) const noexcept;
};

inline SQLLEN TextOut::write(std::string_view text, bool& truncated) const noexcept {
  const SQLLEN n = static_cast<SQLLEN>(text.size());
  if (charset == Charset::kAnsi) {
    truncated = buffer != nullptr && n >= capacity;
    if (buffer != nullptr && capacity > 0) {
      SQLLEN k = truncated ? capacity - 1 : n;
      auto* out = static_cast<char*>(buffer);
      text.copy(out, static_cast<std::size_t>(k));
      out[k] = '\0';
    }
    return n;
  }
  const SQLLEN roomUnits = countsBytes ? capacity / 2 : capacity;
  truncated = buffer != nullptr && n >= roomUnits;
  if (buffer != nullptr && roomUnits > 0) {
    SQLLEN k = truncated ? roomUnits - 1 : n;
    auto* out = static_cast<std::uint16_t*>(buffer);
    for (SQLLEN i = 0; i < k; ++i) {
      unsigned char b = static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
      out[i] = cp1252::toChar(b);
    }
    out[k] = 0;
  }
  return countsBytes ? n * 2 : n;
}

}  // namespace tarn::server::odbc
