// What LIST and SORT print: the page-less report, CSV rows or JSON objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/engine/tcl/query/sentence.h"

namespace tarn::server::tcl::query {

// One item of a result, with what the output and the order need and not the whole body.
struct Row {
  std::string id;
  // Internal values: one per sort key, then one per column, kept in one vector for all rows so
  // that a row of a million-item sort allocates nothing of its own.
  std::vector<std::string>* values = nullptr;
  std::uint32_t first = 0;  // this row's first value in *values
  std::uint32_t keyCount = 0;
  long exploded = 0;  // BY-EXP: the position of the value this row stands for; 0 otherwise

  [[nodiscard]] std::string& key(std::size_t i) { return (*values)[first + i]; }
  [[nodiscard]] const std::string& key(std::size_t i) const { return (*values)[first + i]; }
  [[nodiscard]] const std::string& cell(std::size_t c) const {
    return (*values)[first + keyCount + c];
  }
};

// Prints rows, in the order given, in the sentence's format through in. Throws QueryError past the
// reply limit.
void printReport(Interpreter& in, Sentence& s, const std::vector<const Row*>& rows);

// The values of a cell that are numbers (parseNumeric), added up; the others add nothing. What
// SUM prints and a TOTAL column counts.
[[nodiscard]] double sumOfValues(std::string_view cell);

// A number for a total: whole numbers without a point, others with what precision needs.
[[nodiscard]] std::string formatNumber(double n);

}  // namespace tarn::server::tcl::query
