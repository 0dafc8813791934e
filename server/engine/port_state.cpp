#include "server/engine/port_state.h"

#include <algorithm>

#include "server/engine/store/protection.h"

namespace tarn::server {
namespace {

// The system dictionary of the conventional "mds,," reference is the DM account's MD.
constexpr std::string_view kSystemDictionaryAlias = "MDS";

}  // namespace

std::optional<FileReference> parseFileReference(std::string_view text) {
  FileReference ref;
  text = trimBlanks(text);
  for (;;) {
    std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) break;
    std::string_view word = text.substr(0, blank);
    if (store::equalsNoCase(word, "DICT") || store::equalsNoCase(word, "D")) {
      ref.dictionary = true;
    } else if (store::equalsNoCase(word, "DATA")) {
      ref.dictionary = false;
    } else {
      break;
    }
    text = trimBlanks(text.substr(blank + 1));
  }
  if (text.empty()) return std::nullopt;
  for (;;) {
    std::size_t comma = text.find(',');
    ref.parts.push_back(trimBlanks(text.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    text = text.substr(comma + 1);
  }
  if (ref.parts.size() > 3) return std::nullopt;
  return ref;
}

PortState::PortState(std::unique_ptr<store::System> system, const std::string& account,
                     const Credentials& credentials, const Limits& limits, bool createAccount)
    : limits(limits), system_(std::move(system)) {
  std::optional<std::string> name = store::accountName(account);
  if (!name)
    throw store::StoreError(store::StoreFailure::kOther, "not a valid account name: " + account);
  if (!system_->accountExists(*name)) {
    // A typo in a data source must not make an account: only a data source that says so may.
    if (!createAccount)
      throw store::StoreError(store::StoreFailure::kMissing,
                              "Account " + *name +
                                  " does not exist: create it with CREATE-ACCOUNT " + *name +
                                  ", or connect once with CreateAccount=Yes.");
    account_ = system_->openAccount(*name, true);
  } else {
    account_ = system_->openAccount(*name, false);
  }
  accounts_.push_back(account_);
  owner_.process = store::currentProcess();
  // Credentials first: a refused logon never holds a port number, not even for the delay.
  verified_[account_->name()] =
      store::admit(*account_, credentials.user, credentials.password, store::logonSource());
  owner_.port = system_->claimPort(owner_.process, *name);
}

PortState::~PortState() {
  for (const auto& a : accounts_) {
    try {
      a->releaseAll(owner_);
    } catch (const store::StoreError&) {
      // Left for the liveness sweep of whoever meets them next.
    }
  }
  system_->releasePort(owner_.port);
}

std::shared_ptr<store::Account> PortState::accountNamed(std::string_view name) {
  std::optional<std::string> stored = store::accountName(name);
  if (!stored) return nullptr;
  if (*stored == kSystemDictionaryAlias) stored = std::string(store::kSystemAccount);
  // One object per account and port: the held-lock view and the grant cache live in it, and the
  // destructor's release must reach every account the port ever locked in.
  for (const auto& a : accounts_)
    if (a->name() == *stored) return a;
  if (!system_->accountExists(*stored)) return nullptr;
  std::shared_ptr<store::Account> opened = system_->openAccount(*stored, false);
  accounts_.push_back(opened);
  return opened;
}

bool PortState::mayReach(store::Account& other) {
  if (&other == account_.get() || other.name() == account_->name()) return true;
  // Asked before every use of another account's file: the version costs no table read, the
  // grant lookup only follows a change.
  const std::uint64_t version = other.protectionVersion();
  auto known = std::find_if(reachable_.begin(), reachable_.end(),
                            [&](const Reachable& r) { return r.account == &other; });
  if (known != reachable_.end() && known->version == version && known->from == account_->name())
    return known->allowed;
  const bool allowed = !store::isProtected(other) || other.grants(account_->name());
  if (known == reachable_.end())
    known = reachable_.insert(reachable_.end(), {&other, {}, 0, false});
  *known = {&other, account_->name(), version, allowed};
  return allowed;
}

Place PortState::reach(std::string_view name) {
  Place p;
  p.account = accountNamed(name);
  if (!p.account) return p;
  if (!mayReach(*p.account)) {
    p.account.reset();
    p.access = Access::kRefused;
    return p;
  }
  p.access = Access::kAllowed;
  return p;
}

Place PortState::place(std::string_view first, std::string_view second) {
  if (!first.empty() && account_->findFile(first, caseSensitive))
    return Place{Access::kAllowed, account_, first, second};
  Place p = reach(first);
  p.file = second;
  return p;
}

bool PortState::logTo(std::string_view name, const Credentials& credentials) {
  std::shared_ptr<store::Account> target = accountNamed(name);
  if (!target) return false;
  if (target != account_)
    verified_[target->name()] =
        store::admit(*target, credentials.user, credentials.password, store::logonSource());
  account_ = target;
  system_->movePort(owner_.port, account_->name());
  return true;
}

bool PortState::verified(store::Account& account) {
  const auto known = verified_.find(account.name());
  return known != verified_.end() && known->second == store::credentialStamp(account);
}

void PortState::noteCredentialsSet(store::Account& account) {
  if (account.name() == account_->name())
    verified_[account.name()] = store::credentialStamp(account);
}

bool PortState::mayAdminister(store::Account& target) {
  const std::string& here = account_->name();
  if (here != store::kSystemAccount && here != target.name()) return false;
  // The port must still be what it was let in as: a port that came in before its account was
  // protected (or before its password changed) presented nothing that is checked now.
  if (!verified(*account_)) return false;
  // A protected account is administered only from a protected one: an unprotected DM left over
  // from before DM was protected is no way in.
  return !store::isProtected(target) || store::isProtected(*account_);
}

void PortState::releaseLocks() {
  for (const auto& a : accounts_) a->releaseLocks(owner_);
}

std::optional<OpenSection> PortState::resolve(std::string_view text) {
  std::optional<FileReference> ref = parseFileReference(text);
  if (!ref) return std::nullopt;
  const auto& p = ref->parts;
  Place at;
  switch (p.size()) {
    case 1:
      if (p[0].empty()) return std::nullopt;
      at = Place{Access::kAllowed, account_, p[0], {}};
      break;
    case 2:
      // "name," means the default data section, as a reference ending in a comma often does.
      at = place(p[0], p[1]);
      break;
    default:
      at = reach(p[0]);
      at.file = p[1];
      at.section = p[2];
      break;
  }
  const std::string_view file = at.file.empty() ? store::kMasterDictionary : at.file;
  if (at.access == Access::kRefused && store::equalsNoCase(file, store::kMasterDictionary)) {
    // The system dictionary serves every account however DM is protected (read-only below).
    std::shared_ptr<store::Account> named = accountNamed(p[0]);
    if (named && named->name() == store::kSystemAccount) at = {Access::kAllowed, named, file, {}};
  }
  if (at.access != Access::kAllowed) return std::nullopt;
  std::optional<store::Section> s =
      at.account->findSection(file, ref->dictionary, at.section, caseSensitive);
  if (!s) return std::nullopt;
  // The system dictionary serves every account, but only DM writes it.
  const bool readOnly = at.account->name() == store::kSystemAccount &&
                        account_->name() != store::kSystemAccount &&
                        store::equalsNoCase(s->file, store::kMasterDictionary);
  return OpenSection{at.account, std::move(*s), readOnly};
}

Written PortState::lockedChange(const OpenSection& f, std::string_view id, bool keepLock,
                                const std::function<Written(store::Account&)>& change) {
  if (!mayUse(f)) return Written::kRefused;
  if (f.readOnly) return Written::kReadOnly;
  store::Account& a = *f.account;
  store::Transaction tx(a);
  store::Account::WriteCheck locks = a.checkWrite(f.section, id, owner_);
  if (locks.heldElsewhere) return Written::kLocked;
  const Written done = change(a);
  if (done == Written::kAbandoned) return done;
  if (!keepLock && locks.heldByOwner) a.unlockItem(f.section, id, owner_);
  tx.commit();
  return done;
}

Written PortState::stageItem(const OpenSection& f, std::string_view id,
                             std::optional<std::string> body) {
  if (!mayUse(f)) return Written::kRefused;
  if (f.readOnly) return Written::kReadOnly;
  return stageLockedChange(transaction, f.account, f.section, id, std::move(body)) ==
                 StagedChange::kStaged
             ? Written::kDone
             : Written::kNotLocked;
}

std::optional<CommitRefusal> PortState::commitTransaction() {
  return transaction.commit(owner_, [this](store::Account& a) { return mayUse(a); });
}

Written PortState::writeItem(const OpenSection& f, std::string_view id, std::string_view body,
                             bool keepLock) {
  if (!mayUse(f)) return Written::kRefused;
  if (f.readOnly) return Written::kReadOnly;
  store::Account& a = *f.account;
  // Usually nobody holds a lock on the item: one conditional statement writes it. A lock of
  // another owner, or one of ours that this write may have to release, takes the checked path.
  if (!a.holdsItemLock(f.section, id) && a.writeItemUnlessLocked(f.section, id, body, owner_))
    return Written::kDone;
  return lockedChange(f, id, keepLock, [&](store::Account& in) {
    in.writeItem(f.section, id, body);
    return Written::kDone;
  });
}

Written PortState::updateItem(const OpenSection& f, std::string_view id, bool keepLock,
                              const std::function<bool(std::string& body)>& change) {
  return lockedChange(f, id, keepLock, [&](store::Account& in) {
    body_.clear();
    (void)in.readItem(f.section, id, body_);
    if (!change(body_)) return Written::kAbandoned;
    in.writeItem(f.section, id, body_);
    return Written::kDone;
  });
}

Written PortState::deleteItem(const OpenSection& f, std::string_view id) {
  return lockedChange(f, id, false, [&](store::Account& in) {
    return in.deleteItem(f.section, id) ? Written::kDone : Written::kMissing;
  });
}

}  // namespace tarn::server
