#include "server/engine/port_state.h"

#include "server/engine/store/protection.h"

namespace tarn::server {
namespace {

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The system dictionary of the conventional "mds,," reference is the DM account's MD.
constexpr std::string_view kSystemDictionaryAlias = "MDS";

}  // namespace

std::optional<FileReference> parseFileReference(std::string_view text) {
  FileReference ref;
  text = trim(text);
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
    text = trim(text.substr(blank + 1));
  }
  if (text.empty()) return std::nullopt;
  for (;;) {
    std::size_t comma = text.find(',');
    ref.parts.push_back(trim(text.substr(0, comma)));
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
  if (!name) throw store::StoreError(store::StoreFailure::kOther, "not a valid account name: " + account);
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
  for (const auto& a : accounts_)
    if (a->name() == *stored) return a;
  if (!system_->accountExists(*stored)) return nullptr;
  std::shared_ptr<store::Account> opened = system_->openAccount(*stored, false);
  accounts_.push_back(opened);
  return opened;
}

bool PortState::mayReach(store::Account& other) {
  return other.name() == account_->name() || !store::isProtected(other) ||
         other.grants(account_->name());
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
  const bool exact = caseSensitive;
  auto find = [&](const std::shared_ptr<store::Account>& in, std::string_view file,
                  std::string_view section) -> std::optional<OpenSection> {
    if (!in) return std::nullopt;
    if (file.empty()) file = store::kMasterDictionary;
    // The system dictionary serves every account however DM is protected, but only DM writes it.
    const bool systemDictionary =
        in->name() == store::kSystemAccount && store::equalsNoCase(file, store::kMasterDictionary);
    if (!systemDictionary && !mayReach(*in)) return std::nullopt;
    std::optional<store::Section> s = in->findSection(file, ref->dictionary, section, exact);
    if (!s) return std::nullopt;
    const bool readOnly = systemDictionary && account_->name() != store::kSystemAccount;
    return OpenSection{in, std::move(*s), readOnly};
  };
  const auto& p = ref->parts;
  switch (p.size()) {
    case 1:
      if (p[0].empty()) return std::nullopt;
      return find(account_, p[0], {});
    case 2: {
      // A file of this account with a data section, else an account and one of its files.
      if (!p[0].empty() && account_->findFile(p[0], exact)) {
        // "name," means the default data section, as a reference ending in a comma often does.
        return find(account_, p[0], p[1]);
      }
      return find(accountNamed(p[0]), p[1], {});
    }
    default:
      return find(accountNamed(p[0]), p[1], p[2]);
  }
}

}  // namespace tarn::server
