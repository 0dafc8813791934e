// Late-bound dispatch driven by the description: the description decides which members exist,
// their argument counts and types and which arguments are written back; the bindings only call.
#include "tarn/typelib/dispatch.h"

#include <array>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "tarn/frame/error.h"
#include "tarn/typelib/bindings_internal.h"

namespace tarn::typelib {

namespace {

constexpr std::size_t kMaxParams = 8;

// A described class joined to its bindings: thunks[i] calls members[i] (nothing when unbound).
struct Joined {
  const ClassInfo* info = nullptr;
  const ClassBinding* binding = nullptr;
  std::vector<Thunk> thunks;
  std::int32_t maxId = 0;
};

std::vector<Joined> join() {
  std::vector<Joined> out;
  for (const ClassBinding& b : classBindings()) {
    const ClassInfo* info = library().findClass(b.name);
    if (info == nullptr) throw std::logic_error("binding of an undescribed class");
    Joined j{info, &b, std::vector<Thunk>(info->members.size(), nullptr), 0};
    for (const Binding& m : b.members) {
      bool found = false;
      for (std::size_t i = 0; i < info->members.size(); ++i) {
        if (info->members[i].kind == m.kind && info->members[i].name == m.member) {
          if (j.thunks[i] != nullptr) throw std::logic_error("member bound twice");
          j.thunks[i] = m.call;
          found = true;
        }
      }
      if (!found) throw std::logic_error("binding of an undescribed member");
    }
    for (const Member& m : info->members) j.maxId = std::max(j.maxId, m.id);
    out.push_back(std::move(j));
  }
  for (const ClassInfo& c : library().classes) {
    for (const Member& m : c.members) {
      if (m.params.size() > kMaxParams) throw std::logic_error("too many parameters");
    }
  }
  return out;
}

const std::vector<Joined>& joined() {
  static const std::vector<Joined> all = join();
  return all;
}

const Joined* joinedFor(const Object& object) noexcept {
  const std::type_info& type = typeid(object);
  // The objects are made in this library, so their type records are the bindings' own: a
  // comparison of addresses finds them without comparing names, which type_info's == may do.
  for (const Joined& j : joined()) {
    if (j.binding->type == &type) return &j;
  }
  for (const Joined& j : joined()) {
    if (*j.binding->type == type) return &j;
  }
  return nullptr;
}

TarnError dispatchError(std::int32_t number, std::u16string_view description) {
  return TarnError(number, u"TarnCLODBC", String(description));
}

[[noreturn]] void notSupported() {
  throw dispatchError(kNotSupported, u"Object doesn't support this property or method");
}

// A script may call a property get as a method and the reverse.
bool kindMatches(Kind asked, Kind member) noexcept {
  if (asked == member) return true;
  auto readable = [](Kind k) { return k == Kind::Method || k == Kind::PropertyGet; };
  return readable(asked) && readable(member);
}

// The argument converted to its described type, or nothing when it has that type already.
std::optional<Variant> converted(const Variant& v, const Param& p) {
  if (v.isMissing()) {
    if (!p.optional) throw dispatchError(kArgNotOptional, u"Argument not optional");
    return std::nullopt;
  }
  switch (p.type.base) {
    case BaseType::Bool:
      if (v.type() != Variant::Type::Bool) return Variant(v.toBool());
      break;
    case BaseType::Int16:
      if (v.type() != Variant::Type::Int16) return Variant(v.toInt16());
      break;
    case BaseType::Int32:
      if (v.type() != Variant::Type::Int32) return Variant(v.toInt32());
      break;
    case BaseType::String:
      if (!v.isString()) return Variant(v.toString());
      break;
    case BaseType::VariantArray:
      (void)v.array();  // type mismatch unless an array
      break;
    case BaseType::Object: {
      const Ref<Object> o = v.toObject();
      if (o && !p.type.className.empty()) {
        const ClassInfo* cls = classOf(*o);
        if (cls == nullptr || cls->name != p.type.className) {
          throw TarnError::platform(err::kTypeMismatch);
        }
      }
      break;
    }
    case BaseType::Variant:
    case BaseType::Void:
      break;
  }
  return std::nullopt;
}

Variant call(const Ref<Object>& object, const Joined& j, std::int32_t id, Kind kind,
             std::span<Variant> args) {
  const Member* member = nullptr;
  std::size_t index = 0;
  const auto& members = j.info->members;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].id == id && kindMatches(kind, members[i].kind)) {
      // An exact kind wins over a method standing in for a get and the reverse.
      if (member == nullptr || members[i].kind == kind) {
        member = &members[i];
        index = i;
      }
    }
  }
  if (member == nullptr || j.thunks[index] == nullptr) notSupported();
  const std::size_t count = member->params.size();
  if (args.size() > count || args.size() < member->requiredCount()) {
    throw dispatchError(kWrongArgCount,
                        u"Wrong number of arguments or invalid property assignment");
  }
  // A by-value argument that needs converting is converted in a copy, and one that does not is
  // read where it is (the bindings write by-reference slots only); a by-reference one is
  // converted in the caller's variant, which is how the member's changes reach the caller.
  // An omitted one gets a missing value of its own, which a by-reference member may write.
  std::array<std::optional<Variant>, kMaxParams> copies;  // made only where needed
  std::array<Variant*, kMaxParams> slots{};
  for (std::size_t i = 0; i < count; ++i) {
    const Param& p = member->params[i];
    Variant& given = i < args.size() ? args[i] : copies[i].emplace(Variant::missing());
    std::optional<Variant> value = converted(given, p);
    if (!value) {
      slots[i] = &given;
    } else if (p.byRef) {
      given = std::move(*value);
      slots[i] = &given;
    } else {
      slots[i] = &copies[i].emplace(std::move(*value));
    }
  }
  return j.thunks[index](*object, slots.data());
}

}  // namespace

