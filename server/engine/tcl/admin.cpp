// The administration verbs: files, accounts, indexes and account protection.
#include <charconv>

#include "server/engine/store/protection.h"
#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

// The file and correlative of an index command; nothing (after a message) when either is bad.
struct IndexTarget {
  OpenSection file;
  std::string reference;
  store::Correlative correlative;
};

// A file or section name: no marks, no commas in a name part, at most 128 bytes.
bool validName(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    // A comma would split the name when it is read back as "file,section"; marks would split the
    // item that lists it; control bytes make names no one can type.
    if (u >= 0xFB || c == ',' || u < 0x20) return false;
  }
  return true;
}

std::optional<IndexTarget> indexTarget(Interpreter& in, const CommandLine& cmd) {
  if (cmd.words.size() < 2) {
    in.message(msg::kSyntax, "A file name or index correlative is missing.");
    return std::nullopt;
  }
  // The last word is the correlative; the words before it name the file ("DICT CUST").
  std::string reference;
  for (std::size_t i = 0; i + 1 < cmd.words.size(); ++i)
    reference += (i == 0 ? "" : " ") + cmd.words[i].text;
  const std::string& text = cmd.words.back().text;
  std::optional<store::Correlative> correlative = store::parseCorrelative(text);
  if (!correlative) {
    in.message(msg::kBadCorrelative, cat({"'", text, "' is not a valid index correlative."}));
    return std::nullopt;
  }
  // Through resolve, so an index on another account's file needs that account's grant.
  std::optional<OpenSection> file = in.state().resolve(reference);
  if (!file) {
    in.message(msg::kNotAFile, cat({"'", reference, "' is not a file name."}));
    return std::nullopt;
  }
  return IndexTarget{std::move(*file), std::move(reference), std::move(*correlative)};
}

// The account named by the command's first word when the port may change its protection: from
// DM or the account itself, on a logon whose credentials are still that account's (see
// PortState::mayAdminister). Prints why not and gives nothing otherwise.
std::shared_ptr<store::Account> ownAccount(Interpreter& in, const CommandLine& cmd) {
  if (cmd.words.empty()) {
    in.message(msg::kSyntax, "An account name is missing.");
    return nullptr;
  }
  const std::string& name = cmd.words.front().text;
  std::shared_ptr<store::Account> target = in.state().accountForLogon(name);
  if (!target) {
    in.message(msg::kNotAnAccount, cat({"'", name, "' is not an account."}));
    return nullptr;
  }
  // One rule for PROTECT, GRANT and REVOKE: none lets a port change an account it does not
  // administer.
  if (!in.state().mayAdminister(*target)) {
    in.message(msg::kNotYours, cat({"Only DM or account ", target->name(),
                                    " may change its protection, from a port logged on with the "
                                    "credentials it has now."}));
    return nullptr;
  }
  return target;
}

void changeGrant(Interpreter& in, const CommandLine& cmd, bool grant) {
  std::shared_ptr<store::Account> target = ownAccount(in, cmd);
  if (!target) return;
  if (cmd.words.size() < 2) {
    in.message(msg::kSyntax, "The account to trust is missing.");
    return;
  }
  // Only the name is checked, not that the account exists: a grant may be made before the
  // account it trusts is created.
  std::optional<std::string> other = store::accountName(cmd.words[1].text);
  if (!other) {
    in.message(msg::kBadAccountName,
               cat({"'", cmd.words[1].text, "' is not a valid account name."}));
    return;
  }
  if (grant) {
    target->grant(*other);
    in.message(msg::kGranted, cat({"Account ", target->name(), " grants ", *other, "."}));
  } else {
    target->revoke(*other);
    in.message(msg::kRevoked, cat({"Account ", target->name(), " no longer grants ", *other, "."}));
  }
}

}  // namespace

