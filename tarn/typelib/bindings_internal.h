// The C++ end of late-bound dispatch: one thunk per described member of each class.
#pragma once

#include <span>
#include <string_view>
#include <typeinfo>

#include "tarn/frame/object.h"
#include "tarn/frame/variant.h"
#include "tarn/typelib/typelib.h"

namespace tarn::typelib {

// Arguments as the thunk sees them: one slot per parameter, already converted to the described
// type (missing for an omitted optional one). A by-reference slot is the caller's variant.
using Args = Variant* const*;
using Thunk = Variant (*)(Object& self, Args a);

struct Binding {
  std::string_view member;
  Kind kind;
  Thunk call;
};

struct ClassBinding {
  std::string_view name;
  const std::type_info* type;
  Ref<Object> (*create)();  // nothing for a class that is not creatable
  std::span<const Binding> members;
};

[[nodiscard]] std::span<const ClassBinding> classBindings();

// Whether a described member has a thunk (false for a class with no bindings at all).
[[nodiscard]] bool isBound(const ClassInfo& cls, const Member& member) noexcept;

}  // namespace tarn::typelib
