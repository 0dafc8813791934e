#include "server/engine/transaction.h"

#include <algorithm>

namespace tarn::server {

bool PortTransaction::start() noexcept {
  if (active_) return false;
  clear();
  active_ = true;
  return true;
}

PortTransaction::Key PortTransaction::keyOf(const store::Account& account, const store::Section& s,
                                            std::string_view id) {
  std::string scratch;
  return Key(&account, s.id, std::string(store::itemKey(s, id, scratch)));
}

PortTransaction::Pending PortTransaction::find(const store::Account& account,
                                               const store::Section& s, std::string_view id,
                                               std::string& body) const {
  if (changes_.empty()) return Pending::kNone;
  auto at = staged_.find(keyOf(account, s, id));
  if (at == staged_.end()) return Pending::kNone;
  const Change& c = changes_[at->second];
  if (!c.body) return Pending::kDeleted;
  body += *c.body;
  return Pending::kWritten;
}

void PortTransaction::stage(const std::shared_ptr<store::Account>& account, const store::Section& s,
                            std::string_view id, std::optional<std::string> body) {
  auto [at, fresh] = staged_.try_emplace(keyOf(*account, s, id), changes_.size());
  if (fresh) {
    changes_.push_back({account, s, std::string(id), std::move(body)});
  } else {
    changes_[at->second].body = std::move(body);
  }
}

void PortTransaction::holdToEnd(const std::shared_ptr<store::Account>& account,
                                const store::Section& s, std::string_view id) {
  if (heldKeys_.try_emplace(keyOf(*account, s, id), held_.size()).second)
    held_.push_back({account, s, std::string(id), std::nullopt});
}

namespace {

// Store transactions on every account a list of changes or locks touches, opened together so that
// what is done under them commits (or rolls back) as one per account.
class AccountTransactions {
 public:
  void cover(store::Account& a) {
    for (const auto& [account, tx] : open_)
      if (account == &a) return;
    open_.emplace_back(&a, std::make_unique<store::Transaction>(a));
  }
  // Accounts of one system on SQLite are separate files: their commits follow one another.
  void commit() {
    for (auto& entry : open_) entry.second->commit();
  }

 private:
  std::vector<std::pair<store::Account*, std::unique_ptr<store::Transaction>>> open_;
};

}  // namespace

std::optional<std::string> PortTransaction::commit(const store::LockOwner& owner) {
  struct Ender {
    PortTransaction& t;
    const store::LockOwner& owner;
    ~Ender() { t.abort(owner); }  // releases the locks of a commit that did not happen
  } ender{*this, owner};

  AccountTransactions txs;
  for (const Change& c : changes_) txs.cover(*c.account);
  for (const Change& h : held_) txs.cover(*h.account);
  // Every check comes before any change, so a refusal leaves every account as it was.
  for (const Change& c : changes_)
    if (c.account->checkWrite(c.section, c.id, owner).heldElsewhere) return c.id;
  for (const Change& c : changes_) {
    if (c.body) {
      c.account->writeItem(c.section, c.id, *c.body);
    } else {
      (void)c.account->deleteItem(c.section, c.id);
    }
  }
  // The locks go in the same store transaction as the changes they guarded.
  for (const Change& h : held_) h.account->unlockItem(h.section, h.id, owner);
  txs.commit();
  clear();
  return std::nullopt;
}

void PortTransaction::abort(const store::LockOwner& owner) noexcept {
  releaseHeld(owner);
  clear();
}

void PortTransaction::releaseHeld(const store::LockOwner& owner) noexcept {
  if (held_.empty()) return;
  try {
    AccountTransactions txs;
    for (const Change& h : held_) txs.cover(*h.account);
    for (const Change& h : held_) h.account->unlockItem(h.section, h.id, owner);
    txs.commit();
  } catch (...) {
    // A lost or failing store: the port's locks end with its session or process.
  }
}

void PortTransaction::clear() noexcept {
  changes_.clear();
  staged_.clear();
  held_.clear();
  heldKeys_.clear();
  active_ = false;
}

}  // namespace tarn::server

namespace tarn::server {

StagedChange stageLockedChange(PortTransaction& transaction,
                               const std::shared_ptr<store::Account>& account,
                               const store::Section& s, std::string_view id,
                               std::optional<std::string> body) {
  if (!account->holdsItemLock(s, id)) return StagedChange::kNotLocked;
  transaction.stage(account, s, id, std::move(body));
  transaction.holdToEnd(account, s, id);
  return StagedChange::kStaged;
}

bool readThrough(const PortTransaction& transaction, store::Account& account,
                 const store::Section& s, std::string_view id, std::string& out) {
  switch (transaction.find(account, s, id, out)) {
    case PortTransaction::Pending::kWritten:
      return true;
    case PortTransaction::Pending::kDeleted:
      return false;
    case PortTransaction::Pending::kNone:
      break;
  }
  return account.readItem(s, id, out);
}

}  // namespace tarn::server
