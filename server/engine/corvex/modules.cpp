#include "server/engine/corvex/modules.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/engine/corvex/value.h"
#include "server/engine/store/store.h"
#include "server/engine/vocabulary.h"

namespace tarn::server::corvex {
namespace {

// Object code sits in the dictionary of the source file under the module's name with this
// prefix, so that it travels with the file and cannot be taken for source.
constexpr std::string_view kObjectPrefix = "$";
// A catalog entry in the MD: attribute 1 this kind, then account, file and item of the module.
constexpr std::string_view kCatalogKind = "R";

std::vector<std::string_view> commaParts(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t comma = text.find(',');
    // Blanks around the commas are allowed ("BP, HELLO"); the parts themselves never hold blanks.
    parts.push_back(trimBlanks(text.substr(0, comma)));
    if (comma == std::string_view::npos) return parts;
    text.remove_prefix(comma + 1);
  }
}

// The account, source file and item a COMPILE or CATALOG names.
struct Source {
  std::shared_ptr<store::Account> account;
  std::string file;
  std::string item;
};

std::optional<Source> sourceOf(PortState& state, std::string_view arguments, const Reporter& out) {
  // Options in parentheses are accepted and ignored: none changes what COMPILE or CATALOG does.
  std::size_t options = arguments.find('(');
  std::vector<std::string_view> p = commaParts(arguments.substr(0, options));
  if ((p.size() != 2 && p.size() != 3) || p.back().empty() || p[p.size() - 2].empty()) {
    out.message(msg::kSyntax, "COMPILE and CATALOG take base,file, name or file, name.");
    return std::nullopt;
  }
  // "base,file" follows the reference rule: base is a file of this account with file as its data
  // section ("BP,BP"), else an account with file in it.
  Place at = p.size() == 3 ? state.place(p[0], p[1])
                           : Place{Access::kAllowed, state.accountRef(), p[0], {}};
  if (at.access == Access::kMissing) {
    out.message(msg::kNotAnAccount, "'" + std::string(p[0]) + "' is not an account.");
    return std::nullopt;
  }
  if (at.access == Access::kRefused) {
    out.message(msg::kAccessRefused, "Account " + std::string(p[0]) + " refused the access.");
    return std::nullopt;
  }
  Source s;
  s.account = at.account;
  s.item = std::string(p.back());
  std::optional<std::string> file = s.account->findFile(at.file, state.caseSensitive);
  if (file && !at.section.empty() &&
      !s.account->findSection(*file, false, at.section, state.caseSensitive))
    file.reset();
  if (!file) {
    out.message(msg::kNotAFile, "'" + std::string(at.section.empty() ? at.file : p[0]) +
                                    (at.section.empty() ? "" : "," + std::string(at.section)) +
                                    "' is not a file name.");
    return std::nullopt;
  }
  s.file = at.section.empty() ? *file : *file + "," + std::string(at.section);
  return s;
}

// A module's file as kept in a Source and a catalog entry: "FILE", or "FILE,SECTION" when the
// source sits in a data section other than the file's default one.
std::pair<std::string_view, std::string_view> fileAndSection(std::string_view file) {
  const std::size_t comma = file.find(',');
  if (comma == std::string_view::npos) return {file, {}};
  return {file.substr(0, comma), file.substr(comma + 1)};
}

std::string objectId(std::string_view item) {
  return std::string(kObjectPrefix) + std::string(item);
}

// The module's program from its object item; status 2 when neither source nor object is
// there, 46 when only the source is. account is one the port may reach, or null.
Found loadObject(PortState& state, const std::shared_ptr<store::Account>& account,
                 std::string_view reference, std::string_view item) {
  Found f;
  f.status = status::kItemMissing;
  if (!account) return f;
  f.account = account;
  const auto [file, section] = fileAndSection(reference);
  std::optional<store::Section> dict = account->findSection(file, true, {}, state.caseSensitive);
  if (!dict) return f;
  std::string object;
  if (account->readItem(*dict, objectId(item), object)) {
    // Object code that no longer loads (damaged, or from an older layout) counts as missing, so
    // the answer becomes "compile it again" rather than a failed call.
    f.program = deserialize(object);
    if (f.program) {
      f.status = status::kOk;
      return f;
    }
  }
  std::optional<store::Section> data =
      account->findSection(file, false, section, state.caseSensitive);
  std::string source;
  // 46 only when the source is there, so a client can tell "compile it" from "no such module".
  if (data && account->readItem(*data, item, source)) f.status = status::kNotCompiled;
  return f;
}

Found loadCataloged(PortState& state, const std::shared_ptr<store::Account>& in,
                    std::string_view name) {
  Found f;
  f.status = status::kItemMissing;
  if (!in) return f;
  std::optional<store::Section> md = in->findSection(store::kMasterDictionary, false, {}, false);
  std::string entry;
  if (!md || !in->readItem(*md, name, entry)) return f;
  if (extract(entry, 1, 0, 0) != kCatalogKind) return f;
  // The entry may name any account (anyone can write an MD item of this shape): the grant is
  // checked when the module is loaded, not only when it was cataloged.
  return loadObject(state, state.reach(extract(entry, 2, 0, 0)).account, extract(entry, 3, 0, 0),
                    extract(entry, 4, 0, 0));
}

}  // namespace

