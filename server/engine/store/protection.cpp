#include "server/engine/store/protection.h"

#include <sodium.h>

#include <algorithm>

#include "server/engine/store/sqlite.h"

namespace tarn::server::store {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS credentials(user TEXT NOT NULL, hash TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS grants(account TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS failed_logons(source TEXT PRIMARY KEY, count INTEGER NOT NULL);
)sql";

constexpr long kFirstDelayMs = 100;
constexpr long kLongestDelayMs = 5000;

// Failures surface as StoreError, which every request and verb already answers for.
void ensureSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw StoreError(SQLITE_ERROR, "libsodium could not start");
}

}  // namespace

void makeProtectionSchema(sqlite3* db) {
  exec(db, kSchema);
}

bool isProtected(Account& account) {
  Statement s(account.db(), "SELECT 1 FROM credentials");
  Statement::Use use(s);
  return use.step();
}

void setCredentials(Account& account, std::string_view user, std::string_view password) {
  ensureSodium();
  char hash[crypto_pwhash_STRBYTES];
  // Interactive limits: a logon costs a fraction of a second and some memory, a guess as much.
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    throw StoreError(SQLITE_NOMEM, "out of memory while hashing the password");
  }
  Transaction tx(account.transactions());
  exec(account.db(), "DELETE FROM credentials");
  Statement s(account.db(), "INSERT INTO credentials(user, hash) VALUES(?1, ?2)");
  Statement::Use use(s);
  use.bindText(1, user).bindText(2, hash).run();
  tx.commit();
}

bool credentialsMatch(Account& account, std::string_view user, std::string_view password) {
  Statement s(account.db(), "SELECT user, hash FROM credentials");
  Statement::Use use(s);
  if (!use.step()) return true;
  const std::string storedUser(use.bytes(0));
  const std::string hash(use.bytes(1));
  ensureSodium();
  // The hash is checked even for a wrong user, so that the answer takes as long either way.
  const bool passwordOk =
      crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  return passwordOk && equalsNoCase(storedUser, user);
}

std::chrono::milliseconds recordFailedLogon(Account& account, std::string_view source) {
  Statement s(account.db(),
              "INSERT INTO failed_logons(source, count) VALUES(?1, 1) "
              "ON CONFLICT(source) DO UPDATE SET count=count+1 RETURNING count");
  long count = 1;
  {
    Statement::Use use(s);
    use.bindText(1, source);
    if (use.step()) count = static_cast<long>(use.integer(0));
  }
  long delay = kFirstDelayMs;
  for (long i = 1; i < count && delay < kLongestDelayMs; ++i) delay *= 2;
  return std::chrono::milliseconds(std::min(delay, kLongestDelayMs));
}

void clearFailedLogons(Account& account, std::string_view source) {
  Statement s(account.db(), "DELETE FROM failed_logons WHERE source=?1");
  Statement::Use use(s);
  use.bindText(1, source).run();
}

long failedLogons(Account& account, std::string_view source) {
  Statement s(account.db(), "SELECT count FROM failed_logons WHERE source=?1");
  Statement::Use use(s);
  use.bindText(1, source);
  return use.step() ? static_cast<long>(use.integer(0)) : 0;
}

void grantAccess(Account& account, std::string_view other) {
  Statement s(account.db(), "INSERT OR IGNORE INTO grants(account) VALUES(?1)");
  Statement::Use use(s);
  use.bindText(1, other).run();
}

void revokeAccess(Account& account, std::string_view other) {
  Statement s(account.db(), "DELETE FROM grants WHERE account=?1");
  Statement::Use use(s);
  use.bindText(1, other).run();
}

bool grants(Account& account, std::string_view other) {
  Statement s(account.db(), "SELECT 1 FROM grants WHERE account=?1");
  Statement::Use use(s);
  use.bindText(1, other);
  return use.step();
}

}  // namespace tarn::server::store
