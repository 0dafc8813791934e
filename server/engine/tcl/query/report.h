// What LIST and SORT print: the page-less report, CSV rows or JSON objects.
#pragma once

#include <string>
#include <vector>

#include "server/engine/tcl/query/sentence.h"

namespace tarn::server::tcl::query {

// One item of a result, with what the output and the order need and not the whole body.
struct Row {
  std::string id;
  std::vector<std::string> keys;   // internal values, one per sort key
  std::vector<std::string> cells;  // internal values, one per column
  long exploded = 0;  // BY-EXP: the position of the value this row stands for; 0 otherwise
};

// Prints rows in the sentence's format through in. Throws QueryError past the reply limit.
void printReport(Interpreter& in, Sentence& s, const std::vector<Row>& rows);

// A number for a total: whole numbers without a point, others with what precision needs.
[[nodiscard]] std::string formatNumber(double n);

}  // namespace tarn::server::tcl::query
