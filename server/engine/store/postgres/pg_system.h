// The system on PostgreSQL: one database, each account a schema named like it, the register of
// ports in the schema tarn_system. Each System object is one port's database session; the
// session-level advisory lock on its port number is the port's life.
#pragma once

#include <memory>
#include <string>

#include "server/engine/store/store.h"

namespace tarn::server::store::postgres {

// Connects to the database conninfo names (a libpq URI or keywords), making the system's schema
// and its DM account on first use. Throws StoreError.
[[nodiscard]] std::unique_ptr<System> openSystem(const std::string& conninfo, bool create);

}  // namespace tarn::server::store::postgres
