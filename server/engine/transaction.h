// A port's transaction. Item writes and deletes made between its start and its end wait here,
// visible to the port's own reads only, and its commit applies them in one store transaction per
// account. Locks stay visible to every port the moment they are taken: only the changes wait.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "server/engine/store/store.h"

namespace tarn::server {

class PortTransaction {
 public:
  [[nodiscard]] bool active() const noexcept { return active_; }
  // Opens a transaction; false (and nothing changes) when one is already open: they do not nest.
  bool start() noexcept;

  // What the transaction holds for an item: nothing (the store's body stands), a new body
  // (appended to body), or its deletion.
  enum class Pending { kNone, kWritten, kDeleted };
  [[nodiscard]] Pending find(const store::Account& account, const store::Section& s,
                             std::string_view id, std::string& body) const;
  // Stages a write (body set) or a delete (nothing) of an item the port has locked.
  void stage(const std::shared_ptr<store::Account>& account, const store::Section& s,
             std::string_view id, std::optional<std::string> body);
  // Keeps an item lock until the end: one taken inside, or one a write inside would release.
  void holdToEnd(const std::shared_ptr<store::Account>& account, const store::Section& s,
                 std::string_view id);

  // Applies every staged change, then releases the locks held to the end. A change whose item
  // another port has meanwhile locked (the port lost its own lock) makes the whole commit fail
  // with nothing applied: returns that item's id then. Throws store::StoreError when the store
  // fails; the transaction is over either way, rolled back when it did not commit.
  [[nodiscard]] std::optional<std::string> commit(const store::LockOwner& owner);
  // Drops every staged change and releases the locks held to the end. Never throws.
  void abort(const store::LockOwner& owner) noexcept;

 private:
  struct Change {
    std::shared_ptr<store::Account> account;
    store::Section section;
    std::string id;
    std::optional<std::string> body;  // nothing: a delete
  };
  using Key = std::tuple<const store::Account*, std::int64_t, std::string>;
  [[nodiscard]] static Key keyOf(const store::Account& account, const store::Section& s,
                                 std::string_view id);
  void releaseHeld(const store::LockOwner& owner) noexcept;
  void clear() noexcept;

  std::vector<Change> changes_;        // one per item, in the order first staged
  std::map<Key, std::size_t> staged_;  // where each item's change is in changes_
  std::vector<Change> held_;           // locks to release at the end (body unused)
  std::map<Key, std::size_t> heldKeys_;  // each lock once in held_
  bool active_ = false;
};

}  // namespace tarn::server

namespace tarn::server {

enum class StagedChange { kStaged, kNotLocked };
// Stages a write (body set) or delete of an item inside the port's open transaction. Refused
// unless this port holds the item's lock, as a change that waits must be safe from others until
// it is applied; the lock is then kept to the end. Asks the store nothing: the port's account
// objects know the locks they were granted, and the commit checks them again.
[[nodiscard]] StagedChange stageLockedChange(PortTransaction& transaction,
                                             const std::shared_ptr<store::Account>& account,
                                             const store::Section& s, std::string_view id,
                                             std::optional<std::string> body);
// Reads an item as the port sees it: its transaction's change first, else the store. Appends the
// body to out; false when there is no such item.
[[nodiscard]] bool readThrough(const PortTransaction& transaction, store::Account& account,
                               const store::Section& s, std::string_view id, std::string& out);

}  // namespace tarn::server
