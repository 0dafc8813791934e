// The scripted driver's shared state: the script a test queues and the record of what the
// driver saw. It lives in its own library so that the test and the driver (which the driver
// manager loads privately) reach the same copy, while the driver's ODBC entry points stay out of
// the test's symbol scope.
#pragma once

#include <sql.h>

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarn::scripted {

struct Diagnostic {
  std::string state;
  std::string message;
  long native = 0;
};

struct Outcome {
  SQLRETURN rc;
  std::string state;
  std::string message;  // "" for the driver's fixed text
  long native = 0;
};

struct Result {
  std::vector<std::optional<std::string>> columns;
  bool hasRow = true;
  std::optional<long> reportedLength;
  std::optional<Outcome> fetchWarning;  // the fetch of the row answers SQL_SUCCESS_WITH_INFO
};

// A result of one column holding value (nullopt: SQL NULL), on one row.
inline Result oneColumn(std::optional<std::string> value) {
  Result r;
  r.columns.push_back(std::move(value));
  return r;
}

struct Script {
  std::deque<Result> results;
  std::deque<Outcome> connects;
  std::deque<std::string> completions;  // completed connection strings instead of the echo
  std::deque<Outcome> executes;
  std::deque<std::string> allocStmtFailures;
  Outcome* lastQueued = nullptr;  // the outcome scripted_describe_last_outcome changes
  std::vector<std::string> statements;
  std::vector<std::string> connectStrings;
  std::vector<std::string> calls;
  long allocated[4] = {0, 0, 0, 0};
  long freed[4] = {0, 0, 0, 0};
};

// The one script of the process.
Script& script();

}  // namespace tarn::scripted
