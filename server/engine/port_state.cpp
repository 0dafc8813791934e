#include "server/engine/port_state.h"

#include <chrono>
#include <thread>

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

// Checks credentials for a protected account. A failure is counted against source and answered
// only after a delay that grows with the count, so guessing is slow; the password is never
// written anywhere.
void admit(store::Account& account, const Credentials& credentials, const std::string& source) {
  if (!store::isProtected(account)) return;
  if (store::credentialsMatch(account, credentials.user, credentials.password)) {
    account.clearFailedLogons(source);
    return;
  }
  std::this_thread::sleep_for(store::recordFailedLogon(account, source));
  throw store::AccessDenied(
      "Account " + account.name() +
      (credentials.user.empty() ? " needs a user and password" : " refused the user and password"));
}

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
                     const Credentials& credentials, const Limits& limits)
    : limits(limits), system_(std::move(system)) {
  std::optional<std::string> name = store::accountName(account);
  if (!name) throw store::StoreError(store::StoreFailure::kOther, "not a valid account name: " + account);
  account_ = system_->openAccount(*name, !system_->accountExists(*name));
  accounts_.push_back(account_);
  owner_.process = store::currentProcess();
  admit(*account_, credentials, "process " + std::to_string(owner_.process.pid));
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
  if (target != account_) admit(*target, credentials, "port " + std::to_string(owner_.port));
  account_ = target;
  system_->movePort(owner_.port, account_->name());
  return true;
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
    if (!in || !mayReach(*in)) return std::nullopt;
    if (file.empty()) file = store::kMasterDictionary;
    std::optional<store::Section> s = in->findSection(file, ref->dictionary, section, exact);
    if (!s) return std::nullopt;
    // The system dictionary serves every account, but only DM writes it.
    const bool readOnly = in->name() == store::kSystemAccount &&
                          account_->name() != store::kSystemAccount &&
                          store::equalsNoCase(s->file, store::kMasterDictionary);
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
