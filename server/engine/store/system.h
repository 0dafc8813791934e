// A system: a directory holding one database per account and the register of live ports.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/account.h"
#include "server/engine/store/process.h"
#include "server/engine/store/sqlite.h"

namespace tarn::server::store {

inline constexpr std::string_view kSystemAccount = "DM";

// An account's name as stored: upper-cased; nothing when the name is not a valid account name
// (1 to 64 of A-Z, 0-9, '_', '-', '.', not starting with '.').
[[nodiscard]] std::optional<std::string> accountName(std::string_view name);

struct PortEntry {
  int number = 0;
  ProcessIdentity process;
  std::string account;
};

class SystemDirectory {
 public:
  // Uses directory path, creating it and its DM account on first use. Throws StoreError.
  explicit SystemDirectory(std::string path);
  SystemDirectory(const SystemDirectory&) = delete;
  SystemDirectory& operator=(const SystemDirectory&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] bool accountExists(std::string_view name) const;
  // Opens an account by its stored name; creates it when create is set. Throws StoreError.
  [[nodiscard]] std::unique_ptr<Account> openAccount(std::string_view name, bool create) const;

  // Takes the lowest port number that no live port holds. Throws StoreError.
  [[nodiscard]] int claimPort(const ProcessIdentity& process, std::string_view account);
  // Gives the number back; never throws.
  void releasePort(int number) noexcept;
  // Records the account a port is logged on to. Throws StoreError.
  void movePort(int number, std::string_view account);
  // The live ports, by number. Throws StoreError.
  [[nodiscard]] std::vector<PortEntry> ports();

 private:
  [[nodiscard]] std::string accountPath(std::string_view name) const;
  void openRegister();
  void makeRegister(const std::string& path);
  // Fills a new register with the live ports found in the accounts' lock tables.
  void rebuildRegister();

  std::string path_;
  DbHandle register_;
  TransactionStatements tx_;
};

}  // namespace tarn::server::store
