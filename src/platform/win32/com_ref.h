// An owning COM interface pointer, shared by the engine adapter and the
// engine double of the Windows tests.
#pragma once

#include <utility>

namespace tessel::platform {

// Owns one reference.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  // Takes a reference the caller already owns.
  static ComRef Adopt(T* pointer) {
    ComRef ref;
    ref.pointer_ = pointer;
    return ref;
  }
  // Adds a reference of its own to a borrowed pointer.
  static ComRef Borrow(T* pointer) {
    if (pointer != nullptr) pointer->AddRef();
    return Adopt(pointer);
  }
  ComRef(const ComRef& other) : pointer_(other.pointer_) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComRef& operator=(ComRef other) noexcept {
    std::swap(pointer_, other.pointer_);
    return *this;
  }
  ~ComRef() { Reset(); }

  void Reset() {
    if (T* old = std::exchange(pointer_, nullptr)) old->Release();
  }
  // For an [out] parameter: releases what was held first.
  T** Put() {
    Reset();
    return &pointer_;
  }
  T* Get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // Hands the reference to an [out] parameter.
  T* Detach() { return std::exchange(pointer_, nullptr); }

 private:
  T* pointer_ = nullptr;
};

}  // namespace tessel::platform
