// The TCL command interpreter behind the "E" request.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/engine/port_state.h"

namespace tarn::server::tcl {

// What a run of commands leaves: the request status (0, or 6 for an unknown verb), the printed
// lines joined by attribute marks and the message numbers joined by attribute marks.
struct Outcome {
  int status = 0;
  std::string captured;
  std::string returned;
  std::string message;  // the engine's words on a failed run ("unknown command ..."), else empty
};

// Runs command, then every stacked line that no command read as input, as the next commands.
// Stops at the first unknown verb. A store failure ends its command with message 209.
[[nodiscard]] Outcome run(PortState& state, std::string_view command, std::string_view stacked,
                          bool hasStacked);

// A word of a command line: blanks separate words; "..", '..' and \..\ quote.
struct Word {
  std::string text;
  bool quoted = false;
};

// Splits a command line into words; an unquoted word starting with '(' and everything after it
// become the options (letters, upper-cased, without the parentheses).
struct CommandLine {
  std::vector<Word> words;
  std::string options;
};
[[nodiscard]] CommandLine splitCommand(std::string_view line);

// The verbs this interpreter knows, as UPDATE-MD writes them into a master dictionary.
[[nodiscard]] const std::vector<std::string_view>& builtInVerbs();

}  // namespace tarn::server::tcl
