#include "server/engine/store/fault_store.h"

#include <utility>

namespace tarn::server::store {
namespace {

// Every member counts against the plan, then does what the wrapped account does. A rollback is
// never failed: it is what a failure is answered with.
class FaultyAccount final : public Account {
 public:
  FaultyAccount(std::unique_ptr<Account> inner, std::shared_ptr<FaultPlan> plan)
      : Account(inner->name()), inner_(std::move(inner)), plan_(std::move(plan)) {}

  IndexStore& indexes() override { return inner_->indexes(); }
  bool begin() override {
    plan_->count("begin");
    return inner_->begin();
  }
  void commit() override {
    plan_->count("commit");
    inner_->commit();
  }
  void rollback() noexcept override { inner_->rollback(); }
  [[nodiscard]] std::optional<std::string> findFile(std::string_view file, bool exact) override {
    plan_->count("findFile");
    return inner_->findFile(file, exact);
  }
  [[nodiscard]] std::optional<Section> findSection(std::string_view file, bool dictionary,
                                                   std::string_view section, bool exact) override {
    plan_->count("findSection");
    return inner_->findSection(file, dictionary, section, exact);
  }
  [[nodiscard]] std::vector<Section> sections(std::string_view file) override {
    plan_->count("sections");
    return inner_->sections(file);
  }
  bool createDictionary(std::string_view file, std::int64_t modulo, bool caseFold) override {
    plan_->count("createDictionary");
    return inner_->createDictionary(file, modulo, caseFold);
  }
  bool createDataSection(std::string_view file, std::string_view section, std::int64_t modulo,
                         bool caseFold) override {
    plan_->count("createDataSection");
    return inner_->createDataSection(file, section, modulo, caseFold);
  }
  void dropSections(const std::vector<Section>& doomed) override {
    plan_->count("dropSections");
    inner_->dropSections(doomed);
  }
  [[nodiscard]] bool readItem(const Section& s, std::string_view id, std::string& out) override {
    plan_->count("readItem");
    return inner_->readItem(s, id, out);
  }
  void writeItem(const Section& s, std::string_view id, std::string_view body) override {
    plan_->count("writeItem");
    inner_->writeItem(s, id, body);
  }
  [[nodiscard]] bool writeItemUnlessLocked(const Section& s, std::string_view id,
                                           std::string_view body, const LockOwner& owner) override {
    plan_->count("writeItemUnlessLocked");
    return inner_->writeItemUnlessLocked(s, id, body, owner);
  }
  [[nodiscard]] bool holdsItemLock(const Section& s, std::string_view id) override {
    plan_->count("holdsItemLock");
    return inner_->holdsItemLock(s, id);
  }
  bool deleteItem(const Section& s, std::string_view id) override {
    plan_->count("deleteItem");
    return inner_->deleteItem(s, id);
  }
  void clearSection(const Section& s) override {
    plan_->count("clearSection");
    inner_->clearSection(s);
  }
  [[nodiscard]] std::int64_t countItems(const Section& s) override {
    plan_->count("countItems");
    return inner_->countItems(s);
  }
  std::size_t appendIds(const Section& s, std::string& out) override {
    plan_->count("appendIds");
    return inner_->appendIds(s, out);
  }
  void forEachItem(
      const Section& s,
      const std::function<void(std::string_view id, std::string_view body)>& visit) override {
    plan_->count("forEachItem");
    inner_->forEachItem(s, visit);
  }
  [[nodiscard]] LockOutcome lockItem(const Section& s, std::string_view id,
                                     const LockOwner& owner) override {
    plan_->count("lockItem");
    return inner_->lockItem(s, id, owner);
  }
  [[nodiscard]] LockOutcome lockFile(const Section& s, const LockOwner& owner) override {
    plan_->count("lockFile");
    return inner_->lockFile(s, owner);
  }
  void unlockItem(const Section& s, std::string_view id, const LockOwner& owner) override {
    plan_->count("unlockItem");
    inner_->unlockItem(s, id, owner);
  }
  void unlockFile(const Section& s, const LockOwner& owner) override {
    plan_->count("unlockFile");
    inner_->unlockFile(s, owner);
  }
  [[nodiscard]] WriteCheck checkWrite(const Section& s, std::string_view id,
                                      const LockOwner& owner) override {
    plan_->count("checkWrite");
    return inner_->checkWrite(s, id, owner);
  }
  [[nodiscard]] bool sectionHeldElsewhere(const Section& s, const LockOwner& owner) override {
    plan_->count("sectionHeldElsewhere");
    return inner_->sectionHeldElsewhere(s, owner);
  }
  void markOpen(const Section& s, const LockOwner& owner) override {
    plan_->count("markOpen");
    inner_->markOpen(s, owner);
  }
  void unmarkOpen(const Section& s, const LockOwner& owner) override {
    plan_->count("unmarkOpen");
    inner_->unmarkOpen(s, owner);
  }
  [[nodiscard]] bool openElsewhere(const Section& s, const LockOwner& owner) override {
    plan_->count("openElsewhere");
    return inner_->openElsewhere(s, owner);
  }
  void releaseAll(const LockOwner& owner) override {
    plan_->count("releaseAll");
    inner_->releaseAll(owner);
  }
  void releaseLocks(const LockOwner& owner) override {
    plan_->count("releaseLocks");
    inner_->releaseLocks(owner);
  }
  [[nodiscard]] std::optional<StoredCredentials> credentials() override {
    plan_->count("credentials");
    return inner_->credentials();
  }
  void setCredentials(const std::optional<StoredCredentials>& credentials) override {
    plan_->count("setCredentials");
    inner_->setCredentials(credentials);
  }
  long addFailedLogon(std::string_view source) override {
    plan_->count("addFailedLogon");
    return inner_->addFailedLogon(source);
  }
  void clearFailedLogons(std::string_view source) override {
    plan_->count("clearFailedLogons");
    inner_->clearFailedLogons(source);
  }
  [[nodiscard]] long failedLogons(std::string_view source) override {
    plan_->count("failedLogons");
    return inner_->failedLogons(source);
  }
  void grant(std::string_view other) override {
    plan_->count("grant");
    inner_->grant(other);
  }
  void revoke(std::string_view other) override {
    plan_->count("revoke");
    inner_->revoke(other);
  }
  [[nodiscard]] bool grants(std::string_view other) override {
    plan_->count("grants");
    return inner_->grants(other);
  }
  [[nodiscard]] std::vector<std::string> grantees() override {
    plan_->count("grantees");
    return inner_->grantees();
  }
  [[nodiscard]] std::uint64_t protectionVersion() override {
    plan_->count("protectionVersion");
    return inner_->protectionVersion();
  }

