// Late-bound dispatch: names to ids, invoke by id or name with variant arguments, the registry
// of creatable classes and the predeclared instances of the application objects.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/variant.h"
#include "tarn/typelib/typelib.h"

namespace tarn::typelib {

// The platform's numbers for the failures of dispatch itself.
inline constexpr std::int32_t kNotSupported = 438;    // no such member, or not of that kind
inline constexpr std::int32_t kWrongArgCount = 450;   // too many or too few arguments
inline constexpr std::int32_t kArgNotOptional = 449;  // an omitted required argument
inline constexpr std::int32_t kCannotCreate = 429;    // no creatable class of that name
inline constexpr std::int32_t kUnknownId = -1;        // what getIdsOfNames gives an unknown name

// The description of the object's class; nothing for an object of no public class.
[[nodiscard]] TARN_API const ClassInfo* classOf(const Object& object) noexcept;

// The dispatch id of each name (compared without regard to case), kUnknownId for a name the
// class does not have. Ids follow interface order; a property's get, let and set share one.
[[nodiscard]] TARN_API std::vector<std::int32_t> getIdsOfNames(
    const ClassInfo& cls, std::span<const std::string_view> names);

// Calls a member late-bound. args are in parameter order; trailing optional parameters may be
// left out and are passed as missing. A by-reference parameter receives the value the member
// left in it. A method call also reaches a property get and the reverse, as scripts write both.
// Throws TarnError 438 (unknown member or kind), 450 (argument count), 449 (a required argument
// passed as missing), 13 (an argument that does not convert, or an object of another class),
// 91 (no object); every failure of the member itself passes through unchanged.
TARN_API Variant invoke(const Ref<Object>& object, std::int32_t id, Kind kind,
                        std::span<Variant> args = {});
TARN_API Variant invoke(const Ref<Object>& object, std::string_view name, Kind kind,
                        std::span<Variant> args = {});

// A new object of a creatable class named "<library>.<class>" (case-insensitive); throws 429.
[[nodiscard]] TARN_API Ref<Object> createObject(std::string_view progId);

// The predeclared instance of an application-object class, made on first use; throws 429 for a
// class that is not one.
[[nodiscard]] TARN_API Ref<Object> appObject(std::string_view className);

// Calls a member of an application object unqualified: the first application object (in
// description order) that has the name answers. Throws 438 when none has it.
TARN_API Variant invokeGlobal(std::string_view name, Kind kind, std::span<Variant> args = {});

}  // namespace tarn::typelib
