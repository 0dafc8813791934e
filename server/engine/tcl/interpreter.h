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

namespace tarn::server::tcl {

using store::equalsNoCase;
using store::kAttributeMark;
using store::kValueMark;

// Message numbers of this interpreter (listed for administrators in server/README.md).
namespace msg {
constexpr int kNotAFile = 201;
constexpr int kNotAnAttribute = 202;
constexpr int kSyntax = 203;
constexpr int kStoreFailed = 209;
constexpr int kNotAnAccount = 210;
constexpr int kLoggedOn = 211;
constexpr int kVerbsUpdated = 212;
constexpr int kAccountCreated = 213;
constexpr int kAccountExists = 214;
constexpr int kBadAccountName = 215;
constexpr int kIndexExists = 171;
constexpr int kIndexCreated = 172;
constexpr int kBadCorrelative = 173;
constexpr int kIndexDeleted = 174;
constexpr int kNoSuchIndex = 175;
constexpr int kNoItems = 401;
constexpr int kSelected = 404;
constexpr int kListed = 405;
constexpr int kCounted = 407;
constexpr int kFileExists = 413;
constexpr int kBadFileName = 414;
constexpr int kMasterDictionary = 416;
constexpr int kFileCreated = 417;
constexpr int kFileDeleted = 418;
constexpr int kFileInUse = 419;
constexpr int kFileCleared = 420;
constexpr int kBadModulo = 421;
constexpr int kCaseShown = 431;
constexpr int kAccessRefused = 230;
constexpr int kAccountProtected = 231;
constexpr int kGranted = 232;
constexpr int kRevoked = 233;
constexpr int kNotYours = 234;
constexpr int kSystemDictionary = 235;
constexpr int kProtectDmFirst = 236;
constexpr int kOverLimit = 450;
}  // namespace msg

// The request status of a run stopped by one of the port's limits.
constexpr int kOverLimitStatus = 40;

inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += p;
  return out;
}

// Attribute n of an item (0: the id), without copying.
std::string_view attributeOf(std::string_view id, std::string_view body, long n);

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
    out_.status = kOverLimitStatus;
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
