// MD, MR and ML codes: scaled integers shown as decimals in the port's number format.
#include "server/engine/conv/conv_internal.h"
#include "server/engine/text/utf8.h"

namespace tarn::server::conv {
namespace {

// A code may name its sign form more than once (M and - are one form) but never two different
// ones: "MD2CD" is refused rather than letting the last letter win.
bool setSign(MaskCode& code, MaskCode::Sign sign, bool& signSeen) {
  if (signSeen && code.sign != sign) return false;
  signSeen = true;
  code.sign = sign;
  return true;
}

std::string grouped(const std::string& digits, const std::string& separator) {
  if (separator.empty() || digits.size() <= 3) return digits;
  std::string out;
  // The first group takes the remainder, so every later group has exactly three digits.
  const std::size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
  out.append(digits, 0, lead);
  for (std::size_t i = lead; i < digits.size(); i += 3) {
    out += separator;
    out.append(digits, i, 3);
  }
  return out;
}

void eraseAll(std::string& text, const std::string& what) {
  if (what.empty()) return;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
}

bool endsWithNoCase(const std::string& text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    // Clearing bit 5 folds ASCII lower case onto upper; suffix is upper case.
    if ((text[text.size() - suffix.size() + i] & ~0x20) != suffix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<MaskCode> parseMaskCode(std::string_view code) {
  if (code.size() < 2 || code[0] != 'M') return std::nullopt;
  MaskCode parsed;
  switch (code[1]) {
    case 'D':
    case 'R':
      parsed.justify = MaskCode::Justify::kRight;
      break;
    case 'L':
      parsed.justify = MaskCode::Justify::kLeft;
      break;
    default:
      return std::nullopt;
  }
  std::size_t i = 2;
  auto digitAt = [&](std::size_t at) {
    return at < code.size() && code[at] >= '0' && code[at] <= '9';
  };
  if (digitAt(i)) {
    parsed.decimals = code[i++] - '0';
    // A single digit sets both; a second digit scales by a different power than it shows.
    parsed.scaling = parsed.decimals;
    if (digitAt(i)) parsed.scaling = code[i++] - '0';
  }
  bool signSeen = false;
  using S = MaskCode::Sign;
  for (; i < code.size(); ++i) {
    bool ok = true;
    switch (code[i]) {
      case ',':
        parsed.grouping = true;
        break;
      case '$':
        parsed.currency = true;
        break;
      case 'Z':
        parsed.suppressZero = true;
        break;
      case '-':
      case 'M':
        ok = setSign(parsed, S::kTrailing, signSeen);
        break;
      case 'C':
        ok = setSign(parsed, S::kCredit, signSeen);
        break;
      case 'D':
        ok = setSign(parsed, S::kDebit, signSeen);
        break;
      case '<':
      case 'E':
        ok = setSign(parsed, S::kAngle, signSeen);
        break;
      case 'N':
        ok = setSign(parsed, S::kSuppressed, signSeen);
        break;
      case '#':
      case '*': {
        parsed.fill = code[i];
        std::size_t width = 0;
        std::size_t digits = 0;
        while (digitAt(i + 1)) {
          width = width * 10 + static_cast<std::size_t>(code[++i] - '0');
          ++digits;
        }
        // The field width ends the code.
        if (digits == 0 || digits > 3 || width == 0 || i + 1 != code.size()) return std::nullopt;
        parsed.width = width;
        break;
      }
      default:
        return std::nullopt;
    }
    if (!ok) return std::nullopt;
  }
  return parsed;
}

std::string maskOutput(const MaskCode& code, std::string_view piece, const NumberFormat& format) {
  if (piece.empty()) return std::string();
  std::optional<Decimal> number = Decimal::parse(piece);
  if (!number) return std::string(piece);
  number->shift(code.scaling);
  number->roundTo(code.decimals);
  const bool zero = number->isZero();
  if (zero && code.suppressZero) return std::string();
  // A value that rounds to zero loses its sign: no "-0.00".
  const bool negative = number->negative && !zero;

  std::string text = grouped(number->integerDigits(), code.grouping ? format.grouping : "");
  if (code.decimals > 0) text += format.decimal + number->fractionDigits();
  // The currency sign sits inside the sign forms, so they read "-$1.00" and "<$1.00>".
  if (code.currency) text.insert(0, format.currency);
  using S = MaskCode::Sign;
  switch (code.sign) {
    case S::kLeading:
      if (negative) text.insert(0, "-");
      break;
    case S::kTrailing:
      if (negative) text += "-";
      break;
    case S::kCredit:
      if (negative) text += "CR";
      break;
    case S::kDebit:
      // Debits are the positive amounts; a negative one keeps its minus so nothing is lost.
      if (negative) {
        text.insert(0, "-");
      } else if (!zero) {
        text += "DB";
      }
      break;
    case S::kAngle:
      if (negative) text = "<" + text + ">";
      break;
    case S::kSuppressed:
      break;
  }
  // The width counts characters: a currency sign such as the euro takes several bytes.
  const std::size_t length = text::charCount(text);
  if (code.fill != '\0' && length < code.width) {
    // Fill never truncates: a text longer than the width is returned whole.
    const char pad = code.fill == '#' ? ' ' : code.fill;
    const std::string padding(code.width - length, pad);
    text = code.justify == MaskCode::Justify::kLeft ? text + padding : padding + text;
  }
  return text;
}

std::string maskInput(const MaskCode& code, std::string_view piece, const NumberFormat& format) {
  std::string text;
  // Input accepts what output produces: blanks and '*' fill, currency, grouping and every sign
  // form are stripped before the number is read.
  for (const char c : piece) {
    if (c != ' ' && !(c == '*' && code.fill == '*')) text.push_back(c);
  }
  if (text.empty()) return std::string();
  eraseAll(text, format.currency);
  // When grouping and decimal are the same text, the mark cannot be told apart; it is kept and
  // read as the decimal point.
  if (format.grouping != format.decimal) eraseAll(text, format.grouping);

  bool negative = false;
  if (text.size() >= 2 && ((text.front() == '<' && text.back() == '>') ||
                           (text.front() == '(' && text.back() == ')'))) {
    negative = true;
    text = text.substr(1, text.size() - 2);
  } else if (endsWithNoCase(text, "CR")) {
    negative = true;
    text.resize(text.size() - 2);
  } else if (endsWithNoCase(text, "DB")) {
    text.resize(text.size() - 2);
  } else if (!text.empty() && text.back() == '-') {
    negative = true;
    text.pop_back();
  }
  if (!format.decimal.empty() && format.decimal != ".") {
    // With a decimal other than '.', a '.' is foreign to the format, not a second point.
    if (text.find('.') != std::string::npos) return std::string();
    const std::size_t at = text.find(format.decimal);
    if (at != std::string::npos) text.replace(at, format.decimal.size(), ".");
  }
  std::optional<Decimal> number = Decimal::parse(text);
  // Two signs ("-5CR") are refused, not cancelled.
  if (!number || (negative && number->negative)) return std::string();
  number->negative = number->negative || negative;
  // Back to the scaled integer: multiply by 10^scaling, rounding away any extra fraction digits.
  number->shift(-code.scaling);
  number->roundTo(0);
  // Zero is written without a sign, whatever the input said.
  if (number->isZero()) return "0";
  return (number->negative ? "-" : "") + number->integerDigits();
}

}  // namespace tarn::server::conv
