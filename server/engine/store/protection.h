// Accounts that belong to someone: credentials (salted password hashes only), the accounts an
// account trusts, and a count of failed logons. The records live in the account's store; the
// policy over them is here, the same for every store.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/store.h"

namespace tarn::server::store {

// A logon to a protected account without the right credentials.
class AccessDenied : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when the account has credentials.
[[nodiscard]] bool isProtected(Account& account);

// Sets the account's one user and password (replacing any before). Stores only a salted hash
// from libsodium's crypto_pwhash_str. Throws StoreError, also when hashing fails.
void setCredentials(Account& account, std::string_view user, std::string_view password);

// True when user and password match the account's credentials (or the account has none).
[[nodiscard]] bool credentialsMatch(Account& account, std::string_view user,
                                    std::string_view password);

// Where a logon attempt comes from, for counting its failures: the operating-system user and
// the machine of the process, which stay the same across the processes one person starts.
[[nodiscard]] std::string logonSource();

// The key under which every failure against an account is counted, from whatever source.
inline constexpr std::string_view kEverySource = "*";

// How long an attempt is held back after count failures: nothing for none, 100 ms after the
// first, doubling with each further one, at most 5 s.
[[nodiscard]] std::chrono::milliseconds logonDelay(long count) noexcept;

// Admits a logon to account. An unprotected account admits anyone. A protected one first holds
// the attempt back by logonDelay of the larger of its failures from source and from every source
// (so that a fresh process per guess waits as one process would, and the wait is over before
// the answer is known), then checks user and password: a failure is counted under both keys
// and throws AccessDenied; a success clears both. Returns the stored hash the logon was checked
// against (empty for an unprotected account), so that a port can tell later whether the
// credentials it presented are still the account's.
std::string admit(Account& account, std::string_view user, std::string_view password,
                  std::string_view source);

// The stored hash of the account's credentials, empty when it has none.
[[nodiscard]] std::string credentialStamp(Account& account);

}  // namespace tarn::server::store
