// Process-wide objects that must outlive every SDK thread.
//
// The SDK's background threads may still run while the process exits. Globals they use are
// therefore built once in static storage and never destroyed, so exit neither waits for
// those threads nor lets them touch a destroyed object.
#pragma once

#include <new>
#include <utility>

namespace zevsite {
template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() noexcept { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};
}  // namespace zevsite
