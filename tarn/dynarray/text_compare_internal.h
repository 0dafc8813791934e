// Case-insensitive comparison, search and upper-casing of dynamic array text.
//
// Comparison and search use an ICU collator of the process locale at secondary strength: case is
// ignored, accents are not. The locale is the first non-empty of LC_ALL, LC_COLLATE and LANG,
// without its encoding and modifier ("de_DE.UTF-8@euro" is "de_DE"); "C", "POSIX" or nothing
// selects ICU's root collation. A search matches where a slice of the text as long as the pattern
// compares equal to it.
//
// Most dynamic array text is Latin-1, so the collator's answers for single Latin-1 characters are
// tabulated once: a character that yields exactly one primary collation element and takes part in
// no contraction is "simple", and strings of simple characters compare by those tables with no
// collator call. Anything else, and any case the tables cannot settle, goes to the collator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tarn/dynarray/mark_scan_internal.h"
#include "tarn/frame/string.h"

struct UCollator;

namespace tarn::text {

class CaselessCollation {
 public:
  // The collation of the process locale, built on first use and kept for the process.
  [[nodiscard]] static const CaselessCollation& process();

  // A collation of the named ICU locale ("" is root); tests use it for fixed locales.
  explicit CaselessCollation(const std::string& locale);
  ~CaselessCollation();
  CaselessCollation(const CaselessCollation&) = delete;
  CaselessCollation& operator=(const CaselessCollation&) = delete;

  // -1, 0 or 1 as a sorts before, equal to or after b, ignoring case.
  [[nodiscard]] int compare(StringView a, StringView b) const;
  [[nodiscard]] bool equal(StringView a, StringView b) const { return compare(a, b) == 0; }
  // The first position >= from where text holds a slice equal to pattern ignoring case;
  // text.size() when there is none. An empty pattern is found at from.
  [[nodiscard]] std::size_t find(StringView text, StringView pattern, std::size_t from) const;

  // The same answers from the collator alone, with no tables (for differential tests).
  [[nodiscard]] int compareByCollator(StringView a, StringView b) const;
  [[nodiscard]] std::size_t findByCollator(StringView text, StringView pattern,
                                           std::size_t from) const;

  // The ICU locale id actually in use, and whether the Latin-1 tables are in use.
  [[nodiscard]] const std::string& locale() const noexcept { return locale_; }
  [[nodiscard]] bool tabulated() const noexcept { return tabulated_; }
  // The units at which a slice equal to a pattern of simple characters starting with first may
  // begin: those of the same primary weight as first, and every unit the tables do not cover.
  [[nodiscard]] scan::UnitSet startsOf(char16_t first) const noexcept;
  // The units that may start a string sorting at or after (before, when descending) one whose
  // first character is the simple c: simple units of a primary weight not below (not above) c's,
  // or strictly beyond it when strict, and every unit the tables do not cover.
  [[nodiscard]] scan::UnitSet primaryBeyond(char16_t c, bool descending,
                                            bool strict) const noexcept;
  // The units the tables do not cover (all of 255 and above among them).
  [[nodiscard]] scan::UnitSet uncovered() const noexcept;
  // True when c is a simple character (see above).
  [[nodiscard]] bool simple(char16_t c) const noexcept { return c < 255 && primary_[c] != 0; }

 private:
  friend class CaselessSearch;
  struct CollatorCloser {
    void operator()(UCollator* c) const noexcept;
  };
  void tabulate();
  // -2 when the tables cannot decide.
  [[nodiscard]] int compareByTables(StringView a, StringView b) const noexcept;

  std::string locale_;
  std::unique_ptr<UCollator, CollatorCloser> collator_;
  bool tabulated_ = false;
  std::uint16_t primary_[255] = {};  // rank of the primary weight; 0 when not simple
  std::uint16_t klass_[255] = {};    // equal for characters equal at secondary strength
};

// A case-insensitive search for one pattern, prepared once for repeated use on one collation.
class CaselessSearch {
 public:
  // Keeps references to collation and pattern: both must outlive the search.
  CaselessSearch(const CaselessCollation& collation, StringView pattern);
  // As CaselessCollation::find.
  [[nodiscard]] std::size_t find(StringView text, std::size_t from) const;
  // The number of positions where find would stop, overlaps included.
  [[nodiscard]] std::size_t count(StringView text) const;

 private:
  const CaselessCollation& collation_;
  StringView pattern_;
  bool byTables_ = false;
  scan::UnitSet starts_;  // units at which a match can begin
};

// The ICU locale id for the process: LC_ALL, LC_COLLATE or LANG, as described above.
[[nodiscard]] std::string processCollationLocale();

// The units whose upper case (as upperCase maps a single unit) is c, c itself included when it
// maps to itself; at most cap are written to out. Returns how many there are.
[[nodiscard]] std::size_t upperPreimage(char16_t c, char16_t* out, std::size_t cap);

// Upper-cases text character by character with the platform's simple case mapping, keeping the
// marks 252 to 255 as they are. The length never changes.
[[nodiscard]] String upperCase(StringView text);

}  // namespace tarn::text
