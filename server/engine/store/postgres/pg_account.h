// One account on the PostgreSQL store: a schema named like the account, holding its sections,
// items, locks, indexes and protection records. Its statements run on the port's session.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/engine/store/postgres/pg.h"
#include "server/engine/store/store.h"

namespace tarn::server::store::postgres {

// Opens the account name (a stored account name) on session, making its schema first when
// create is set. Throws StoreError.
// Whether the system has the account name.
[[nodiscard]] bool accountRegistered(Session& session, std::string_view name);

[[nodiscard]] std::unique_ptr<Account> openPgAccount(std::shared_ptr<Session> session,
                                                     std::string name, bool create);

}  // namespace tarn::server::store::postgres
