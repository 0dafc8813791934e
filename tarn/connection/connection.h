// clsTarnConnection: one open connection to a data source of the database server.
#pragma once

#include "tarn/frame/object.h"

namespace tarn {

class clsTarnConnection : public Object {
 private:
  friend class clsTarnEnvironment;
  clsTarnConnection() = default;
};

}  // namespace tarn
