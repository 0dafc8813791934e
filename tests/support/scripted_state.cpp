// The scripted driver's test interface and the state it shares with the driver.
#include <utility>

#include "tests/support/scripted_driver.h"
#include "tests/support/scripted_state_internal.h"

namespace tarn::scripted {

Script& script() {
  static Script* s = new Script();  // outlives every handle, even at process exit
  return *s;
}

}  // namespace tarn::scripted

namespace {

using tarn::scripted::oneColumn;
using tarn::scripted::Result;
using tarn::scripted::Script;
using tarn::scripted::script;

}  // namespace

extern "C" {

void scripted_reset(void) {
  Script& s = script();
  s.results.clear();
  s.connects.clear();
  s.lastQueued = nullptr;
  s.completions.clear();
  s.executes.clear();
  s.allocStmtFailures.clear();
  s.statements.clear();
  s.connectStrings.clear();
  s.calls.clear();
}

void scripted_queue_reply(const char* bytes, size_t length) {
  script().results.push_back(oneColumn(std::string(bytes, length)));
}

void scripted_queue_row(size_t count, const char* const* columns, const size_t* lengths) {
  Result r;
  for (size_t i = 0; i < count; ++i) {
    if (columns[i]) {
      r.columns.emplace_back(std::string(columns[i], lengths[i]));
    } else {
      r.columns.emplace_back(std::nullopt);
    }
  }
  script().results.push_back(std::move(r));
}

void scripted_queue_null_reply(void) {
  script().results.push_back(oneColumn(std::nullopt));
}

void scripted_queue_empty_result(void) {
  Result r = oneColumn(std::string());
  r.hasRow = false;
  script().results.push_back(std::move(r));
}

void scripted_set_fetch_warning(const char* sqlstate, long native, const char* message) {
  if (!script().results.empty())
    script().results.back().fetchWarning =
        tarn::scripted::Outcome{SQL_SUCCESS_WITH_INFO, sqlstate, message, native};
}

void scripted_set_reported_length(long length) {
  if (!script().results.empty()) script().results.back().reportedLength = length;
}

void scripted_next_connect(short rc, const char* sqlstate) {
  script().connects.push_back({rc, sqlstate ? sqlstate : "", "", 0});
  script().lastQueued = &script().connects.back();
}

void scripted_next_completion(const char* text) {
  script().completions.push_back(text);
}

void scripted_next_execute(short rc, const char* sqlstate) {
  script().executes.push_back({rc, sqlstate ? sqlstate : "", "", 0});
  script().lastQueued = &script().executes.back();
}

void scripted_describe_last_outcome(long native, const char* message) {
  if (tarn::scripted::Outcome* o = script().lastQueued) {
    o->native = native;
    o->message = message ? message : "";
  }
}

void scripted_fail_next_alloc_stmt(const char* sqlstate) {
  script().allocStmtFailures.push_back(sqlstate ? sqlstate : "S1001");
}

size_t scripted_statement_count(void) {
  return script().statements.size();
}
const char* scripted_statement(size_t index, size_t* length) {
  const std::string& s = script().statements.at(index);
  if (length) *length = s.size();
  return s.data();
}
size_t scripted_connect_count(void) {
  return script().connectStrings.size();
}
const char* scripted_connect_string(size_t index, size_t* length) {
  const std::string& s = script().connectStrings.at(index);
  if (length) *length = s.size();
  return s.data();
}
size_t scripted_call_count(void) {
  return script().calls.size();
}
const char* scripted_call(size_t index) {
  return script().calls.at(index).c_str();
}

long scripted_allocated(int kind) {
  return kind >= 1 && kind <= 3 ? script().allocated[kind] : 0;
}
long scripted_freed(int kind) {
  return kind >= 1 && kind <= 3 ? script().freed[kind] : 0;
}

}  // extern "C"
