// The Corvex lexer: source text into tokens, each with its line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarn::server::corvex {

// kInclude: a $INCLUDE or $INSERT line, its text the reference that follows.
enum class Tok { kEnd, kNewline, kSemi, kIdent, kNumber, kString, kOp, kBad, kInclude };

struct Token {
  Tok kind = Tok::kEnd;
  std::string text;  // identifiers upper-cased; operators as spelt
  int line = 0;
};

[[nodiscard]] bool identStart(char c);
[[nodiscard]] bool identChar(char c);

// Lines end at a newline or an attribute mark; comments are dropped; the last token is kEnd.
// Never throws for any text except std::bad_alloc: what cannot be read becomes a kBad token.
[[nodiscard]] std::vector<Token> lex(std::string_view src);

}  // namespace tarn::server::corvex
