// What a port keeps between requests, shared by the request handlers and the TCL verbs.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/conv/conversion.h"
#include "server/engine/port.h"
#include "server/engine/store/store.h"
#include "server/engine/transaction.h"

namespace tarn::server {

// A file reference taken apart: section words first, then up to three comma-separated names.
struct FileReference {
  bool dictionary = false;
  std::vector<std::string_view> parts;  // trimmed; 1 to 3 of them
};

// Parses "DICT name", "D name", "DATA name", " name", "name", "name,section", "acct,name",
// "acct,file,section", "md", "mds,,". Section words ignore case; blanks are tolerated. Nothing
// for an empty or malformed reference.
[[nodiscard]] std::optional<FileReference> parseFileReference(std::string_view text);

// A section found for a reference, with the account that holds it.
struct OpenSection {
  std::shared_ptr<store::Account> account;
  store::Section section;
  bool readOnly = false;  // the DM account's MD, reached from another account
};

// What a logon to a protected account presents.
struct Credentials {
  std::string user;
  std::string password;
};

// The select list a SELECT or SSELECT leaves for the next "S" -1.
struct IdList {
  std::string ids;  // joined by attribute marks
  std::size_t count = 0;
};

class PortState {
 public:
  // Logs on to account (created on first use) in the system, bounded by limits. Throws
  // store::AccessDenied, after a delay that grows with the failures before it, when the account is
  // protected and credentials do not match; store::StoreError for any other failure.
  PortState(std::unique_ptr<store::System> system, const std::string& account,
            const Credentials& credentials = {}, const Limits& limits = {});
  ~PortState();
  PortState(const PortState&) = delete;
  PortState& operator=(const PortState&) = delete;

  [[nodiscard]] store::System& system() noexcept { return *system_; }
  [[nodiscard]] store::Account& account() noexcept { return *account_; }
  [[nodiscard]] const std::shared_ptr<store::Account>& accountRef() noexcept { return account_; }
  [[nodiscard]] int number() const noexcept { return owner_.port; }
  [[nodiscard]] const store::LockOwner& owner() const noexcept { return owner_; }

  // Resolves a reference against the current account (or the one it names). Nothing when no
  // such file or section exists, or when it lies in a protected account that does not grant the
  // current one. Throws store::StoreError.
  [[nodiscard]] std::optional<OpenSection> resolve(std::string_view reference);
  // An account by name, opened once per port; nothing when it does not exist.
  [[nodiscard]] std::shared_ptr<store::Account> accountNamed(std::string_view name);
  // Whether the current account may reach other's files: its own, an unprotected account's, or
  // those of an account that grants it.
  [[nodiscard]] bool mayReach(store::Account& other);
  // Moves the port to another existing account; false when there is none by that name. A
  // protected account needs its credentials: a mismatch throws store::AccessDenied after the
  // growing delay.
  bool logTo(std::string_view name, const Credentials& credentials = {});
  // Drops the port's item and file locks in every account it has used.
  void releaseLocks();

  const Limits limits;
  NumberFormat format;
  bool caseSensitive = false;
  std::optional<IdList> activeList;
  // Open between TRANSACTION START and its COMMIT or ABORT; ends with the port.
  PortTransaction transaction;

 private:
  std::unique_ptr<store::System> system_;
  std::shared_ptr<store::Account> account_;
  std::vector<std::shared_ptr<store::Account>> accounts_;  // every account used, for releases
  store::LockOwner owner_;
};

}  // namespace tarn::server
