// A system on the SQLite store: a directory holding one database per account and the register of
// live ports.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/sqlite/sqlite.h"
#include "server/engine/store/sqlite/sqlite_account.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {

class SqliteSystem final : public System {
 public:
  // Uses directory path, creating it and its DM account on first use. Throws StoreError.
  SqliteSystem(std::string path, bool create);

  [[nodiscard]] const std::string& location() const noexcept override { return path_; }
  [[nodiscard]] bool accountExists(std::string_view name) override;
  [[nodiscard]] std::vector<std::string> accounts() override;
  [[nodiscard]] std::unique_ptr<Account> openAccount(std::string_view name, bool create) override {
    return open(name, create);
  }
  // The same, with the SQLite account's own members in reach.
  [[nodiscard]] std::unique_ptr<SqliteAccount> open(std::string_view name, bool create);

  [[nodiscard]] int claimPort(const ProcessIdentity& process, std::string_view account) override;
  void releasePort(int number) noexcept override;
  void movePort(int number, std::string_view account) override;
  [[nodiscard]] std::vector<PortEntry> ports() override;

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
