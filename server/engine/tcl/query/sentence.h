// A query sentence taken apart: the file, the items, the criteria, the order, the columns and
// how the report looks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/engine/tcl/interpreter.h"
#include "server/engine/tcl/query/dictionary.h"

namespace tarn::server::tcl::query {

enum class Op {
  kEqual,
  kNotEqual,
  kLess,
  kGreater,
  kLessEqual,
  kGreaterEqual,
  kPresent,
  // LIKE, MATCHES: the pattern language of matchesOne (... and nN / nA / nX); SAID: sounds like.
  kLike,
  kBetween,
  kSaid,
};

struct Condition {
  std::shared_ptr<const Field> field;
  Op op = Op::kPresent;
  // values are in internal form (the field's input conversion applied), except LIKE and SAID
  // patterns and '['/']' text patterns, which keep the text as typed.
  std::vector<std::string> values;  // alternatives; BETWEEN: the two bounds
  bool every = false;               // every value must satisfy, not just one
  bool no = false;                  // WITH NO: the field is empty
  bool negate = false;              // WITHOUT
};

struct SortKey {
  std::shared_ptr<const Field> field;
  bool descending = false;
  bool exploded = false;  // BY-EXP: one row per value
};

struct Column {
  std::shared_ptr<const Field> field;
  bool total = false;
  bool breakOn = false;
};

enum class Format { kReport, kCsv, kJson };

struct Sentence {
  std::string verb;  // upper case
  std::string reference;
  OpenSection target;
  std::unique_ptr<Dictionary> dictionary;
  // When ids is empty the items come from the active list, an index or the whole file.
  std::vector<std::string> ids;               // quoted item-ids, in the order given
  std::vector<std::vector<Condition>> anyOf;  // OR of AND groups
  std::vector<SortKey> sort;
  std::vector<Column> columns;
  std::string heading, footing;
  bool idSupp = false, hdrSupp = false, colHdrSupp = false, dblSpc = false;
  // SAMPLE n: at most n items (the first n in the sentence's order).
  std::optional<std::int64_t> sample;
  Format format = Format::kReport;
};

// Parses the words after the verb. Throws QueryError naming the word it could not take.
[[nodiscard]] Sentence parseSentence(PortState& state, std::string_view verb,
                                     const std::vector<Word>& words);

// Whether one value satisfies op against one pattern (already in internal form).
[[nodiscard]] bool matchesOne(std::string_view value, Op op, std::string_view pattern,
                              std::string_view second, bool caseSensitive);
// Whether an item's value of the condition's field (values joined by value marks) satisfies it.
[[nodiscard]] bool holds(const Condition& c, std::string_view value, bool caseSensitive);

// Order of two values of a field: right-justified fields compare numbers as numbers and other
// text right-aligned (shorter first); others compare numbers as numbers and text as text.
[[nodiscard]] int compareField(std::string_view a, std::string_view b, char justify,
                               bool caseSensitive);

// A value to sort by, read once: comparing a million of them must not parse each again.
struct SortValue {
  std::string_view text;
  double number = 0;
  bool numeric = false;
};
[[nodiscard]] SortValue sortValue(std::string_view text);
// compareField over values read by sortValue.
[[nodiscard]] int compareSortValues(const SortValue& a, const SortValue& b, char justify,
                                    bool caseSensitive);

// Items read from the store by the query verbs on this thread, so that a test can see whether a
// sentence walked an index or the file.
[[nodiscard]] std::uint64_t itemsRead() noexcept;
void countItemsRead(std::uint64_t n) noexcept;

}  // namespace tarn::server::tcl::query
