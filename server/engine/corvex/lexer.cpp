#include "server/engine/corvex/lexer.h"

#include <cstring>

#include "server/engine/corvex/value.h"

namespace tarn::server::corvex {

bool identStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool identChar(char c) {
  // '.', '$', '_' and '%' are part of names (CUST.REC, TOTAL$); a name never starts with one.
  return identStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '$' || c == '_' || c == '%';
}

std::vector<Token> lex(std::string_view src) {
  std::vector<Token> out;
  int line = 1;
  bool statementStart = true;
  std::size_t i = 0;
  auto push = [&](Tok k, std::string t) {
    out.push_back({k, std::move(t), line});
    statementStart = k == Tok::kNewline || k == Tok::kSemi;
  };
  while (i < src.size()) {
    char c = src[i];
    if (c == '\n' || c == kAm) {
      // Blank lines make no tokens: one newline token however many lines end in a row.
      if (out.empty() || out.back().kind != Tok::kNewline) push(Tok::kNewline, "");
      statementStart = true;
      ++line;
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    // Comments and $INCLUDE are recognised only where a statement starts, so "X = 2 * 3" is not
    // cut at the '*'.
    if (statementStart) {
      bool rem = (c == 'R' || c == 'r') && src.size() - i >= 3 &&
                 // REM must stand alone: REMAINDER = 1 is an assignment.
                 (src.substr(i, 3) == "REM" || src.substr(i, 3) == "rem") &&
                 (src.size() - i == 3 || !identChar(src[i + 3]));
      if (c == '*' || c == '!' || rem) {
        while (i < src.size() && src[i] != '\n' && src[i] != kAm) ++i;
        continue;
      }
      if (c == '$') {
        std::size_t j = i + 1;
        while (j < src.size() && identChar(src[j])) ++j;
        std::string word(src.substr(i + 1, j - i - 1));
        for (char& ch : word)
          if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
        if (word == "INCLUDE" || word == "INSERT") {
          std::size_t end = j;
          while (end < src.size() && src[end] != '\n' && src[end] != kAm) ++end;
          std::string_view rest = src.substr(j, end - j);
          while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
          while (!rest.empty() &&
                 (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r'))
            rest.remove_suffix(1);
          push(Tok::kInclude, std::string(rest));
          i = end;
          continue;
        }
      }
    }
    if (c == ';') {
      push(Tok::kSemi, ";");
      ++i;
      continue;
    }
    if (c == '"' || c == '\'') {
      std::size_t close = i + 1;
      while (close < src.size() && src[close] != c && src[close] != '\n' && src[close] != kAm)
        ++close;
      if (close >= src.size() || src[close] != c) {
        // A string ends on its line: a missing quote cannot swallow the rest of the program.
        push(Tok::kBad, "an unterminated string");
        i = close;
        continue;
      }
      push(Tok::kString, std::string(src.substr(i + 1, close - i - 1)));
      i = close + 1;
      continue;
    }
    if ((c >= '0' && c <= '9') ||
        (c == '.' && i + 1 < src.size() && src[i + 1] >= '0' && src[i + 1] <= '9')) {
      std::size_t j = i;
      while (j < src.size() && src[j] >= '0' && src[j] <= '9') ++j;
      // At most one point: "1.2.3" lexes as the number 1.2 followed by .3.
      if (j < src.size() && src[j] == '.') {
        ++j;
        while (j < src.size() && src[j] >= '0' && src[j] <= '9') ++j;
      }
      push(Tok::kNumber, std::string(src.substr(i, j - i)));
      i = j;
      continue;
    }
    if (identStart(c) || (c == '@' && i + 1 < src.size() && identStart(src[i + 1]))) {
      std::size_t j = i + 1;
      while (j < src.size() && identChar(src[j])) ++j;
      std::string word(src.substr(i, j - i));
      for (char& ch : word)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
      push(Tok::kIdent, std::move(word));
      i = j;
      continue;
    }
    // Two-character operators first, so "<=" is never '<' then '='.
    static const char* const kTwo[] = {"<=", ">=", "<>", "+=", "-=", ":=", "*=", "/="};
    bool two = false;
    for (const char* t : kTwo) {
      if (src.size() - i >= 2 && src[i] == t[0] && src[i + 1] == t[1]) {
        push(Tok::kOp, std::string(t, 2));
        i += 2;
        two = true;
        break;
      }
    }
    if (two) continue;
    // strchr would also match the string's terminating NUL: a NUL byte in the source is refused.
    if (std::strchr("=#<>+-*/^:()[],", c) != nullptr && c != '\0') {
      push(Tok::kOp, std::string(1, c));
      ++i;
      continue;
    }
    push(Tok::kBad, std::string("the character '") + c + "'");
    ++i;
  }
  out.push_back({Tok::kEnd, "", line});
  return out;
}

}  // namespace tarn::server::corvex
