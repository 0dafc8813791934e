// MC, L and G codes, which work on text the same way in both directions.
#include "server/engine/conv/conv_internal.h"

namespace tarn::server::conv {
namespace {

unsigned char byte(char c) noexcept {
  return static_cast<unsigned char>(c);
}

bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Reads 1..9 digits at `at`; nothing when there are none or too many.
std::optional<std::size_t> readNumber(std::string_view code, std::size_t& at) {
  std::size_t value = 0;
  std::size_t digits = 0;
  while (at < code.size() && isDigit(code[at])) {
    value = value * 10 + static_cast<std::size_t>(code[at++] - '0');
    if (++digits > 9) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

bool keeps(CaseCode::Kind kind, char c) {
  using K = CaseCode::Kind;
  switch (kind) {
    case K::kLetters:
      return isLetter(c);
    case K::kDigits:
      return isDigit(c);
    case K::kAlphanumerics:
      return isLetter(c) || isDigit(c);
    case K::kNotLetters:
      return !isLetter(c);
    case K::kNotDigits:
      return !isDigit(c);
    case K::kNotAlphanumerics:
      return !isLetter(c) && !isDigit(c);
    default:
      return true;
  }
}

}  // namespace

bool isLetter(char c) noexcept {
  const unsigned char u = byte(c);
  if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z')) return true;
  switch (u) {
    case 0x83:
    case 0x8A:
    case 0x8C:
    case 0x8E:
    case 0x9A:
    case 0x9C:
    case 0x9E:
    case 0x9F:
    case 0xAA:
    case 0xB5:
    case 0xBA:
      return true;
    default:
      break;
  }
  return u >= 0xC0 && u <= 0xFA && u != 0xD7 && u != 0xF7;
}

char toUpper(char c) noexcept {
  const unsigned char u = byte(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 0x20);
  if (u == 0x9A || u == 0x9C || u == 0x9E) return static_cast<char>(u - 0x10);
  // 0xFB..0xFE are marks, never letters, so the range stops below them.
  if (u >= 0xE0 && u <= 0xFA && u != 0xF7) return static_cast<char>(u - 0x20);
  return c;
}

char toLower(char c) noexcept {
  const unsigned char u = byte(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 0x20);
  if (u == 0x8A || u == 0x8C || u == 0x8E) return static_cast<char>(u + 0x10);
  // The lower forms of 0xDB..0xDE and of 0x9F would be mark bytes: those letters stay as they are.
  if (u >= 0xC0 && u <= 0xDA && u != 0xD7) return static_cast<char>(u + 0x20);
  return c;
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
  if (at >= code.size() || isMark(code[at]) || byte(code[at]) < 0x20) return std::nullopt;
  parsed.separator = code[at++];
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
  for (const char c : piece) {
    switch (code.kind) {
      case K::kUpper:
        out.push_back(toUpper(c));
        break;
      case K::kLower:
        out.push_back(toLower(c));
        break;
      case K::kTitle:
        out.push_back(wordStart ? toUpper(c) : toLower(c));
        // An apostrophe keeps the word going, so "it's" does not become "It'S".
        wordStart = !isLetter(c) && !isDigit(c) && c != '\'';
        break;
      default:
        if (keeps(code.kind, c)) out.push_back(c);
        break;
    }
  }
  return out;
}

std::string applyLength(const LengthCode& code, std::string_view piece) {
  if (code.reportLength) return std::to_string(piece.size());
  const bool fits = piece.size() >= code.minimum && piece.size() <= code.maximum;
  return fits ? std::string(piece) : std::string();
}

std::string applyGroup(const GroupCode& code, std::string_view piece) {
  std::size_t start = 0;
  for (std::size_t skipped = 0; skipped < code.skip; ++skipped) {
    const std::size_t at = piece.find(code.separator, start);
    if (at == std::string_view::npos) return std::string();
    start = at + 1;
  }
  std::size_t end = start;
  for (std::size_t taken = 0; taken < code.count; ++taken) {
    const std::size_t at = piece.find(code.separator, end);
    if (at == std::string_view::npos) return std::string(piece.substr(start));
    end = at + (taken + 1 < code.count ? 1 : 0);
  }
  return std::string(piece.substr(start, end - start));
}

}  // namespace tarn::server::conv
