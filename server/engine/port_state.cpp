#include "server/engine/port_state.h"

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

PortState::PortState(std::unique_ptr<store::SystemDirectory> system, const std::string& account,
                     const Limits& limits)
    : limits(limits), system_(std::move(system)) {
  std::optional<std::string> name = store::accountName(account);
  if (!name) throw store::StoreError(SQLITE_MISUSE, "not a valid account name: " + account);
  account_ = system_->openAccount(*name, !system_->accountExists(*name));
  accounts_.push_back(account_);
  owner_.process = store::currentProcess();
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

bool PortState::logTo(std::string_view name) {
  std::shared_ptr<store::Account> target = accountNamed(name);
  if (!target) return false;
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
    if (!in) return std::nullopt;
    if (file.empty()) file = store::kMasterDictionary;
    std::optional<store::Section> s = in->findSection(file, ref->dictionary, section, exact);
    if (!s) return std::nullopt;
    return OpenSection{in, std::move(*s)};
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
