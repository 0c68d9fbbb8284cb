#pragma once

#include <cstddef>

namespace est::detail {

// Storage of the value tree (array elements, object members and index, objects, long texts).
// Released blocks up to a few hundred bytes stay in a bounded per-thread cache and are handed
// out again, so building and dropping a parsed tree costs a list push and pop per block instead
// of a trip through the heap's bins. Every block is an ordinary heap block of its own, so any
// thread may release what another one allocated.
void* poolAllocate(std::size_t bytes);
void poolRelease(void* block, std::size_t bytes) noexcept;

template <class T>
struct PoolAllocator {
  using value_type = T;
  PoolAllocator() noexcept = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(poolAllocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { poolRelease(p, n * sizeof(T)); }
  friend bool operator==(const PoolAllocator&, const PoolAllocator&) noexcept { return true; }
};

}  // namespace est::detail
