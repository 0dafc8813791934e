#include "tarn/frame/variant.h"

#include <cmath>

#include "tarn/frame/error.h"
#include "tarn/frame/numeric.h"

namespace tarn {

namespace {
[[noreturn]] void fail(std::int32_t number) { throw TarnError::platform(number); }

bool equalsIgnoringAsciiCase(StringView a, StringView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x -= 32;
    if (y >= u'a' && y <= u'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

StringView trimmed(StringView s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}
}  // namespace

Variant::ArrayBox::ArrayBox(VariantArray a) : p(std::make_unique<VariantArray>(std::move(a))) {}
Variant::ArrayBox::ArrayBox(const ArrayBox& o)
    : p(o.p ? std::make_unique<VariantArray>(*o.p) : nullptr) {}
Variant::ArrayBox& Variant::ArrayBox::operator=(const ArrayBox& o) {
  if (this != &o) p = o.p ? std::make_unique<VariantArray>(*o.p) : nullptr;
  return *this;
}
Variant::ArrayBox::~ArrayBox() = default;
bool Variant::ArrayBox::operator==(const ArrayBox& o) const {
  if (!p || !o.p) return p == o.p;
  return *p == *o.p;
}

Variant::Variant(VariantArray a) : v_(ArrayBox(std::move(a))) {}

Variant::Type Variant::type() const noexcept {
  switch (v_.index()) {
    case 0: return Type::Empty;
    case 1: return Type::Null;
    case 2: return Type::Error;
    case 3: return Type::Bool;
    case 4: return Type::Int16;
    case 5: return Type::Int32;
    case 6: return Type::Double;
    case 7: return Type::String;
    case 8: return Type::Object;
    default: return Type::Array;
  }
}

std::int32_t Variant::errorCode() const noexcept {
  const auto* e = std::get_if<ErrorCode>(&v_);
  return e ? e->code : 0;
}

bool Variant::isNumeric() const {
  switch (type()) {
    case Type::Empty:
    case Type::Bool:
    case Type::Int16:
    case Type::Int32:
    case Type::Double: return true;
    case Type::String: return isNumericText(std::get<String>(v_));
    default: return false;
  }
}

double Variant::numberOrThrow() const {
  switch (type()) {
    case Type::Empty: return 0;
    case Type::Null: fail(err::kInvalidUseOfNull);
    case Type::Bool: return std::get<bool>(v_) ? -1 : 0;
    case Type::Int16: return std::get<std::int16_t>(v_);
    case Type::Int32: return std::get<std::int32_t>(v_);
    case Type::Double: return std::get<double>(v_);
    case Type::String: {
      const auto n = parseNumericText(std::get<String>(v_));
      if (!n) fail(err::kTypeMismatch);
      return *n;
    }
    default: fail(err::kTypeMismatch);
  }
}

bool Variant::toBool() const {
  if (const auto* s = std::get_if<String>(&v_)) {
    const StringView t = trimmed(*s);
    if (equalsIgnoringAsciiCase(t, u"True")) return true;
    if (equalsIgnoringAsciiCase(t, u"False")) return false;
  }
  return numberOrThrow() != 0;
}

std::int16_t Variant::toInt16() const {
  if (const auto* i = std::get_if<std::int16_t>(&v_)) return *i;
  return roundToInt16(numberOrThrow());
}

std::int32_t Variant::convertToInt32() const { return roundToInt32(numberOrThrow()); }

double Variant::toDouble() const { return numberOrThrow(); }

String Variant::toString() const {
  switch (type()) {
    case Type::Empty: return String();
    case Type::Null: fail(err::kInvalidUseOfNull);
    case Type::Bool: return std::get<bool>(v_) ? u"True" : u"False";
    case Type::Int16: return decimalText(std::get<std::int16_t>(v_));
    case Type::Int32: return decimalText(std::get<std::int32_t>(v_));
    case Type::Double: return doubleText(std::get<double>(v_));
    case Type::String: return std::get<String>(v_);
    default: fail(err::kTypeMismatch);
  }
}

Ref<Object> Variant::toObject() const {
  if (isEmpty()) return nullptr;
  if (const auto* o = std::get_if<Ref<Object>>(&v_)) return *o;
  fail(err::kTypeMismatch);
}

const VariantArray& Variant::array() const {
  const auto* a = std::get_if<ArrayBox>(&v_);
  if (!a || !a->p) fail(err::kTypeMismatch);
  return *a->p;
}

VariantArray& Variant::array() {
  auto* a = std::get_if<ArrayBox>(&v_);
  if (!a || !a->p) fail(err::kTypeMismatch);
  return *a->p;
}

bool operator==(const Variant& a, const Variant& b) noexcept { return a.v_ == b.v_; }

VariantArray::VariantArray(std::int32_t lower, std::int32_t count)
    : VariantArray(std::vector<Bound>{{lower, count}}) {}

VariantArray::VariantArray(std::vector<Bound> bounds) : bounds_(std::move(bounds)) {
  std::size_t total = bounds_.empty() ? 0 : 1;
  for (const Bound& b : bounds_) {
    if (b.count < 0) fail(err::kSubscript);
    total *= static_cast<std::size_t>(b.count);
  }
  elements_.resize(total);
}

std::int32_t VariantArray::lowerBound(std::int32_t dim) const {
  if (dim < 1 || dim > dimensions()) fail(err::kSubscript);
  return bounds_[dim - 1].lower;
}

std::int32_t VariantArray::upperBound(std::int32_t dim) const {
  if (dim < 1 || dim > dimensions()) fail(err::kSubscript);
  return bounds_[dim - 1].lower + bounds_[dim - 1].count - 1;
}

Variant& VariantArray::at(std::int32_t index) {
  return const_cast<Variant&>(static_cast<const VariantArray&>(*this).at(index));
}

const Variant& VariantArray::at(std::int32_t index) const {
  if (dimensions() != 1) fail(err::kSubscript);
  const std::int64_t offset = std::int64_t{index} - bounds_[0].lower;
  if (offset < 0 || offset >= bounds_[0].count) fail(err::kSubscript);
  return elements_[static_cast<std::size_t>(offset)];
}

}  // namespace tarn
