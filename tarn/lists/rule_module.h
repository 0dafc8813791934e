// clsTarnRuleModule: a compiled subroutine loaded on the server. Loading modules is not part of
// this release; brOpenRuleModule says so with error 4093.
#pragma once

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"

namespace tarn {

class TARN_API clsTarnRuleModule : public Object {
 public:
  // The module reference it was loaded by.
  [[nodiscard]] const String& brName() const noexcept { return name_; }

 private:
  friend class clsTarnConnection;
  clsTarnRuleModule() = default;
  String name_;
};

}  // namespace tarn
