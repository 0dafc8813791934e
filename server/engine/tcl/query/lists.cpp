// SAVE-LIST, GET-LIST and DELETE-LIST: named select lists kept as items of a file of the
// account's own, so that they outlive the port and any client can read them as a file.
#include <algorithm>

#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

constexpr std::string_view kListFile = "&SAVEDLISTS&";

// The list's name: one word, no marks. Nothing (after a message) otherwise.
std::optional<std::string> listName(Interpreter& in, const Invocation& call) {
  if (call.cmd.words.empty()) {
    in.message(msg::kSyntax, cat({"A list name is missing after '", call.verb, "'."}));
    return std::nullopt;
  }
  if (call.cmd.words.size() > 1) {
    in.message(msg::kSyntax, cat({"'", call.cmd.words[1].text, "' is not understood here."}));
    return std::nullopt;
  }
  const std::string& name = call.cmd.words[0].text;
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0xFB || static_cast<unsigned char>(c) < 0x20 ||
        name.size() > 255) {
      in.message(msg::kBadListName, cat({"'", name, "' is not a valid list name."}));
      return std::nullopt;
    }
  }
  if (name.empty()) {
    in.message(msg::kBadListName, "'' is not a valid list name.");
    return std::nullopt;
  }
  return name;
}

// The data section of the list file; made on first use when make is set.
std::optional<store::Section> listFile(Interpreter& in, bool make) {
  store::Account& a = in.state().account();
  std::optional<store::Section> s = a.findSection(kListFile, false, {}, false);
  if (s || !make) return s;
  store::Transaction tx(a);
  // Ids not folded: list names are kept as typed. Both results are ignored, since another port
  // may have made the file meanwhile; the lookup below is what counts.
  (void)a.createDictionary(kListFile, 1, false);
  (void)a.createDataSection(kListFile, kListFile, 1, false);
  tx.commit();
  return a.findSection(kListFile, false, {}, false);
}

}  // namespace

namespace verbs {

void saveList(Interpreter& in, const Invocation& call) {
  std::optional<std::string> name = listName(in, call);
  if (!name) return;
  if (!in.state().activeList) {
    in.message(msg::kNoActiveList, "There is no active list to save.");
    return;
  }
  // A saved list is an item like any other, so the item limit holds for it too.
  const std::size_t limit = in.state().limits.itemBytes;
  if (in.state().activeList->ids.size() > limit) {
    in.overLimit(cat({"The list of ", std::to_string(in.state().activeList->ids.size()),
                      " bytes is over the item limit of ", std::to_string(limit), " bytes."}));
    return;
  }
  std::optional<store::Section> file = listFile(in, true);
  if (!file) throw store::StoreError(store::StoreFailure::kOther, "the list file was not made");
  // Saving uses the list up, as a sentence that reads it would.
  IdList list = std::move(*in.state().activeList);
  in.state().activeList.reset();
  store::Account& a = in.state().account();
  store::Transaction tx(a);
  a.writeItem(*file, *name, list.ids);
  tx.commit();
  in.message(msg::kListSaved,
             cat({"List '", *name, "' saved: ", std::to_string(list.count), " items."}));
}

void getList(Interpreter& in, const Invocation& call) {
  std::optional<std::string> name = listName(in, call);
  if (!name) return;
  std::optional<store::Section> file = listFile(in, false);
  IdList list;
  if (!file || !in.state().account().readItem(*file, *name, list.ids)) {
    in.message(msg::kNoSuchList, cat({"'", *name, "' is not a saved list."}));
    return;
  }
  // The count is not stored with the list: one id per attribute, so it is the marks plus one.
  if (!list.ids.empty())
    list.count =
        static_cast<std::size_t>(std::count(list.ids.begin(), list.ids.end(), kAttributeMark) + 1);
  // The same words as SELECT's, so that a client reads the count where it reads SELECT's.
  in.print(cat({"Active list: ", std::to_string(list.count), " items selected."}));
  in.note(list.count > 0 ? msg::kSelected : msg::kNoItems);
  // No items make no list: the next sentence reads the file, not nothing.
  in.state().activeList.reset();
  if (list.count > 0) in.state().activeList = std::move(list);
}

void deleteList(Interpreter& in, const Invocation& call) {
  std::optional<std::string> name = listName(in, call);
  if (!name) return;
  std::optional<store::Section> file = listFile(in, false);
  store::Account& a = in.state().account();
  // The delete is only committed when it found the item; otherwise the guard rolls back.
  store::Transaction tx(a);
  if (!file || !a.deleteItem(*file, *name)) {
    in.message(msg::kNoSuchList, cat({"'", *name, "' is not a saved list."}));
    return;
  }
  tx.commit();
  in.message(msg::kListDeleted, cat({"List '", *name, "' deleted."}));
}

}  // namespace verbs
}  // namespace tarn::server::tcl
