// Accounts that belong to someone: credentials (salted password hashes only), the accounts an
// account trusts, and a count of failed logons. Kept in the protected account's own file.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/account.h"

namespace tarn::server::store {

// A logon to a protected account without the right credentials.
class AccessDenied : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Makes the protection tables when missing. Call inside the transaction that makes the schema.
void makeProtectionSchema(sqlite3* db);

// True when the account has credentials.
[[nodiscard]] bool isProtected(Account& account);

// Sets the account's one user and password (replacing any before). Stores only a salted hash
// from libsodium's crypto_pwhash_str. Throws StoreError, also when hashing fails.
void setCredentials(Account& account, std::string_view user, std::string_view password);

// True when user and password match the account's credentials (or the account has none).
[[nodiscard]] bool credentialsMatch(Account& account, std::string_view user,
                                    std::string_view password);

// Records a failed logon from source and returns how long to hold the answer back: 100 ms after
// the first, doubling, at most 5 s. A good logon from source clears its count.
[[nodiscard]] std::chrono::milliseconds recordFailedLogon(Account& account,
                                                          std::string_view source);
void clearFailedLogons(Account& account, std::string_view source);
// Failed logons from source since its last good one.
[[nodiscard]] long failedLogons(Account& account, std::string_view source);

// The accounts this account lets reach its files; grant adds one, revoke removes one.
void grantAccess(Account& account, std::string_view other);
void revokeAccess(Account& account, std::string_view other);
[[nodiscard]] bool grants(Account& account, std::string_view other);

}  // namespace tarn::server::store
