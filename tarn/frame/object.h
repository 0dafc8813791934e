// Object identity and lifetime: an intrusive reference count, released where the last Ref goes.
#pragma once

#include <cstdint>
#include <utility>

#include "tarn/frame/export.h"

namespace tarn {

// Base of every library class. Objects are made by T::create() and shared through Ref<T>;
// teardown runs in the destructor when the last reference goes. Used from one thread at a time.
class TARN_API Object {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  void addRef() const noexcept { ++refs_; }
  void release() const noexcept {
    if (--refs_ == 0) delete this;
  }
  // The low 32 bits of the object's address: the instance part of its handle.
  [[nodiscard]] std::uint32_t identity() const noexcept {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this));
  }

 private:
  mutable std::uint32_t refs_ = 0;
};

// A counted reference to an Object (or nothing).
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  explicit Ref(T* p) noexcept : p_(p) {
    if (p_) p_->addRef();
  }
  Ref(const Ref& o) noexcept : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  Ref(const Ref<U>& o) noexcept : Ref(o.get()) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  Ref(Ref<U>&& o) noexcept : p_(o.detach()) {}
  ~Ref() {
    if (p_) p_->release();
  }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  [[nodiscard]] T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Drops the reference; the object is torn down here if this was its last one.
  void reset() noexcept { Ref().swapWith(*this); }
  // Gives up ownership without releasing; the caller must balance it with release().
  [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }

  friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  void swapWith(Ref& o) noexcept { std::swap(p_, o.p_); }
  T* p_ = nullptr;
};

template <class T, class... Args>
[[nodiscard]] Ref<T> makeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

// A checked down-cast between references; nothing when the object is of another class.
template <class T, class U>
[[nodiscard]] Ref<T> refCast(const Ref<U>& r) noexcept {
  return Ref<T>(dynamic_cast<T*>(r.get()));
}

}  // namespace tarn
