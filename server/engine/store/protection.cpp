#include "server/engine/store/protection.h"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace tarn::server::store {
namespace {

constexpr long kFirstDelayMs = 100;
constexpr long kLongestDelayMs = 5000;

// Failures surface as StoreError, which every request and verb already answers for.
void ensureSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw StoreError(StoreFailure::kOther, "libsodium could not start");
}

}  // namespace

bool isProtected(Account& account) {
  return account.credentials().has_value();
}

void setCredentials(Account& account, std::string_view user, std::string_view password) {
  ensureSodium();
  char hash[crypto_pwhash_STRBYTES];
  // Interactive limits: a logon costs a fraction of a second and some memory, a guess as much.
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    throw StoreError(StoreFailure::kOther, "out of memory while hashing the password");
  }
  account.setCredentials(StoredCredentials{std::string(user), hash});
}

bool credentialsMatch(Account& account, std::string_view user, std::string_view password) {
  std::optional<StoredCredentials> stored = account.credentials();
  if (!stored) return true;
  ensureSodium();
  // The hash is checked even for a wrong user, so that the answer takes as long either way.
  const bool passwordOk =
      crypto_pwhash_str_verify(stored->hash.c_str(), password.data(), password.size()) == 0;
  return passwordOk && equalsNoCase(stored->user, user);
}

std::string logonSource() {
  return "uid " + std::to_string(::getuid()) + " on " + hostName();
}

std::chrono::milliseconds logonDelay(long count) noexcept {
  if (count <= 0) return std::chrono::milliseconds(0);
  long delay = kFirstDelayMs;
  for (long i = 1; i < count && delay < kLongestDelayMs; ++i) delay *= 2;
  return std::chrono::milliseconds(std::min(delay, kLongestDelayMs));
}

std::string credentialStamp(Account& account) {
  std::optional<StoredCredentials> stored = account.credentials();
  return stored ? stored->hash : std::string();
}

std::string admit(Account& account, std::string_view user, std::string_view password,
                  std::string_view source) {
  if (!isProtected(account)) return {};
  const long before = std::max(account.failedLogons(kEverySource), account.failedLogons(source));
  std::this_thread::sleep_for(logonDelay(before));
  if (credentialsMatch(account, user, password)) {
    Transaction tx(account);
    account.clearFailedLogons(source);
    account.clearFailedLogons(kEverySource);
    tx.commit();
    return credentialStamp(account);
  }
  {
    Transaction tx(account);
    (void)account.addFailedLogon(kEverySource);
    (void)account.addFailedLogon(source);
    tx.commit();
  }
  throw AccessDenied(
      "Account " + account.name() +
      (user.empty() ? " needs a user and password" : " refused the user and password"));
}

}  // namespace tarn::server::store
