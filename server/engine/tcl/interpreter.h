// The interpreter that the verbs of the "E" request run in: output, messages, stacked input and
// the port. Internal to the TCL directory.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "server/engine/port_state.h"
#include "server/engine/store/protection.h"
#include "server/engine/tcl/tcl.h"
#include "server/engine/vocabulary.h"

namespace tarn::server::tcl {

using store::equalsNoCase;
using store::kAttributeMark;
using store::kValueMark;

inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += p;
  return out;
}

// The stacked lines of one "E": each is a command, unless a verb takes it as its input.
class StackedInput {
 public:
  StackedInput(std::string_view lines, bool present) : rest_(lines), more_(present) {}
  [[nodiscard]] bool more() const noexcept { return more_; }
  // The next line, or nothing when none is left.
  std::optional<std::string_view> next() {
    if (!more_) return std::nullopt;
    const std::size_t mark = rest_.find(kAttributeMark);
    const std::string_view line = rest_.substr(0, mark);
    more_ = mark != std::string_view::npos;
    rest_.remove_prefix(more_ ? mark + 1 : rest_.size());
    return line;
  }

  // Drops every line left: after a refused LOGTO they were meant for another account, and may
  // be credentials.
  void discard() noexcept { more_ = false; }

 private:
  std::string_view rest_;
  bool more_;
};

class Interpreter {
 public:
  Interpreter(PortState& state, Outcome& out, StackedInput& input)
      : state_(state), out_(out), input_(input) {}

  // False when the verb is unknown.
  bool runLine(std::string_view line);
  // Stops the run: the message goes into the captured output, status 40 into the reply.
  void overLimit(std::string_view text) {
    message(msg::kOverLimit, text);
    out_.status = status::kOverLimit;
  }

  void print(std::string_view line) {
    if (printed_++ > 0) out_.captured.push_back(kAttributeMark);
    out_.captured.append(line);
  }
  // A numbered message: printed as "[n] text" and its number returned.
  void message(int number, std::string_view text) {
    std::string line = "[";
    line += std::to_string(number);
    line += "] ";
    line += text;
    print(line);
    note(number);
  }
  // A message number returned without a printed line.
  void note(int number) {
    if (!out_.returned.empty()) out_.returned.push_back(kAttributeMark);
    out_.returned += std::to_string(number);
  }
  [[nodiscard]] std::size_t capturedBytes() const noexcept { return out_.captured.size(); }
  // Room for about bytes more of output, so that a long report does not copy it as it grows.
  void reserveOutput(std::size_t bytes) { out_.captured.reserve(out_.captured.size() + bytes); }

  PortState& state() noexcept { return state_; }
  StackedInput& input() noexcept { return input_; }

 private:
  bool runVerb(std::string_view verb, std::string_view rest, int depth);

  PortState& state_;
  Outcome& out_;
  StackedInput& input_;
  int printed_ = 0;
};

}  // namespace tarn::server::tcl