void compileCommand(PortState& state, std::string_view arguments, const Reporter& out) {
  std::optional<Source> s = sourceOf(state, arguments, out);
  if (!s) return;
  const auto [file, section] = fileAndSection(s->file);
  std::optional<store::Section> data =
      s->account->findSection(file, false, section, state.caseSensitive);
  std::optional<store::Section> dict = s->account->findSection(file, true, {}, state.caseSensitive);
  std::string source;
  if (!data || !dict || !s->account->readItem(*data, s->item, source)) {
    out.message(msg::kNoSource, "'" + s->item + "' is not in file '" + s->file + "'.");
    return;
  }
  // $INCLUDE item reads from the same file; $INCLUDE file item (or file, item) from another,
  // by the references "O" takes and with the same grants.
  const Includer include = [&](std::string_view reference) -> std::optional<std::string> {
    std::size_t split = reference.find_first_of(", ");
    std::string text;
    if (split == std::string_view::npos) {
      if (!s->account->readItem(*data, reference, text)) return std::nullopt;
      return text;
    }
    std::string_view item = reference.substr(split + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == ',')) item.remove_prefix(1);
    std::optional<OpenSection> other = state.resolve(reference.substr(0, split));
    if (!other || item.empty() || !other->account->readItem(other->section, item, text))
      return std::nullopt;
    return text;
  };
  Compiled c = compile(source, include);
  // Nothing is written when the compile fails: a module's last good object code stays in use.
  if (!c.program) {
    for (const CompileError& e : c.errors)
      out.print("Line " + std::to_string(e.line) + ": " + e.text + ".");
    out.message(msg::kNotCompiled, "'" + s->item + "' did not compile: " +
                                       std::to_string(c.errors.size()) + " errors.");
    return;
  }
  std::string object = serialize(*c.program);
  // Object code is an item like any other: no bigger than the port would let a client write.
  if (object.size() > state.limits.itemBytes) {
    out.message(msg::kOverLimit, "The object code of '" + s->item + "' (" +
                                     std::to_string(object.size()) +
                                     " bytes) is over the item size limit of " +
                                     std::to_string(state.limits.itemBytes) + " bytes.");
    return;
  }
  // Into the source file's dictionary, which sourceOf has checked the port may reach.
  s->account->writeItem(*dict, objectId(s->item), object);
  out.message(msg::kCompiled, "'" + s->item + "' compiled.");
}

void catalogCommand(PortState& state, std::string_view arguments, const Reporter& out) {
  std::optional<Source> s = sourceOf(state, arguments, out);
  if (!s) return;
  Found f = loadObject(state, s->account, s->file, s->item);
  if (!f.program) {
    out.message(msg::kNoObject, "'" + s->item + "' has not been compiled.");
    return;
  }
  std::optional<store::Section> md =
      state.account().findSection(store::kMasterDictionary, false, {}, false);
  if (!md) {
    out.message(msg::kNotAFile, "'MD' is not a file name.");
    return;
  }
  // The entry goes into this port's own MD: cataloging names a module for this account and never
  // writes into the account that holds it.
  std::string entry(kCatalogKind);
  for (const std::string* part : {&s->account->name(), static_cast<const std::string*>(&s->file),
                                  static_cast<const std::string*>(&s->item)}) {
    entry.push_back(kAttributeMark);
    entry += *part;
  }
  state.account().writeItem(*md, s->item, entry);
  out.message(msg::kCataloged, "'" + s->item + "' cataloged.");
}

Found findModule(PortState& state, std::string_view reference) {
  std::vector<std::string_view> p = commaParts(reference);
  Found missing;
  missing.status = status::kItemMissing;
  for (std::string_view part : p)
    if (part.empty()) return missing;
  switch (p.size()) {
    case 1:
      return loadCataloged(state, state.accountRef(), p[0]);
    case 2: {
      // A file of this account and a module in it, else an account and a name cataloged there.
      Place at = state.place(p[0], {});
      // at.file is set only when p[0] is a file of this account; otherwise p[0] named an account.
      if (!at.file.empty()) return loadObject(state, at.account, at.file, p[1]);
      return loadCataloged(state, at.account, p[1]);
    }
    case 3: {
      // As in COMPILE: a file of this account and its data section, else an account and a file.
      Place at = state.place(p[0], p[1]);
      if (at.access != Access::kAllowed) return missing;
      return loadObject(state, at.account,
                        at.section.empty() ? std::string(at.file)
                                           : std::string(at.file) + "," + std::string(at.section),
                        p[2]);
    }
    default:
      return missing;
  }
}

}  // namespace tarn::server::corvex
