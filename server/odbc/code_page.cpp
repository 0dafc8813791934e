#include "server/odbc/code_page.h"

#include "common/windows1252.h"
#include "server/engine/text/utf8.h"

namespace tarn::server::odbc {
namespace {

bool sameWord(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string_view encodingName(Encoding e) noexcept {
  return e == Encoding::kUtf8 ? "UTF-8" : "Windows-1252";
}

bool parseEncoding(std::string_view text, Encoding& out) noexcept {
  std::string bare;
  for (const char c : text) {
    if (c != '-' && c != '_' && c != ' ') bare.push_back(c);
  }
  for (std::string_view name : {"UTF8"}) {
    if (sameWord(bare, name)) {
      out = Encoding::kUtf8;
      return true;
    }
  }
  for (std::string_view name : {"WINDOWS1252", "CP1252", "1252"}) {
    if (sameWord(bare, name)) {
      out = Encoding::kWindows1252;
      return true;
    }
  }
  return false;
}

std::string wideToBytes(const std::uint16_t* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
      }
      out.push_back('?');
      continue;
    }
    out.push_back(static_cast<char>(cp1252::toByte(unit)));
  }
  return out;
}

void bytesToWide(std::string_view bytes, std::uint16_t* out) noexcept {
  for (char c : bytes) *out++ = cp1252::toChar(static_cast<unsigned char>(c));
}

bool wideToEngine(const std::uint16_t* in, std::size_t length, std::string& out,
                  std::size_t& badAt) {
  out.clear();
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const char32_t u = in[i];
    if (u >= 0xFB && u <= 0xFF) {
      out.push_back(static_cast<char>(u));
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && in[i + 1] >= 0xDC00 &&
               in[i + 1] <= 0xDFFF) {
      text::appendChar(out, 0x10000 + ((u - 0xD800) << 10) + (in[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      badAt = i;
      return false;
    } else {
      text::appendChar(out, u);
    }
  }
  return true;
}

std::u16string engineToWide(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  std::size_t at = 0;
  bool mark = false;
  while (at < in.size()) {
    const char32_t c = text::nextChar(in, at, mark);
    if (c == text::kInvalid) {
      out.push_back(0xFFFD);
    } else if (c > 0xFFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

}  // namespace tarn::server::odbc
