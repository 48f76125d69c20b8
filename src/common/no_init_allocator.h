// Vectors whose growth writes nothing into the new elements.
#pragma once

#include <memory>
#include <utility>

namespace velkan {

// An allocator whose value-less construction default-initialises: growing a
// vector of plain values leaves the new elements as the memory had them (the
// builder sizes its edge array to a bound and writes only what it keeps; a
// raster's calloc'd cells are zero already). `Memory` supplies the storage.
template <class T, class Memory = std::allocator<T>>
struct NoInitAllocator : Memory {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = NoInitAllocator<U, typename std::allocator_traits<Memory>::template rebind_alloc<U>>;
  };

  NoInitAllocator() = default;
  template <class U, class M>
  NoInitAllocator(const NoInitAllocator<U, M>& other) noexcept : Memory(other) {}

  template <class U>
  void construct(U* where) noexcept {
    ::new (static_cast<void*>(where)) U;
  }
  template <class U, class... Args>
  void construct(U* where, Args&&... args) {
    ::new (static_cast<void*>(where)) U(std::forward<Args>(args)...);
  }
};

}  // namespace velkan
