// clsTarnConnection: one open connection to a data source of the database server.
#pragma once

#include "tarn/frame/object.h"
#include "tarn/frame/string.h"

namespace tarn {

class clsTarnConnection : public Object {
 public:
  // "domain database", the connection type text and the data source it was opened with.
  [[nodiscard]] String brName() const { return domain_ + u" " + database_; }
  [[nodiscard]] const String& brDomain() const noexcept { return domain_; }
  [[nodiscard]] const String& brDatabase() const noexcept { return database_; }

 private:
  friend class clsTarnEnvironment;
  friend struct TestPeer;
  clsTarnConnection() = default;

  String database_;
  String domain_;
};

}  // namespace tarn