namespace verbs {

void createFile(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  const auto& w = cmd.words;
  std::size_t i = 0;
  int level = 0;  // 0 both, 1 dictionary, 2 data
  // A quoted "DICT" or "DATA" is a file of that name, not the keyword.
  if (i < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DICT")) {
    level = 1;
    ++i;
  } else if (i < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DATA")) {
    level = 2;
    ++i;
  }
  if (i >= w.size()) {
    in.message(msg::kSyntax, "A file name is missing.");
    return;
  }
  std::string full = w[i++].text;
  std::size_t comma = full.find(',');
  std::string file = full.substr(0, comma);
  std::string section = comma == std::string::npos ? file : full.substr(comma + 1);
  // "NAME," and "NAME" both mean the data section named after the file.
  if (!section.empty() && section.back() == ',') section.pop_back();
  if (section.empty()) section = file;
  if (!validName(file) || !validName(section) || (level == 1 && comma != std::string::npos)) {
    in.message(msg::kBadFileName, cat({"'", full, "' is not a valid file name."}));
    return;
  }
  long modulo = 1;
  if (i < w.size()) {
    const std::string& m = w[i].text;
    auto [end, ec] = std::from_chars(m.data(), m.data() + m.size(), modulo);
    if (ec != std::errc() || end != m.data() + m.size() || modulo < 1) {
      in.message(msg::kBadModulo, cat({"'", m, "' is not a valid modulo."}));
      return;
    }
  }
  // (S makes item-ids case-sensitive in the new file; the default folds them.
  const bool caseFold = cmd.options.find('S') == std::string::npos;
  store::Account& a = in.state().account();
  bool made = false;
  if (level == 1) {
    made = a.createDictionary(file, modulo, caseFold);
  } else if (level == 2) {
    made = a.createDataSection(file, section, modulo, caseFold);
  } else {
    // Both sections or neither: a failure in the second leaves no half-made file.
    store::Transaction tx(a);
    made = a.createDictionary(file, modulo, caseFold) &&
           a.createDataSection(file, section, modulo, caseFold);
    if (made) tx.commit();
  }
  std::string shown =
      level == 1 ? cat({"DICT ", file}) : (level == 2 ? cat({file, ",", section}) : file);
  if (made)
    in.message(msg::kFileCreated,
               cat({"File '", shown, "' created; modulo ", std::to_string(modulo), "."}));
  else
    in.message(msg::kFileExists, cat({"File '", shown, "' already exists."}));
}

void deleteFile(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  const auto& w = cmd.words;
  std::size_t i = 0;
  int level = 0;
  // The keyword needs a name after it: "DELETE-FILE DICT" alone deletes a file called DICT.
  if (i + 1 < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DICT")) {
    level = 1;
    ++i;
  } else if (i + 1 < w.size() && !w[i].quoted && equalsNoCase(w[i].text, "DATA")) {
    level = 2;
    ++i;
  }
  if (i >= w.size()) {
    in.message(msg::kSyntax, "A file name is missing.");
    return;
  }
  const std::string& full = w[i].text;
  std::size_t comma = full.find(',');
  std::string file = full.substr(0, comma);
  std::string section = comma == std::string::npos ? std::string() : full.substr(comma + 1);
  store::Account& a = in.state().account();
  std::optional<std::string> canonical = a.findFile(file, in.state().caseSensitive);
  if (!canonical) {
    in.message(msg::kNotAFile, cat({"'", full, "' is not a file name."}));
    return;
  }
  if (equalsNoCase(*canonical, store::kMasterDictionary)) {
    in.message(msg::kMasterDictionary, "The master dictionary cannot be deleted.");
    return;
  }
  std::vector<store::Section> doomed;
  for (store::Section& s : a.sections(*canonical)) {
    // "file,section" takes that data section only; DATA takes every data section; DICT and the
    // bare name take them all, since a data section is never left without its dictionary.
    bool chosen = !section.empty() ? (!s.dictionary && equalsNoCase(s.name, section))
                                   : (level != 2 || !s.dictionary);
    if (chosen) doomed.push_back(std::move(s));
  }
  if (doomed.empty()) {
    in.message(msg::kNotAFile, cat({"'", full, "' is not a file name."}));
    return;
  }
  // (U deletes a file other ports have open, but never one where another port holds a lock:
  // their locked writes would land in a file that is gone.
  const bool always = cmd.options.find('U') != std::string::npos;
  store::Transaction tx(a);
  // Checked inside the transaction that drops, so the answer still holds at the commit.
  for (const store::Section& s : doomed) {
    if (a.sectionHeldElsewhere(s, in.state().owner()) ||
        (!always && a.openElsewhere(s, in.state().owner()))) {
      in.message(msg::kFileInUse, cat({"File '", full, "' is in use."}));
      return;
    }
  }
  a.dropSections(doomed);
  tx.commit();
  in.message(msg::kFileDeleted, cat({"File '", full, "' deleted."}));
}

void clearFile(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  std::string reference;
  for (const Word& w : cmd.words) reference += (reference.empty() ? "" : " ") + w.text;
  if (reference.empty()) {
    in.message(msg::kSyntax, "A file name is missing.");
    return;
  }
  std::optional<OpenSection> target = in.state().resolve(reference);
  if (!target) {
    in.message(msg::kNotAFile, cat({"'", reference, "' is not a file name."}));
    return;
  }
  // The system dictionary is shared by every account; only DM may change it.
  if (target->readOnly) {
    in.message(msg::kSystemDictionary, "The system dictionary is written only from DM.");
    return;
  }
  store::Account& a = *target->account;
  store::Transaction tx(a);
  // Open files may be cleared (their items just go); a held lock may not, since its owner expects
  // the item it locked to be there.
  if (a.sectionHeldElsewhere(target->section, in.state().owner())) {
    in.message(msg::kFileInUse, cat({"File '", reference, "' is in use."}));
    return;
  }
  a.clearSection(target->section);
  tx.commit();
  in.message(msg::kFileCleared, cat({"File '", reference, "' cleared."}));
}

void logTo(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  if (cmd.words.empty()) {
    in.message(msg::kSyntax, "An account name is missing.");
    in.input().discard();
    return;
  }
  const std::string& name = cmd.words.front().text;
  // A protected account takes its user and password from the next two stacked lines, also when
  // the port is on it already, so that the caller's lines mean the same either way.
  Credentials credentials;
  std::shared_ptr<store::Account> target = in.state().accountForLogon(name);
  if (target && store::isProtected(*target)) {
    credentials.user = std::string(in.input().next().value_or(""));
    credentials.password = std::string(in.input().next().value_or(""));
  }
  // On any refusal the lines after it were meant for the other account (or are credentials for
  // an account that is not there): none of them runs.
  try {
    if (!in.state().logTo(name, credentials)) {
      in.message(msg::kNotAnAccount, cat({"'", name, "' is not an account."}));
      in.input().discard();
      return;
    }
  } catch (const store::AccessDenied&) {
    in.message(msg::kAccessRefused, cat({"Account ", target->name(), " refused the logon."}));
    in.input().discard();
    return;
  }
  in.message(msg::kLoggedOn, cat({"Logged on to account ", in.state().account().name(), "."}));
}

void updateMd(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  if (cmd.words.empty()) {
    in.message(msg::kSyntax, "An account name is missing.");
    return;
  }
  const std::string& name = cmd.words.front().text;
  // reach applies the grant check: writing another account's verbs needs its grant, and DM's
  // verbs are written only from DM.
  Place at = in.state().reach(name);
  if (at.access == Access::kMissing) {
    in.message(msg::kNotAnAccount, cat({"'", name, "' is not an account."}));
    return;
  }
  std::shared_ptr<store::Account> target = at.account;
  if (!target || (target->name() == store::kSystemAccount &&
                  in.state().account().name() != store::kSystemAccount)) {
    in.message(msg::kAccessRefused,
               cat({"Account ", target ? target->name() : store::upperAscii(name),
                    " refused the access."}));
    return;
  }
  std::optional<store::Section> md =
      target->findSection(store::kMasterDictionary, false, {}, false);
  if (!md) {
    in.message(msg::kNotAFile, "'MD' is not a file name.");
    return;
  }
  // (n adds the missing verbs only; without it every verb entry is written afresh.
  const bool keep = cmd.options.find('N') != std::string::npos;
  int updated = 0;
  store::Transaction tx(*target);
  std::string existing;
  for (std::string_view verb : builtInVerbs()) {
    existing.clear();
    if (keep && target->readItem(*md, verb, existing)) continue;
    // A verb entry: "V", then the built-in verb it runs (here the same name).
    std::string entry = "V";
    entry += kAttributeMark;
    entry += verb;
    target->writeItem(*md, verb, entry);
    ++updated;
  }
  tx.commit();
  in.message(msg::kVerbsUpdated,
             cat({std::to_string(updated), " verbs updated in account ", target->name(), "."}));
}

void createAccount(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  if (cmd.words.empty()) {
    in.message(msg::kSyntax, "An account name is missing.");
    return;
  }
  const std::string& name = cmd.words.front().text;
  std::optional<std::string> stored = store::accountName(name);
  if (!stored) {
    in.message(msg::kBadAccountName, cat({"'", name, "' is not a valid account name."}));
    return;
  }
  if (in.state().system().accountExists(*stored)) {
    in.message(msg::kAccountExists, cat({"Account '", *stored, "' already exists."}));
    return;
  }
  // Creating opens it, and the open account is dropped at once: this port stays where it is.
  (void)in.state().system().openAccount(*stored, true);
  in.message(msg::kAccountCreated, cat({"Account '", *stored, "' created."}));
}

void createIndex(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  std::optional<IndexTarget> t = indexTarget(in, cmd);
  if (!t) return;
  store::Account& a = *t->file.account;
  const store::Section& section = t->file.section;
  const bool replace = cmd.options.find('O') != std::string::npos;
  store::Transaction tx(a);
  if (!replace && a.indexes().find(section, t->correlative)) {
    // Callers test for this output exactly, so it is the bare number.
    in.print(std::to_string(msg::kIndexExists));
    in.note(msg::kIndexExists);
    return;
  }
  std::size_t items = 0;
  // The store drives the scan, so it can fill the index in batches inside this transaction.
  a.indexes().build(section, t->correlative, [&](const auto& visit) {
    a.forEachItem(section, [&](std::string_view id, std::string_view body) {
      ++items;
      visit(id, body);
    });
  });
  tx.commit();
  in.message(msg::kIndexCreated, cat({"Index '", t->correlative.text(), "' built on file '",
                                      t->reference, "' over ", std::to_string(items), " items."}));
}

void deleteIndex(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  std::optional<IndexTarget> t = indexTarget(in, cmd);
  if (!t) return;
  store::Account& a = *t->file.account;
  store::Transaction tx(a);
  if (!a.indexes().drop(t->file.section, t->correlative)) {
    in.message(msg::kNoSuchIndex,
               cat({"File '", t->reference, "' has no index '", t->correlative.text(), "'."}));
    return;
  }
  tx.commit();
  in.message(msg::kIndexDeleted,
             cat({"Index '", t->correlative.text(), "' deleted from file '", t->reference, "'."}));
}

void protectAccount(Interpreter& in, const Invocation& call) {
  const CommandLine& cmd = call.cmd;
  // The two credential lines are taken before anything can refuse, so that they never run as
  // commands.
  const std::optional<std::string_view> user = in.input().next();
  const std::optional<std::string_view> password = in.input().next();
  std::shared_ptr<store::Account> target = ownAccount(in, cmd);
  if (!target) return;
  if (!user || !password || user->empty() || password->empty()) {
    in.message(msg::kSyntax, "A user and a password are needed, as two stacked lines.");
    return;
  }
  // DM administers every account: while it is open to anyone, protecting another account would
  // only look safe.
  if (target->name() != store::kSystemAccount) {
    std::shared_ptr<store::Account> dm = in.state().accountForLogon(store::kSystemAccount);
    if (!dm || !store::isProtected(*dm)) {
      in.message(msg::kProtectDmFirst,
                 cat({"Protect DM first (PROTECT-ACCOUNT DM): no account is protected while DM "
                      "is open to every port. Account ",
                      target->name(), " is unchanged."}));
      return;
    }
  }
  store::setCredentials(*target, *user, *password);
  in.state().noteCredentialsSet(*target);
  in.message(msg::kAccountProtected, cat({"Account ", target->name(), " is protected."}));
}

void grantAccount(Interpreter& in, const Invocation& call) {
  changeGrant(in, call.cmd, true);
}

void revokeAccount(Interpreter& in, const Invocation& call) {
  changeGrant(in, call.cmd, false);
}

}  // namespace verbs
}  // namespace tarn::server::tcl
