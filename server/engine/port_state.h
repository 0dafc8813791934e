// What a port keeps between requests, shared by the request handlers and the TCL verbs.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/conv/conversion.h"
#include "server/engine/port.h"
#include "server/engine/store/store.h"

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
  // Logs on to account in the system, bounded by limits; a missing account is created only with
  // createAccount, else StoreError kNoAccount names it and how to make it. Throws
  // store::AccessDenied, after a delay that grows with the failures before it, when the account is
  // protected and credentials do not match; store::StoreError for any other failure.
  PortState(std::unique_ptr<store::System> system, const std::string& account,
            const Credentials& credentials = {}, const Limits& limits = {},
            bool createAccount = false);
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
  // Whether this port may change target's protection (PROTECT-, GRANT-, REVOKE-ACCOUNT): from
  // DM or target itself, on a logon whose credentials are still that account's, and for a
  // protected target only from a protected account.
  [[nodiscard]] bool mayAdminister(store::Account& target);
  // Records that this port set account's credentials itself, so that it still counts as let in.
  void noteCredentialsSet(store::Account& account);
  // Drops the port's item and file locks in every account it has used.
  void releaseLocks();

  const Limits limits;
  NumberFormat format;
  bool caseSensitive = false;
  std::optional<IdList> activeList;

 private:
  std::unique_ptr<store::System> system_;
  std::shared_ptr<store::Account> account_;
  std::vector<std::shared_ptr<store::Account>> accounts_;  // every account used, for releases
  store::LockOwner owner_;
  // The credential hash each account had when this port was let in (empty: unprotected then).
  std::map<std::string, std::string> verified_;
  [[nodiscard]] bool verified(store::Account& account);
};

}  // namespace tarn::server
