// The everyday verbs on files and their items: LISTF, LIST-INDEX, CT, COPY and DELETE.
#include <algorithm>

#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

// The file a verb names: "DICT name" or a reference in one word.
std::optional<OpenSection> fileAt(Interpreter& in, const std::vector<Word>& w, std::size_t& i,
                                  std::string& reference) {
  reference.clear();
  if (i < w.size() && !w[i].quoted &&
      (equalsNoCase(w[i].text, "DICT") || equalsNoCase(w[i].text, "DATA")) && i + 1 < w.size())
    reference = w[i++].text + " ";
  if (i >= w.size()) {
    in.message(msg::kSyntax, "A file name is missing.");
    return std::nullopt;
  }
  reference += w[i++].text;
  std::optional<OpenSection> f = in.state().resolve(reference);
  if (!f) in.message(msg::kNotAFile, cat({"'", reference, "' is not a file name."}));
  return f;
}

// The items a verb names: the words from i up to stop (any case), "*" or ALL for every item,
// else the active list. Nothing (after a message) when none are named and no list is active.
std::optional<std::vector<std::string>> itemsAt(Interpreter& in, const std::vector<Word>& w,
                                                std::size_t& i, const OpenSection& file,
                                                std::string_view stop) {
  // A quoted word is always an id, so an item called "TO" or "ALL" can still be named.
  std::vector<std::string> ids;
  bool all = false;
  for (; i < w.size() && (w[i].quoted || stop.empty() || !equalsNoCase(w[i].text, stop)); ++i) {
    if (!w[i].quoted && (w[i].text == "*" || equalsNoCase(w[i].text, "ALL")))
      all = true;
    else
      ids.push_back(w[i].text);
  }
  if (all) {
    std::string joined;
    ids.clear();
    if (file.account->appendIds(file.section, joined) > 0) {
      std::string_view rest = joined;
      for (;;) {
        std::size_t mark = rest.find(kAttributeMark);
        ids.emplace_back(rest.substr(0, mark));
        if (mark == std::string_view::npos) break;
        rest.remove_prefix(mark + 1);
      }
    }
    return ids;
  }
  if (!ids.empty()) return ids;
  if (!in.state().activeList) {
    in.message(msg::kSyntax, "No items are named and no list is active.");
    return std::nullopt;
  }
  // An active list is used up by the verb that reads it, as by a sentence.
  IdList list = std::move(*in.state().activeList);
  in.state().activeList.reset();
  std::string_view rest = list.ids;
  while (list.count > 0) {
    std::size_t mark = rest.find(kAttributeMark);
    ids.emplace_back(rest.substr(0, mark));
    if (mark == std::string_view::npos) break;
    rest.remove_prefix(mark + 1);
  }
  return ids;
}

bool writable(Interpreter& in, const OpenSection& f) {
  if (!f.readOnly) return true;
  in.message(msg::kSystemDictionary, "The system dictionary is written only from DM.");
  return false;
}

}  // namespace

namespace verbs {

void listFiles(Interpreter& in, const Invocation& call) {
  if (!call.cmd.words.empty()) {
    in.message(msg::kSyntax, cat({"'", call.cmd.words[0].text, "' is not understood here."}));
    return;
  }
  store::Account& a = in.state().account();
  std::optional<store::Section> md = a.findSection(store::kMasterDictionary, false, {}, false);
  std::vector<std::string> files;
  if (md) {
    a.forEachItem(*md, [&](std::string_view id, std::string_view body) {
      std::string_view kind = attributeOf({}, body, 1);
      // Only file entries: verb entries and others share the master dictionary.
      if (kind == "D" || kind == "d") files.emplace_back(id);
    });
  }
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) in.print(f);
  in.message(msg::kFilesListed, cat({std::to_string(files.size()), " files listed."}));
}

void listIndex(Interpreter& in, const Invocation& call) {
  std::size_t i = 0;
  std::string reference;
  std::optional<OpenSection> f = fileAt(in, call.cmd.words, i, reference);
  if (!f) return;
  if (i < call.cmd.words.size()) {
    in.message(msg::kSyntax, cat({"'", call.cmd.words[i].text, "' is not understood here."}));
    return;
  }
  std::vector<store::Correlative> defs = f->account->indexes().definitions(f->section);
  for (const store::Correlative& c : defs) in.print(c.text());
  in.message(msg::kIndexesListed, cat({"File '", reference, "' has ", std::to_string(defs.size()),
                                       defs.size() == 1 ? " index." : " indexes."}));
}

