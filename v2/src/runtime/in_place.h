// Storage for one member of a calloc'ed object that is constructed and
// destroyed explicitly, at a chosen step, and knows whether it is live. A
// zero-filled InPlace is "not constructed", which lets teardown run on a
// half-built object.
#pragma once

#include <new>
#include <utility>

namespace vorlet::v2 {

template <class T>
class InPlace {
 public:
  // May throw what T's constructor throws; the slot stays not live then.
  template <class... Args>
  T& construct(Args&&... args) {
    T* p = ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    live_ = true;
    return *p;
  }

  void destroy() noexcept {
    if (!live_) return;
    get().~T();
    live_ = false;
  }

  bool live() const noexcept { return live_; }

  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
  const T& get() const noexcept { return *std::launder(reinterpret_cast<const T*>(storage_)); }
  T* operator->() noexcept { return &get(); }
  const T* operator->() const noexcept { return &get(); }
  T& operator*() noexcept { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  bool live_;
};

}  // namespace vorlet::v2
