#include "server/engine/store/sqlite/sqlite_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

namespace tarn::server::store {

SqliteSystem::SqliteSystem(std::string path, bool create) : path_(std::move(path)) {
  if (path_.empty()) throw sqliteError(SQLITE_CANTOPEN, "no system directory given");
  // A system is a directory with its DM account; a typo in a path names neither, and makes
  // nothing unless the data source allows creation.
  if (!create && !accountExists(kSystemAccount)) throw missingSystem(path_);
  // Owner-only: the accounts hold items and password hashes.
  if (::mkdir(path_.c_str(), 0700) != 0 && errno != EEXIST)
    throw sqliteError(SQLITE_CANTOPEN,
                      "cannot create the system directory " + path_ + ": " + std::strerror(errno));
  openRegister();
  if (!accountExists(kSystemAccount)) (void)open(kSystemAccount, true);
}

std::string SqliteSystem::accountPath(std::string_view name) const {
  return path_ + "/" + std::string(name) + ".account";
}

bool SqliteSystem::accountExists(std::string_view name) {
  // lstat: a link named like an account is not an account, whatever it points at.
  struct stat st {};
  return ::lstat(accountPath(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// Refuses what must never be opened as a database here: a symbolic link (it could lead out of
// the system directory, and SQLite would create its file at the target) and an empty account
// (an account always has its schema; empty means truncated or made by something else). The
// register may be empty: it is made in place by whichever process comes first.
void checkDatabaseFile(const std::string& path, bool account) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISLNK(st.st_mode))
    throw sqliteError(SQLITE_CANTOPEN, path + ": a symbolic link; system files are never links");
  if (!S_ISREG(st.st_mode)) throw sqliteError(SQLITE_CANTOPEN, path + ": not a regular file");
  if (account && st.st_size == 0)
    throw sqliteError(SQLITE_NOTADB, path + ": empty file, not an account");
}

}  // namespace

std::unique_ptr<SqliteAccount> SqliteSystem::open(std::string_view name, bool create) {
  const std::string path = accountPath(name);
  struct stat st {};
  if (create && ::lstat(path.c_str(), &st) != 0) {
    // Made whole under a private name and linked into place, so that no other process ever sees
    // the account empty; link() never replaces, so a rival's account made meanwhile stands.
    static std::atomic<unsigned> serial{0};
    const std::string draft = path_ + "/.draft-" + std::to_string(::getpid()) + "-" +
                              std::to_string(serial++) + "-" + std::string(name);
    try {
      (void)SqliteAccount::open(draft, std::string(name), true);
    } catch (...) {
      std::remove(draft.c_str());
      throw;
    }
    const int linked = ::link(draft.c_str(), path.c_str());
    const int err = errno;
    std::remove(draft.c_str());
    if (linked != 0 && err != EEXIST)
      throw sqliteError(SQLITE_CANTOPEN, path + ": cannot create: " + std::strerror(err));
  }
  checkDatabaseFile(path, true);
  return SqliteAccount::open(path, std::string(name), false);
}

std::vector<std::string> SqliteSystem::accounts() {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
    const std::string file = entry.path().filename().string();
    constexpr std::string_view kSuffix = ".account";
    if (file.size() <= kSuffix.size() || !file.ends_with(kSuffix)) continue;
    std::optional<std::string> name = accountName(file.substr(0, file.size() - kSuffix.size()));
    if (name && *name == file.substr(0, file.size() - kSuffix.size()) && accountExists(*name))
      out.push_back(*name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void SqliteSystem::openRegister() {
  const std::string path = path_ + "/ports.register";
  checkDatabaseFile(path, false);
  try {
    makeRegister(path);
  } catch (const StoreError& e) {
    if (e.failure() != StoreFailure::kCorrupt) throw;
    // A damaged register must not keep every account from logging on: it is set aside and
    // made again from the ports of live processes that the accounts' lock tables show.
    register_.reset();
    const std::string aside = path + ".damaged";
    if (::rename(path.c_str(), aside.c_str()) != 0 && errno != ENOENT)
      throw sqliteError(SQLITE_CANTOPEN, path + ": cannot set the damaged register aside");
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    makeRegister(path);
    rebuildRegister();
  }
}

void SqliteSystem::makeRegister(const std::string& path) {
  register_ = openDatabase(path, true);
  useWal(register_.get());
  exec(register_.get(),
       "CREATE TABLE IF NOT EXISTS ports(number INTEGER PRIMARY KEY, pid INTEGER NOT NULL, "
       "start INTEGER NOT NULL, account TEXT NOT NULL)");
  tx_.prepare(register_.get());
}

void SqliteSystem::rebuildRegister() {
  struct Live {
    ProcessIdentity process;
    std::string account;
  };
  std::map<std::int64_t, Live> live;
  for (const std::string& name : accounts()) {
    try {
      std::unique_ptr<SqliteAccount> account = open(name, false);
      for (const LockOwner& owner : account->owners())
        if (isAlive(owner.process)) live.emplace(owner.port, Live{owner.process, name});
    } catch (const StoreError&) {
      // An account that cannot be read has no ports to give back.
    }
  }
  WriteTransaction tx(tx_);
  Statement insert(register_.get(), "INSERT OR IGNORE INTO ports VALUES(?1,?2,?3,?4)");
  for (const auto& [number, port] : live) {
    Statement::Use(insert)
        .bind(1, number)
        .bind(2, port.process.pid)
        .bind(3, port.process.start)
        .bindText(4, port.account)
        .run();
  }
  tx.commit();
}

int SqliteSystem::claimPort(const ProcessIdentity& process, std::string_view account) {
  WriteTransaction tx(tx_);
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

void SqliteSystem::releasePort(int number) noexcept {
  try {
    Statement drop(register_.get(), "DELETE FROM ports WHERE number=?1");
    Statement::Use(drop).bind(1, number).run();
  } catch (const StoreError&) {
    // The entry stays until a later claim finds its process gone.
  }
}

void SqliteSystem::movePort(int number, std::string_view account) {
  Statement update(register_.get(), "UPDATE ports SET account=?2 WHERE number=?1");
  Statement::Use(update).bind(1, number).bindText(2, account).run();
}

std::vector<PortEntry> SqliteSystem::ports() {
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