// Each item as its id, then its attributes numbered, value marks shown as ']' and sub-value
// marks as '\'.
void copyToTerminal(Interpreter& in, const Invocation& call) {
  std::size_t i = 0;
  std::string reference;
  std::optional<OpenSection> f = fileAt(in, call.cmd.words, i, reference);
  if (!f) return;
  std::optional<std::vector<std::string>> ids = itemsAt(in, call.cmd.words, i, *f, {});
  if (!ids) return;
  std::string body;
  for (const std::string& id : *ids) {
    body.clear();
    if (!f->account->readItem(f->section, id, body)) {
      in.message(msg::kNoSuchItem, cat({"'", id, "' is not an item of file '", reference, "'."}));
      continue;
    }
    in.print(id);
    std::string_view rest = body;
    for (long n = 1;; ++n) {
      std::size_t mark = rest.find(kAttributeMark);
      std::string line = std::to_string(n);
      // Three digits, so that the lines of the usual items align; longer numbers just widen.
      if (line.size() < 3) line.insert(0, 3 - line.size(), '0');
      line += ' ';
      for (char c : rest.substr(0, mark))
        line += c == kValueMark ? ']' : (c == store::kSubValueMark ? '\\' : c);
      in.print(line);
      if (mark == std::string_view::npos) break;
      rest.remove_prefix(mark + 1);
    }
    in.print("");
  }
}

// COPY FROM file ids TO file [(O]: an item already in the target is kept unless (O is given.
void copyItems(Interpreter& in, const Invocation& call) {
  const std::vector<Word>& w = call.cmd.words;
  std::size_t i = 0;
  if (i < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "FROM")) ++i;
  std::string fromRef, toRef;
  std::optional<OpenSection> from = fileAt(in, w, i, fromRef);
  if (!from) return;
  std::optional<std::vector<std::string>> ids = itemsAt(in, w, i, *from, "TO");
  if (!ids) return;
  if (i >= w.size()) {
    in.message(msg::kSyntax, "'TO' and a file name are missing.");
    return;
  }
  ++i;
  std::optional<OpenSection> to = fileAt(in, w, i, toRef);
  if (!to || !writable(in, *to)) return;
  if (i < w.size()) {
    in.message(msg::kSyntax, cat({"'", w[i].text, "' is not understood here."}));
    return;
  }
  const bool overwrite = call.cmd.options.find('O') != std::string::npos;
  store::Account& a = *to->account;
  std::size_t copied = 0;
  std::string body, existing;
  for (const std::string& id : *ids) {
    body.clear();
    if (!from->account->readItem(from->section, id, body)) {
      in.message(msg::kNoSuchItem, cat({"'", id, "' is not an item of file '", fromRef, "'."}));
      continue;
    }
    // One transaction per item: a refused item does not undo the ones copied before it.
    store::Transaction tx(a);
    existing.clear();
    if (!overwrite && a.readItem(to->section, id, existing)) {
      in.message(msg::kItemNotCopied,
                 cat({"'", id, "' is already in file '", toRef, "'; not copied."}));
      continue;
    }
    // Another port's lock is respected; this port's own locks do not stop it.
    if (a.checkWrite(to->section, id, in.state().owner()).heldElsewhere) {
      in.message(msg::kItemLocked, cat({"'", id, "' is locked in file '", toRef, "'."}));
      continue;
    }
    a.writeItem(to->section, id, body);
    tx.commit();
    ++copied;
  }
  in.message(msg::kItemsCopied, cat({std::to_string(copied), " items copied."}));
}

void deleteItems(Interpreter& in, const Invocation& call) {
  const std::vector<Word>& w = call.cmd.words;
  std::size_t i = 0;
  std::string reference;
  std::optional<OpenSection> f = fileAt(in, w, i, reference);
  if (!f || !writable(in, *f)) return;
  std::optional<std::vector<std::string>> ids = itemsAt(in, w, i, *f, {});
  if (!ids) return;
  store::Account& a = *f->account;
  std::size_t deleted = 0;
  for (const std::string& id : *ids) {
    store::Transaction tx(a);
    if (a.checkWrite(f->section, id, in.state().owner()).heldElsewhere) {
      in.message(msg::kItemLocked, cat({"'", id, "' is locked in file '", reference, "'."}));
      continue;
    }
    if (!a.deleteItem(f->section, id)) {
      in.message(msg::kNoSuchItem, cat({"'", id, "' is not an item of file '", reference, "'."}));
      continue;
    }
    tx.commit();
    ++deleted;
  }
  in.message(msg::kItemsDeleted, cat({std::to_string(deleted), " items deleted."}));
}

}  // namespace verbs
}  // namespace tarn::server::tcl
