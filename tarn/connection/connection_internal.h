// Library-internal access to a connection's session, for code that speaks raw requests on the
// connection's own port (the test and benchmark harnesses); not installed.
#pragma once

#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"

namespace tarn {

struct ConnectionInternals {
  [[nodiscard]] static const Ref<clsTarnODBC>& session(const clsTarnConnection& c) {
    return c.rsODBC();
  }
};

}  // namespace tarn
