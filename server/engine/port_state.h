// What a port keeps between requests, shared by the request handlers and the TCL verbs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/conv/conversion.h"
#include "server/engine/port_settings.h"
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

// The select list a SELECT or SSELECT leaves for the next "S" -1.
struct IdList {
  std::string ids;  // joined by attribute marks
  std::size_t count = 0;
};

// How a name of an account fared.
enum class Access {
  kAllowed,
  kMissing,  // there is no such account
  kRefused,  // a protected account that does not grant the current one
};

// Where the leading names of a reference point, after the reference rule and the grant check.
struct Place {
  Access access = Access::kMissing;
  std::shared_ptr<store::Account> account;  // set when allowed
  std::string_view file;
  std::string_view section;  // empty: the file's default data section
};

// What a write through the port came to.
enum class Written {
  kDone,
  kMissing,    // a delete of an item that was not there
  kLocked,     // another port holds the item or its file
  kReadOnly,   // the system dictionary, reached from another account than DM
  kRefused,    // the file's account no longer grants the current one
  kAbandoned,  // the change gave up; nothing was written
  kNotLocked,  // inside a transaction, an item this port has not locked
};

class PortState {
 public:
  // Logs on to account in the system, bounded by limits; a missing account is created only with
  // createAccount, else StoreError kMissing names it and how to make it. Throws
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

  // Every reference to another account's file, module or the account itself goes through the
  // members below, which apply the grant check; nothing else opens an account by name.

  // Resolves a file reference against the current account (or the one it names). Nothing when no
  // such file or section exists, or when it lies in a protected account that does not grant the
  // current one. Throws store::StoreError.
  [[nodiscard]] std::optional<OpenSection> resolve(std::string_view reference);
  // The reference rule: "first,second" names a file of the current account (first) and its data
  // section (second) when there is such a file, else an account (first) and one of its files
  // (second). An empty first never names a file.
  [[nodiscard]] Place place(std::string_view first, std::string_view second);
  // An account by name that the current one may reach.
  [[nodiscard]] Place reach(std::string_view account);
  // Whether a section opened earlier may still be used: the grant is checked at every use, so a
  // revoke or a LOGTO reaches handles that are already open.
  // The system dictionary (read-only from other accounts) serves every account.
  [[nodiscard]] bool mayUse(const OpenSection& file) {
    return file.readOnly || mayReach(*file.account);
  }
  [[nodiscard]] bool mayUse(store::Account& account) { return mayReach(account); }

  // An account by name for a logon or a change of its protection, which have rules of their own
  // (credentials; DM or the account itself); nothing when it does not exist. Never use it to
  // reach files.
  [[nodiscard]] std::shared_ptr<store::Account> accountForLogon(std::string_view name) {
    return accountNamed(name);
  }
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

  // The one way a request or a program changes an item: refused unless the file may be used and
  // written; inside a transaction, refused when another port holds the item or its file. A lock
  // this port holds on the item is released afterwards unless keepLock (the "keep the lock"
  // forms of a write); a delete always releases it.
  Written writeItem(const OpenSection& f, std::string_view id, std::string_view body,
                    bool keepLock);
  // Reads the item (empty when missing) into body, lets change edit it, and writes it back;
  // change returns false to give up without writing.
  Written updateItem(const OpenSection& f, std::string_view id, bool keepLock,
                     const std::function<bool(std::string& body)>& change);
  Written deleteItem(const OpenSection& f, std::string_view id);
  // Inside a transaction: stages a write (body set) or a delete of an item this port has locked,
  // under the same grant and system-dictionary rules as a write; kDone when staged.
  Written stageItem(const OpenSection& f, std::string_view id, std::optional<std::string> body);
  // Commits the port's transaction, refused whole when an account it changes no longer grants
  // the current one (a revoke since the change was staged) or another port took an item's lock.
  [[nodiscard]] std::optional<CommitRefusal> commitTransaction();

  // What a subroutine's EXECUTE gets from a TCL sentence run as this port: the printed lines
  // and the message numbers, each joined by attribute marks. The interpreter stands above the
  // subroutine machine, so the session hands it in here.
  struct Printed {
    std::string captured;
    std::string returned;
  };
  std::function<Printed(std::string_view sentence)> runSentence;

  const Limits limits;
  NumberFormat format;
  bool caseSensitive = false;
  std::optional<IdList> activeList;
  // Open between TRANSACTION START and its COMMIT or ABORT; ends with the port.
  PortTransaction transaction;

 private:
  // An account by name, opened once per port, with no access check.
  [[nodiscard]] std::shared_ptr<store::Account> accountNamed(std::string_view name);
  // Whether the current account may reach other's files: its own, an unprotected account's, or
  // those of an account that grants it. Asks the store again only when other's protection
  // version moved or the port changed account.
  [[nodiscard]] bool mayReach(store::Account& other);
  Written lockedChange(const OpenSection& f, std::string_view id, bool keepLock,
                       const std::function<Written(store::Account&)>& change);

  struct Reachable {
    const store::Account* account;
    std::string from;  // the current account the answer was for
    std::uint64_t version;
    bool allowed;
  };

  std::unique_ptr<store::System> system_;
  std::shared_ptr<store::Account> account_;
  std::vector<std::shared_ptr<store::Account>> accounts_;  // every account used, for releases
  std::vector<Reachable> reachable_;
  store::LockOwner owner_;
  // The credential hash each account had when this port was let in (empty: unprotected then).
  std::map<std::string, std::string> verified_;
  [[nodiscard]] bool verified(store::Account& account);
  std::string body_;
};

}  // namespace tarn::server
