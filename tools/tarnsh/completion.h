// Tab completion at the prompt: verbs (the account's master dictionary entries of type V, and
// the shell's own commands) in first place, then file names, then the dictionary names of the
// file the line names. What the server knows is read at the first Tab and kept until the next
// command, which may change it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tarn/tarncl.h"

namespace tarnsh {

class Completer {
 public:
  explicit Completer(tarn::clsTarnConnection& conn);
  ~Completer();
  Completer(const Completer&) = delete;
  Completer& operator=(const Completer&) = delete;

  // Drops what was read from the server.
  void forget();
  // The words that may stand at the position of the last word of line (which is partly
  // typed), sorted; empty when nothing is known there.
  [[nodiscard]] std::vector<std::string> candidates(const std::string& line);

 private:
  void loadAccount();
  const std::vector<std::string>& dictionaryNames(const std::string& file);

  tarn::clsTarnConnection& conn_;
  bool loaded_ = false;
  std::vector<std::string> verbs_;
  std::vector<std::string> files_;
  std::map<std::string, std::vector<std::string>> dictionaries_;
};

}  // namespace tarnsh
