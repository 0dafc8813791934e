// Passwords never leave in a text this system writes. A connection string, a data source's
// System= value or a PostgreSQL URI is shown with every password replaced by ***: the value of
// PWD=, of password= (libpq keywords and URI parameters) and the part after the colon in a URI's
// user:password@. Header-only, so that the library, the driver and the tools share it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarn::secrets {

namespace detail {

template <class CharT>
constexpr CharT lowerAscii(CharT c) noexcept {
  return (c >= CharT('A') && c <= CharT('Z')) ? CharT(c + ('a' - 'A')) : c;
}

template <class CharT>
constexpr bool wordChar(CharT c) noexcept {
  return (c >= CharT('a') && c <= CharT('z')) || (c >= CharT('A') && c <= CharT('Z')) ||
         (c >= CharT('0') && c <= CharT('9')) || c == CharT('_');
}

template <class CharT>
constexpr bool blank(CharT c) noexcept {
  return c == CharT(' ') || c == CharT('\t') || c == CharT('\n') || c == CharT('\r');
}

// Whether key (lower-case ASCII) starts at i as a word of its own followed by '='; sets value to
// where the value begins.
template <class CharT>
bool keyAt(std::basic_string_view<CharT> text, std::size_t i, std::string_view key,
           std::size_t& value) {
  if (i > 0 && wordChar(text[i - 1])) return false;
  if (text.size() - i < key.size()) return false;
  for (std::size_t k = 0; k < key.size(); ++k)
    if (lowerAscii(text[i + k]) != CharT(key[k])) return false;
  std::size_t j = i + key.size();
  while (j < text.size() && blank(text[j])) ++j;
  if (j >= text.size() || text[j] != CharT('=')) return false;
  ++j;
  while (j < text.size() && blank(text[j])) ++j;
  value = j;
  return true;
}

// The end of an ODBC value at i: a braced value runs to its closing brace ("}}" is a brace of
// the value), any other to the next ';'.
template <class CharT>
std::size_t odbcValueEnd(std::basic_string_view<CharT> text, std::size_t i) {
  if (i < text.size() && text[i] == CharT('{')) {
    for (std::size_t j = i + 1; j < text.size(); ++j) {
      if (text[j] != CharT('}')) continue;
      if (j + 1 < text.size() && text[j + 1] == CharT('}')) {
        ++j;
        continue;
      }
      return j + 1;
    }
    return text.size();
  }
  std::size_t j = i;
  while (j < text.size() && text[j] != CharT(';')) ++j;
  return j;
}

// The end of a libpq value at i: quoted with backslash escapes, else up to a blank, ';', '&'
// (the next URI parameter) or '}' (the end of a braced System= value).
template <class CharT>
std::size_t libpqValueEnd(std::basic_string_view<CharT> text, std::size_t i) {
  if (i < text.size() && text[i] == CharT('\'')) {
    for (std::size_t j = i + 1; j < text.size(); ++j) {
      if (text[j] == CharT('\\')) {
        ++j;
        continue;
      }
      if (text[j] == CharT('\'')) return j + 1;
    }
    return text.size();
  }
  std::size_t j = i;
  while (j < text.size() && !blank(text[j]) && text[j] != CharT(';') && text[j] != CharT('&') &&
         text[j] != CharT('}'))
    ++j;
  return j;
}

}  // namespace detail

// text with every password in it replaced by ***.
template <class CharT>
std::basic_string<CharT> masked(std::basic_string_view<CharT> text) {
  using detail::blank;
  std::basic_string<CharT> out;
  out.reserve(text.size());
  const CharT stars[] = {CharT('*'), CharT('*'), CharT('*')};
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t value = 0;
    std::size_t end = 0;
    if (detail::keyAt(text, i, "pwd", value)) {
      end = detail::odbcValueEnd(text, value);
    } else if (detail::keyAt(text, i, "password", value)) {
      end = detail::libpqValueEnd(text, value);
    } else if (i + 3 <= text.size() && text[i] == CharT(':') && text[i + 1] == CharT('/') &&
               text[i + 2] == CharT('/')) {
      // A URI's authority: user:password@host. Its password is what follows the first colon
      // of the part before the last '@'.
      std::size_t authority = i + 3;
      std::size_t stop = authority;
      while (stop < text.size() && text[stop] != CharT('/') && text[stop] != CharT('?') &&
             text[stop] != CharT('#') && text[stop] != CharT(';') && text[stop] != CharT('}') &&
             !blank(text[stop]))
        ++stop;
      std::size_t at = std::basic_string_view<CharT>::npos;
      for (std::size_t j = authority; j < stop; ++j)
        if (text[j] == CharT('@')) at = j;
      std::size_t colon = std::basic_string_view<CharT>::npos;
      if (at != std::basic_string_view<CharT>::npos)
        for (std::size_t j = authority; j < at; ++j)
          if (text[j] == CharT(':')) {
            colon = j;
            break;
          }
      if (colon == std::basic_string_view<CharT>::npos) {
        out.append(text.substr(i, authority - i));
        i = authority;
        continue;
      }
      out.append(text.substr(i, colon + 1 - i));
      out.append(stars, 3);
      i = at;
      continue;
    }
    if (end == 0) {
      out.push_back(text[i++]);
      continue;
    }
    out.append(text.substr(i, value - i));
    out.append(stars, 3);
    i = end;
  }
  return out;
}

inline std::string masked(std::string_view text) {
  return masked<char>(text);
}
inline std::u16string masked(std::u16string_view text) {
  return masked<char16_t>(text);
}

}  // namespace tarn::secrets
