#include "server/engine/tcl/tcl.h"

#include <algorithm>

#include "server/engine/tcl/interpreter.h"
#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {

CommandLine splitCommand(std::string_view line) {
  CommandLine cmd;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    char c = line[i];
    if (c == '"' || c == '\'' || c == '\\') {
      // An unclosed quote runs to the end of the line rather than failing: the verb then sees the
      // text it was given.
      std::size_t close = line.find(c, i + 1);
      std::size_t end = close == std::string_view::npos ? line.size() : close;
      cmd.words.push_back({std::string(line.substr(i + 1, end - i - 1)), true});
      i = close == std::string_view::npos ? line.size() : close + 1;
      continue;
    }
    if (c == '(') {
      for (std::size_t j = i + 1; j < line.size(); ++j) {
        char o = line[j];
        if (o == ')') break;
        // "(O,U)", "(O U)" and "(OU)" all give the same options.
        if (o == ' ' || o == ',') continue;
        cmd.options.push_back((o >= 'a' && o <= 'z') ? static_cast<char>(o - 32) : o);
      }
      break;
    }
    std::size_t end = line.find(' ', i);
    if (end == std::string_view::npos) end = line.size();
    cmd.words.push_back({std::string(line.substr(i, end - i)), false});
    i = end;
  }
  return cmd;
}

bool Interpreter::runLine(std::string_view line) {
  // The verb is the first word; an empty line is no command and not an error.
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.empty()) return true;
  std::size_t blank = line.find(' ');
  std::string_view verb = line.substr(0, blank);
  std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  try {
    return runVerb(verb, rest, 0);
  } catch (const store::StoreError& e) {
    // The command stops; what it changed in one transaction is rolled back.
    message(msg::kStoreFailed, cat({"The store failed: ", e.what()}));
    return true;
  }
}

bool Interpreter::runVerb(std::string_view verb, std::string_view rest, int depth) {
  const CommandLine cmd = splitCommand(rest);
  if (const Verb* known = findVerb(verb)) {
    known->run(*this, Invocation{known->name, rest, cmd});
    return true;
  }
  // A verb entry of the master dictionary ("V", then the built-in verb) names another verb.
  // One level only: an MD entry must name a built-in verb, so two entries naming each other
  // cannot loop.
  if (depth > 0) return false;
  std::optional<store::Section> md =
      state_.account().findSection(store::kMasterDictionary, false, {}, false);
  std::string entry;
  if (!md || !state_.account().readItem(*md, verb, entry)) return false;
  std::string_view kind = attributeOf({}, entry, 1);
  // Only verb entries: a file or a catalog entry of the same name is not a command.
  if (kind.empty() || (kind.front() != 'V' && kind.front() != 'v')) return false;
  std::string_view target = attributeOf({}, entry, 2);
  if (target.empty()) target = verb;
  return runVerb(target, rest, depth + 1);
}

namespace {

// Status 6 as the protocol gives it for a verb it does not know, and words naming the verb.
void unknownCommand(Outcome& out, std::string_view line) {
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  out.status = 6;
  out.message = cat({"unknown command ", line.substr(0, line.find(' '))});
}

}  // namespace

Outcome run(PortState& state, std::string_view command, std::string_view stacked, bool hasStacked) {
  Outcome out;
  StackedInput input(stacked, hasStacked);
  Interpreter interpreter(state, out, input);
  if (hasStacked) {
    const auto lines =
        static_cast<std::size_t>(std::count(stacked.begin(), stacked.end(), kAttributeMark) + 1);
    // Counted before anything runs, so an over-long stack is refused whole rather than half run.
    if (lines > state.limits.stackedCommands) {
      interpreter.overLimit(cat({std::to_string(lines), " stacked commands are over the limit of ",
                                 std::to_string(state.limits.stackedCommands), "."}));
      return out;
    }
  }
  if (!interpreter.runLine(command)) {
    unknownCommand(out, command);
    return out;
  }
  // Every stacked line a verb did not take as its input is a command of its own; a refusal by a
  // limit ends the run.
  while (out.status == 0) {
    const std::optional<std::string_view> line = input.next();
    if (!line) break;
    if (!interpreter.runLine(*line)) {
      unknownCommand(out, *line);
      return out;
    }
  }
  return out;
}

}  // namespace tarn::server::tcl
