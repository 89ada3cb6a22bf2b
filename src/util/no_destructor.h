#pragma once

#include <new>
#include <utility>

namespace zv {

// Holds a process-wide object that is constructed on first use and never
// destroyed. Logging, caches and their mutexes must stay usable while other
// static destructors and exiting threads still run, so they are not torn down
// at exit.
template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace zv