bool isBound(const ClassInfo& cls, const Member& member) noexcept {
  for (const Joined& j : joined()) {
    if (j.info != &cls) continue;
    for (std::size_t i = 0; i < cls.members.size(); ++i) {
      if (&cls.members[i] == &member) return j.thunks[i] != nullptr;
    }
  }
  return false;
}

const ClassInfo* classOf(const Object& object) noexcept {
  const Joined* j = joinedFor(object);
  return j ? j->info : nullptr;
}

std::vector<std::int32_t> getIdsOfNames(const ClassInfo& cls,
                                        std::span<const std::string_view> names) {
  std::vector<std::int32_t> ids;
  ids.reserve(names.size());
  for (std::string_view name : names) {
    std::int32_t id = kUnknownId;
    for (const Member& m : cls.members) {
      if (sameName(m.name, name)) {
        id = m.id;
        break;
      }
    }
    ids.push_back(id);
  }
  return ids;
}

Variant invoke(const Ref<Object>& object, std::int32_t id, Kind kind, std::span<Variant> args) {
  if (!object) throw TarnError::platform(err::kObjectNotSet);
  const Joined* j = joinedFor(*object);
  if (j == nullptr) notSupported();
  return call(object, *j, id, kind, args);
}

Variant invoke(const Ref<Object>& object, std::string_view name, Kind kind,
               std::span<Variant> args) {
  if (!object) throw TarnError::platform(err::kObjectNotSet);
  const Joined* j = joinedFor(*object);
  if (j == nullptr) notSupported();
  const std::string_view names[] = {name};
  return call(object, *j, getIdsOfNames(*j->info, names).front(), kind, args);
}

Ref<Object> createObject(std::string_view progId) {
  const std::string& lib = library().name;
  if (progId.size() > lib.size() && progId[lib.size()] == '.' &&
      sameName(progId.substr(0, lib.size()), lib)) {
    std::string_view className = progId.substr(lib.size() + 1);
    for (const Joined& j : joined()) {
      if (j.info->creatable && j.binding->create != nullptr && sameName(j.info->name, className)) {
        return j.binding->create();
      }
    }
  }
  throw dispatchError(kCannotCreate, u"Cannot create an object of that class");
}

Ref<Object> appObject(std::string_view className) {
  // Made on first use and kept for the life of the process, like a predeclared instance.
  static std::vector<Ref<Object>> instances(joined().size());
  static std::mutex guard;
  std::lock_guard lock(guard);
  for (std::size_t i = 0; i < joined().size(); ++i) {
    const Joined& j = joined()[i];
    if (j.info->appObject && sameName(j.info->name, className)) {
      if (!instances[i]) instances[i] = j.binding->create();
      return instances[i];
    }
  }
  throw dispatchError(kCannotCreate, u"Cannot create an object of that class");
}

Variant invokeGlobal(std::string_view name, Kind kind, std::span<Variant> args) {
  const std::string_view names[] = {name};
  for (const ClassInfo& cls : library().classes) {
    if (!cls.appObject) continue;
    if (std::int32_t id = getIdsOfNames(cls, names).front(); id != kUnknownId) {
      return invoke(appObject(cls.name), id, kind, args);
    }
  }
  notSupported();
}

}  // namespace tarn::typelib