 private:
  std::unique_ptr<Account> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

class FaultySystem final : public System {
 public:
  FaultySystem(std::unique_ptr<System> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  [[nodiscard]] const std::string& location() const noexcept override { return inner_->location(); }
  [[nodiscard]] bool accountExists(std::string_view name) override {
    return inner_->accountExists(name);
  }
  [[nodiscard]] std::vector<std::string> accounts() override { return inner_->accounts(); }
  [[nodiscard]] std::unique_ptr<Account> openAccount(std::string_view name, bool create) override {
    return std::make_unique<FaultyAccount>(inner_->openAccount(name, create), plan_);
  }
  [[nodiscard]] int claimPort(const ProcessIdentity& process, std::string_view account) override {
    return inner_->claimPort(process, account);
  }
  void releasePort(int number) noexcept override { inner_->releasePort(number); }
  void movePort(int number, std::string_view account) override {
    inner_->movePort(number, account);
  }
  [[nodiscard]] std::vector<PortEntry> ports() override { return inner_->ports(); }

 private:
  std::unique_ptr<System> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

bool matches(const std::string& pattern, const char* op) {
  if (pattern.empty()) return true;
  if (pattern.back() == '*')
    return std::string_view(op).starts_with(
        std::string_view(pattern).substr(0, pattern.size() - 1));
  return pattern == op;
}

}  // namespace

void FaultPlan::count(const char* op) {
  if (nth <= 0 || !matches(operation, op)) return;
  if (--nth > 0) return;
  throw StoreError(kind, std::string("injected failure of ") + op);
}

std::unique_ptr<System> faultySystem(std::unique_ptr<System> system,
                                     std::shared_ptr<FaultPlan> plan) {
  return std::make_unique<FaultySystem>(std::move(system), std::move(plan));
}

}  // namespace tarn::server::store
