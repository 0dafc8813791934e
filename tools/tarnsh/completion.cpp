#include "tools/tarnsh/completion.h"

#include <editline/readline.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tarnsh {
namespace {

Completer* active = nullptr;
std::vector<std::string> matches;

const char* const kOwnCommands[] = {".show",  ".write", ".edit", ".data", ".pager",
                                    ".about", ".help",  ".quit", "OFF",   "QUIT"};
// The server's verbs as server/README.md lists them; an account whose master dictionary holds
// verb entries (UPDATE-MD) adds its own.
const char* const kServerVerbs[] = {"CASE",
                                    "CATALOG",
                                    "CLEAR-FILE",
                                    "COMPILE",
                                    "COUNT",
                                    "CREATE-ACCOUNT",
                                    "CREATE-FILE",
                                    "CREATE-INDEX",
                                    "DATE",
                                    "DELETE-FILE",
                                    "DELETE-INDEX",
                                    "ESTIMATE-COUNT",
                                    "GRANT-ACCOUNT",
                                    "LIST",
                                    "LOGTO",
                                    "PROTECT-ACCOUNT",
                                    "REVOKE-ACCOUNT",
                                    "SELECT",
                                    "SET-NUM-FORMAT",
                                    "SSELECT",
                                    "TIME",
                                    "UPDATE-MD",
                                    "WHO"};

std::vector<std::string> splitWords(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  if (line.empty() || line.back() == ' ') out.emplace_back();  // a new word starts here
  return out;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// readline's generator: the state is 0 on the first call for a word.
char* generate(const char* text, int state) {
  static std::size_t next = 0;
  if (state == 0) next = 0;
  const std::size_t typed = std::strlen(text);
  while (next < matches.size()) {
    const std::string& m = matches[next++];
    if (m.compare(0, typed, text) == 0) return strdup(m.c_str());
  }
  return nullptr;
}

char** complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // never fall back to the local file names
  if (active == nullptr) return nullptr;
  try {
    matches =
        active->candidates(std::string(rl_line_buffer, static_cast<std::size_t>(start)) + text);
  } catch (const tarn::TarnError&) {
    matches.clear();  // a Tab never reports the server's errors
  }
  return rl_completion_matches(text, generate);
}

}  // namespace

Completer::Completer(tarn::clsTarnConnection& conn) : conn_(conn) {
  active = this;
  rl_attempted_completion_function = complete;
}

Completer::~Completer() {
  rl_attempted_completion_function = nullptr;
  active = nullptr;
}

void Completer::forget() {
  loaded_ = false;
  dictionaries_.clear();
}

void Completer::loadAccount() {
  if (loaded_) return;
  verbs_.assign(std::begin(kOwnCommands), std::end(kOwnCommands));
  files_.clear();
  // The master dictionary tells both: V entries are verbs, D and Q entries files.
  auto md = conn_.brOpenFile(u"", u"MD");
  auto ids = md->brSelect();
  for (const tarn::String& id : *ids) {
    const tarn::String type = md->brRead(id)->brExtractStr(1);
    const std::string name = tarn::toUtf8(id);
    if (!type.empty() && (type[0] == u'V' || type[0] == u'v')) verbs_.push_back(name);
    if (!type.empty() && (type[0] == u'D' || type[0] == u'Q')) files_.push_back(name);
  }
  verbs_.insert(verbs_.end(), std::begin(kServerVerbs), std::end(kServerVerbs));
  std::sort(verbs_.begin(), verbs_.end());
  verbs_.erase(std::unique(verbs_.begin(), verbs_.end()), verbs_.end());
  std::sort(files_.begin(), files_.end());
  loaded_ = true;
}

const std::vector<std::string>& Completer::dictionaryNames(const std::string& file) {
  auto found = dictionaries_.find(file);
  if (found != dictionaries_.end()) return found->second;
  std::vector<std::string> names;
  try {
    auto dict = conn_.brOpenFile(u"DICT", tarn::fromUtf8(file));
    auto ids = dict->brSelect();
    for (const tarn::String& id : *ids) names.push_back(tarn::toUtf8(id));
  } catch (const tarn::TarnError&) {
    // Not a file: nothing to offer.
  }
  std::sort(names.begin(), names.end());
  return dictionaries_.emplace(file, std::move(names)).first->second;
}

std::vector<std::string> Completer::candidates(const std::string& line) {
  loadAccount();
  const std::vector<std::string> w = splitWords(line);
  if (w.size() <= 1) return verbs_;
  // The shell's own item commands take [DICT] file id; TCL verbs take a file, then names.
  std::size_t fileAt = 1;
  if (upper(w[1]) == "DICT" || upper(w[1]) == "DATA") ++fileAt;
  if (w.size() - 1 == fileAt || w.size() == 2) {
    std::vector<std::string> out = files_;
    if (w.size() == 2) out.insert(out.begin(), "DICT");
    return out;
  }
  if (w[0][0] == '.') return {};  // an item-id: not completed
  return dictionaryNames(w[fileAt]);
}

}  // namespace tarnsh
