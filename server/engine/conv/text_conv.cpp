// MC, L and G codes, which work on text the same way in both directions.
#include "server/engine/conv/conv_internal.h"

#include <unicode/uchar.h>

#include "server/engine/text/utf8.h"

namespace tarn::server::conv {
namespace {

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Reads 1..9 digits at `at`; nothing when there are none or too many.
std::optional<std::size_t> readNumber(std::string_view code, std::size_t& at) {
  std::size_t value = 0;
  std::size_t digits = 0;
  while (at < code.size() && isDigit(code[at])) {
    value = value * 10 + static_cast<std::size_t>(code[at++] - '0');
    // Nine digits cannot overflow size_t, and no sensible length or group count needs more.
    if (++digits > 9) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

// ASCII digits only: to the class codes, digits of other scripts are neither letters nor digits.
bool isDigitChar(char32_t c) noexcept {
  return c >= '0' && c <= '9';
}

bool keeps(CaseCode::Kind kind, char32_t c) {
  using K = CaseCode::Kind;
  switch (kind) {
    case K::kLetters:
      return isLetter(c);
    case K::kDigits:
      return isDigitChar(c);
    case K::kAlphanumerics:
      return isLetter(c) || isDigitChar(c);
    case K::kNotLetters:
      return !isLetter(c);
    case K::kNotDigits:
      return !isDigitChar(c);
    case K::kNotAlphanumerics:
      return !isLetter(c) && !isDigitChar(c);
    default:
      return true;
  }
}

// U+00FB..U+00FF are the marks on every client's side: no case mapping may produce them.
char32_t keepOffMarks(char32_t mapped, char32_t original) noexcept {
  return mapped >= 0xFB && mapped <= 0xFF ? original : mapped;
}

}  // namespace

bool isLetter(char32_t c) noexcept {
  // ICU's letter test, so accented and non-Latin letters count as letters for MCA and MCT.
  return u_isalpha(static_cast<UChar32>(c)) != 0;
}

char32_t toUpper(char32_t c) noexcept {
  return keepOffMarks(static_cast<char32_t>(u_toupper(static_cast<UChar32>(c))), c);
}

char32_t toLower(char32_t c) noexcept {
  return keepOffMarks(static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))), c);
}

std::optional<CaseCode> parseCaseCode(std::string_view code) {
  using K = CaseCode::Kind;
  struct Entry {
    std::string_view text;
    K kind;
  };
  static constexpr Entry kCodes[] = {
      {"MCU", K::kUpper},       {"MCL", K::kLower},      {"MCT", K::kTitle},
      {"MCA", K::kLetters},     {"MCN", K::kDigits},     {"MCB", K::kAlphanumerics},
      {"MC/A", K::kNotLetters}, {"MC/N", K::kNotDigits}, {"MC/B", K::kNotAlphanumerics}};
  for (const Entry& entry : kCodes) {
    if (code == entry.text) return CaseCode{entry.kind};
  }
  return std::nullopt;
}

std::optional<LengthCode> parseLengthCode(std::string_view code) {
  if (code.empty() || code[0] != 'L') return std::nullopt;
  std::size_t at = 1;
  const std::optional<std::size_t> first = readNumber(code, at);
  if (!first) return std::nullopt;
  LengthCode parsed;
  if (at == code.size()) {
    // Ln alone is "at most n characters"; L0 alone asks for the length instead.
    parsed.reportLength = *first == 0;
    parsed.maximum = *first;
    return parsed;
  }
  if (code[at] != ',') return std::nullopt;
  ++at;
  const std::optional<std::size_t> second = readNumber(code, at);
  if (!second || at != code.size() || *first > *second) return std::nullopt;
  parsed.minimum = *first;
  parsed.maximum = *second;
  return parsed;
}

std::optional<GroupCode> parseGroupCode(std::string_view code) {
  if (code.empty() || code[0] != 'G') return std::nullopt;
  std::size_t at = 1;
  GroupCode parsed;
  if (at < code.size() && isDigit(code[at])) {
    const std::optional<std::size_t> skip = readNumber(code, at);
    if (!skip) return std::nullopt;
    parsed.skip = *skip;
  }
  if (at >= code.size()) return std::nullopt;
  const std::size_t from = at;
  bool mark = false;
  // The separator is one whole character, which may take several bytes; a digit cannot be one,
  // since it would run into the skip or the count.
  const char32_t separator = text::nextChar(code, at, mark);
  if (mark || separator == text::kInvalid || separator < 0x20 || isDigitChar(separator)) {
    return std::nullopt;
  }
  parsed.separator = std::string(code.substr(from, at - from));
  const std::optional<std::size_t> count = readNumber(code, at);
  if (!count || *count == 0 || at != code.size()) return std::nullopt;
  parsed.count = *count;
  return parsed;
}

std::string applyCase(const CaseCode& code, std::string_view piece) {
  using K = CaseCode::Kind;
  std::string out;
  out.reserve(piece.size());
  bool wordStart = true;
  std::size_t at = 0;
  while (at < piece.size()) {
    const std::size_t from = at;
    bool mark = false;
    const char32_t c = text::nextChar(piece, at, mark);
    if (mark || c == text::kInvalid) {  // kept as they are, and never part of a word
      out.append(piece.substr(from, at - from));
      wordStart = true;
      continue;
    }
    switch (code.kind) {
      case K::kUpper:
        text::appendChar(out, toUpper(c));
        break;
      case K::kLower:
        text::appendChar(out, toLower(c));
        break;
      case K::kTitle:
        text::appendChar(out, wordStart ? toUpper(c) : toLower(c));
        // An apostrophe keeps the word going, so "it's" does not become "It'S".
        wordStart = !isLetter(c) && !isDigitChar(c) && c != '\'';
        break;
      default:
        if (keeps(code.kind, c)) out.append(piece.substr(from, at - from));
        break;
    }
  }
  return out;
}

std::string applyLength(const LengthCode& code, std::string_view piece) {
  // Lengths count characters, not bytes.
  const std::size_t length = text::charCount(piece);
  if (code.reportLength) return std::to_string(length);
  const bool fits = length >= code.minimum && length <= code.maximum;
  return fits ? std::string(piece) : std::string();
}

std::string applyGroup(const GroupCode& code, std::string_view piece) {
  // Skip `skip` separators, then take `count` fields; fewer fields than asked gives the rest of the
  // piece, fewer than skipped gives "".
  std::size_t start = 0;
  for (std::size_t skipped = 0; skipped < code.skip; ++skipped) {
    const std::size_t at = piece.find(code.separator, start);
    if (at == std::string_view::npos) return std::string();
    start = at + code.separator.size();
  }
  std::size_t end = start;
  for (std::size_t taken = 0; taken < code.count; ++taken) {
    const std::size_t at = piece.find(code.separator, end);
    if (at == std::string_view::npos) return std::string(piece.substr(start));
    // Separators between the taken fields stay in the result; the one after the last does not.
    end = at + (taken + 1 < code.count ? code.separator.size() : 0);
  }
  return std::string(piece.substr(start, end - start));
}

}  // namespace tarn::server::conv
