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

// Records a failed logon from source and returns how long to hold the answer back: 100 ms after
// the first, doubling, at most 5 s. A good logon from source clears its count
// (Account::clearFailedLogons).
[[nodiscard]] std::chrono::milliseconds recordFailedLogon(Account& account,
                                                          std::string_view source);

}  // namespace tarn::server::store
