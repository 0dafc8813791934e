// Variant: the dynamically typed value of optional parameters and argument arrays.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"

namespace tarn {

class VariantArray;

// A value that is empty, null, missing (an omitted optional argument), an error code, a boolean
// (-1/0), a 16- or 32-bit integer, a double, a string, an object or an array. Conversions follow
// the platform's rules: halves round to even, out of range is overflow (6), unconvertible is
// type mismatch (13), null is invalid use of Null (94).
class TARN_API Variant {
 public:
  enum class Type : std::uint16_t {
    Empty = 0,
    Null = 1,
    Int16 = 2,
    Int32 = 3,
    Double = 5,
    String = 8,
    Object = 9,
    Error = 10,
    Bool = 11,
    Array = 0x200C,
  };
  // The error code that marks an omitted argument.
  static constexpr std::int32_t kMissingCode = static_cast<std::int32_t>(0x80020004u);

  Variant() noexcept = default;
  Variant(bool b) noexcept : v_(b) {}
  Variant(std::int16_t i) noexcept : v_(i) {}
  Variant(std::int32_t i) noexcept : v_(i) {}
  template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, std::int16_t> &&
             !std::same_as<T, std::int32_t> && !std::same_as<T, char> &&
             !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>)
  Variant(T i) noexcept {
    if (static_cast<long double>(i) >= INT32_MIN && static_cast<long double>(i) <= INT32_MAX) {
      v_ = static_cast<std::int32_t>(i);
    } else {
      v_ = static_cast<double>(i);
    }
  }
  Variant(double d) noexcept : v_(d) {}
  Variant(String s) noexcept : v_(std::move(s)) {}
  Variant(StringView s) : v_(String(s)) {}
  Variant(const char16_t* s) : v_(String(s)) {}
  Variant(const char*) = delete;  // say u"..." or fromUtf8(): narrow text has no fixed encoding
  template <class T>
    requires std::is_base_of_v<Object, T>
  Variant(const Ref<T>& o) noexcept : v_(Ref<Object>(o)) {}
  Variant(VariantArray a);

  [[nodiscard]] static Variant missing() noexcept { return error(kMissingCode); }
  [[nodiscard]] static Variant null() noexcept {
    Variant v;
    v.v_ = NullTag{};
    return v;
  }
  [[nodiscard]] static Variant error(std::int32_t code) noexcept {
    Variant v;
    v.v_ = ErrorCode{code};
    return v;
  }

  [[nodiscard]] Type type() const noexcept;
  [[nodiscard]] bool isEmpty() const noexcept { return type() == Type::Empty; }
  [[nodiscard]] bool isNull() const noexcept { return type() == Type::Null; }
  [[nodiscard]] bool isMissing() const noexcept {
    const auto* e = std::get_if<ErrorCode>(&v_);
    return e != nullptr && e->code == kMissingCode;
  }
  [[nodiscard]] bool isString() const noexcept { return type() == Type::String; }
  [[nodiscard]] bool isObject() const noexcept { return type() == Type::Object; }
  [[nodiscard]] bool isArray() const noexcept { return type() == Type::Array; }
  // The error code held (Type::Error only; 0 otherwise).
  [[nodiscard]] std::int32_t errorCode() const noexcept;

  // The platform's numeric test: empty, booleans and numbers are numeric; strings when their
  // text reads as a number; null, errors (so omitted arguments), objects and arrays are not.
  [[nodiscard]] bool isNumeric() const;

  [[nodiscard]] bool toBool() const;
  [[nodiscard]] std::int16_t toInt16() const;
  [[nodiscard]] std::int32_t toInt32() const {
    // Inline for the common case: element numbers and counts arrive as 32-bit integers.
    if (const auto* i = std::get_if<std::int32_t>(&v_)) return *i;
    return convertToInt32();
  }
  [[nodiscard]] double toDouble() const;
  [[nodiscard]] String toString() const;
  // The object held, or nothing for an empty variant; other types are a type mismatch.
  [[nodiscard]] Ref<Object> toObject() const;
  [[nodiscard]] const VariantArray& array() const;  // throws type mismatch unless an array
  [[nodiscard]] VariantArray& array();

  friend TARN_API bool operator==(const Variant& a, const Variant& b) noexcept;

 private:
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };
  struct ErrorCode {
    std::int32_t code;
    bool operator==(const ErrorCode&) const = default;
  };
  // Arrays are values: copying a variant copies its array.
  struct ArrayBox {
    std::unique_ptr<VariantArray> p;
    ArrayBox() = default;
    explicit ArrayBox(VariantArray a);
    ArrayBox(const ArrayBox& o);
    ArrayBox(ArrayBox&&) noexcept = default;
    ArrayBox& operator=(const ArrayBox& o);
    ArrayBox& operator=(ArrayBox&&) noexcept = default;
    ~ArrayBox();
    bool operator==(const ArrayBox& o) const;
  };
  double numberOrThrow() const;
  [[nodiscard]] std::int32_t convertToInt32() const;

  std::variant<std::monostate, NullTag, ErrorCode, bool, std::int16_t, std::int32_t, double,
               String, Ref<Object>, ArrayBox>
      v_;
};

// An array of variants with a lower bound per dimension (row-major for more than one).
class TARN_API VariantArray {
 public:
  struct Bound {
    std::int32_t lower = 0;
    std::int32_t count = 0;
    bool operator==(const Bound&) const = default;
  };
  VariantArray() = default;
  // A one-dimensional array of count elements, indexed from lower.
  VariantArray(std::int32_t lower, std::int32_t count);
  explicit VariantArray(std::vector<Bound> bounds);

  [[nodiscard]] std::int32_t dimensions() const noexcept {
    return static_cast<std::int32_t>(bounds_.size());
  }
  [[nodiscard]] std::int32_t lowerBound(std::int32_t dim = 1) const;
  [[nodiscard]] std::int32_t upperBound(std::int32_t dim = 1) const;
  [[nodiscard]] std::size_t size() const noexcept { return elements_.size(); }
  // Element by index of a one-dimensional array; throws subscript out of range (9).
  [[nodiscard]] Variant& at(std::int32_t index);
  [[nodiscard]] const Variant& at(std::int32_t index) const;
  [[nodiscard]] std::vector<Variant>& elements() noexcept { return elements_; }
  [[nodiscard]] const std::vector<Variant>& elements() const noexcept { return elements_; }

  bool operator==(const VariantArray&) const = default;

 private:
  std::vector<Bound> bounds_;
  std::vector<Variant> elements_;
};

}  // namespace tarn
