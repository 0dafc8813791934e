// The type library: one description of every public class and enumeration, read from the
// interface text in description.cpp. Late-bound dispatch, the Python module and the drift test
// all read it from here, so a member exists to a script client exactly when it is described.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarn/frame/export.h"

namespace tarn::typelib {

// What a member does when invoked; the values are the platform's invoke flags.
enum class Kind : std::uint8_t { Method = 1, PropertyGet = 2, PropertyLet = 4, PropertySet = 8 };

// The type of a parameter or result. Class-typed values carry the class name in Type::className.
enum class BaseType : std::uint8_t {
  Void,  // no result
  Bool,  // 16-bit boolean, True = -1
  Int16,
  Int32,
  String,
  Variant,
  VariantArray,  // one-dimensional array of variants
  Object,        // an object of the class named in className, or any object when it is empty
};

struct Type {
  BaseType base = BaseType::Void;
  std::string className;
};

struct Param {
  std::string name;
  Type type;
  bool optional = false;
  bool byRef = false;
  bool written = false;  // by reference and changed by the member, not only read
};

struct TARN_API Member {
  std::string name;
  Kind kind = Kind::Method;
  std::vector<Param> params;
  Type result;
  std::int32_t id = 0;  // dispatch id: 1-based, in interface order; a property's kinds share it

  [[nodiscard]] std::size_t requiredCount() const noexcept;
};

struct TARN_API ClassInfo {
  std::string name;           // clsTarnFile
  std::string interfaceName;  // _clsTarnFile
  bool creatable = false;
  bool appObject = false;  // a predeclared instance whose members a client may call unqualified
  std::vector<Member> members;  // interface order

  // The members sharing a dispatch id, or nothing when the id is not used.
  [[nodiscard]] const Member* find(std::int32_t id, Kind kind) const noexcept;
};

struct EnumValue {
  std::string name;
  std::int32_t value = 0;
};

struct EnumInfo {
  std::string name;
  std::vector<EnumValue> values;  // declaration order
};

struct TARN_API Library {
  std::string name;  // the prefix of creatable class names: "TarnCLODBC.clsTarnEnvironment"
  std::vector<ClassInfo> classes;
  std::vector<EnumInfo> enums;

  // Case-insensitive look-ups; nothing when absent.
  [[nodiscard]] const ClassInfo* findClass(std::string_view name) const noexcept;
  [[nodiscard]] const EnumInfo* findEnum(std::string_view name) const noexcept;
};

// The library's description, read once on first use.
[[nodiscard]] TARN_API const Library& library();

// Reads an interface text (the grammar is at the top of description.cpp); throws
// std::invalid_argument naming the line that does not read.
[[nodiscard]] TARN_API Library parseDescription(std::string_view text);

// Case-insensitive comparison of ASCII names, as member and class names are matched.
[[nodiscard]] TARN_API bool sameName(std::string_view a, std::string_view b) noexcept;

}  // namespace tarn::typelib
