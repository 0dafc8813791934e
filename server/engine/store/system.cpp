#include "server/engine/store/system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace tarn::server::store {

std::optional<std::string> accountName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return std::nullopt;
  std::string out;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.';
    if (!ok) return std::nullopt;
    out.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c);
  }
  return out;
}

SystemDirectory::SystemDirectory(std::string path) : path_(std::move(path)) {
  if (path_.empty()) throw StoreError(SQLITE_CANTOPEN, "no system directory given");
  if (::mkdir(path_.c_str(), 0777) != 0 && errno != EEXIST)
    throw StoreError(SQLITE_CANTOPEN,
                     "cannot create the system directory " + path_ + ": " + std::strerror(errno));
  openRegister();
  if (!accountExists(kSystemAccount)) (void)openAccount(kSystemAccount, true);
}

std::string SystemDirectory::accountPath(std::string_view name) const {
  return path_ + "/" + std::string(name) + ".account";
}

bool SystemDirectory::accountExists(std::string_view name) const {
  struct stat st {};
  return ::stat(accountPath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::unique_ptr<Account> SystemDirectory::openAccount(std::string_view name, bool create) const {
  return Account::open(accountPath(name), std::string(name), create);
}

void SystemDirectory::openRegister() {
  register_ = openDatabase(path_ + "/ports.register", true);
  useWal(register_.get());
  exec(register_.get(),
       "CREATE TABLE IF NOT EXISTS ports(number INTEGER PRIMARY KEY, pid INTEGER NOT NULL, "
       "start INTEGER NOT NULL, account TEXT NOT NULL)");
  tx_.begin = Statement(register_.get(), "BEGIN IMMEDIATE");
  tx_.commit = Statement(register_.get(), "COMMIT");
  tx_.rollback = Statement(register_.get(), "ROLLBACK");
}

int SystemDirectory::claimPort(const ProcessIdentity& process, std::string_view account) {
  Transaction tx(tx_);
  std::set<int> taken;
  std::vector<int> dead;
  {
    Statement list(register_.get(), "SELECT number, pid, start FROM ports");
    Statement::Use q(list);
    while (q.step()) {
      ProcessIdentity holder{q.integer(1), q.integer(2)};
      int number = static_cast<int>(q.integer(0));
      if (holder == process || isAlive(holder))
        taken.insert(number);
      else
        dead.push_back(number);
    }
  }
  Statement drop(register_.get(), "DELETE FROM ports WHERE number=?1");
  for (int number : dead) Statement::Use(drop).bind(1, number).run();
  int number = 1;
  while (taken.count(number) != 0) ++number;
  Statement insert(register_.get(), "INSERT INTO ports VALUES(?1,?2,?3,?4)");
  Statement::Use(insert)
      .bind(1, number)
      .bind(2, process.pid)
      .bind(3, process.start)
      .bindText(4, account)
      .run();
  tx.commit();
  return number;
}

void SystemDirectory::releasePort(int number) noexcept {
  try {
    Statement drop(register_.get(), "DELETE FROM ports WHERE number=?1");
    Statement::Use(drop).bind(1, number).run();
  } catch (const StoreError&) {
    // The entry stays until a later claim finds its process gone.
  }
}

void SystemDirectory::movePort(int number, std::string_view account) {
  Statement update(register_.get(), "UPDATE ports SET account=?2 WHERE number=?1");
  Statement::Use(update).bind(1, number).bindText(2, account).run();
}

std::vector<PortEntry> SystemDirectory::ports() {
  std::vector<PortEntry> out;
  Statement list(register_.get(), "SELECT number, pid, start, account FROM ports ORDER BY number");
  Statement::Use q(list);
  while (q.step()) {
    PortEntry e{
        static_cast<int>(q.integer(0)), {q.integer(1), q.integer(2)}, std::string(q.bytes(3))};
    if (isAlive(e.process) || e.process == currentProcess()) out.push_back(std::move(e));
  }
  return out;
}

}  // namespace tarn::server::store
