// The verbs of the port's own settings and clock, and the compiler's two verbs.
#include <ctime>

#include "server/engine/conv/conversion.h"
#include "server/engine/corvex/modules.h"
#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string twoDigits(int n) {
  std::string s = std::to_string(n);
  return s.size() < 2 ? cat({"0", s}) : s;
}

std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

// The compiler reports through callbacks so that it knows nothing of the interpreter; the
// lambdas live no longer than the verb that made them.
corvex::Reporter reporterFor(Interpreter& in) {
  return corvex::Reporter{[&in](std::string_view line) { in.print(line); },
                          [&in](int n, std::string_view text) { in.message(n, text); }};
}

}  // namespace

namespace verbs {

void setNumFormat(Interpreter& in, const Invocation& call) {
  std::string_view rest = call.rest;
  // Three positions, currency/grouping/decimal; an empty one keeps its value. The text is taken
  // as sent, so that a blank can be a grouping character.
  std::string_view parts[3];
  for (int i = 0; i < 3; ++i) {
    // The last part takes the rest of the line, slashes included.
    std::size_t slash = i < 2 ? rest.find('/') : std::string_view::npos;
    parts[i] = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  if (!parts[0].empty()) in.state().format.currency = std::string(parts[0]);
  if (!parts[1].empty()) in.state().format.grouping = std::string(parts[1]);
  if (!parts[2].empty()) in.state().format.decimal = std::string(parts[2]);
}

void caseFlag(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  if (cmd.options.find('N') != std::string::npos) {
    // (N: file and section names are matched as typed; (F folds their case again.
    in.state().caseSensitive = true;
  } else if (cmd.options.find('F') != std::string::npos) {
    in.state().caseSensitive = false;
  } else {
    in.message(msg::kCaseShown,
               std::string("Case sensitivity is ") + (in.state().caseSensitive ? "on." : "off."));
  }
}

void time(Interpreter& in, const Invocation&) {
  // Local time of the server process, the clock the D and MT conversions read too.
  std::tm t = localNow();
  in.print(
      cat({twoDigits(t.tm_hour), ":", twoDigits(t.tm_min), ":", twoDigits(t.tm_sec), " ",
           twoDigits(t.tm_mday), " ", kMonths[t.tm_mon], " ", std::to_string(t.tm_year + 1900)}));
}

void date(Interpreter& in, const Invocation&) {
  std::tm t = localNow();
  // The internal day number is printed too, for comparing against stored dates.
  in.print(cat({kDays[t.tm_wday], " ", twoDigits(t.tm_mday), " ", kMonths[t.tm_mon], " ",
                std::to_string(t.tm_year + 1900), " day ", std::to_string(internalDateToday())}));
}

void who(Interpreter& in, const Invocation&) {
  in.print(cat({std::to_string(in.state().number()), " ", in.state().account().name()}));
}

void compile(Interpreter& in, const Invocation& call) {
  corvex::compileCommand(in.state(), call.rest, reporterFor(in));
}

void catalog(Interpreter& in, const Invocation& call) {
  corvex::catalogCommand(in.state(), call.rest, reporterFor(in));
}

}  // namespace verbs
}  // namespace tarn::server::tcl
