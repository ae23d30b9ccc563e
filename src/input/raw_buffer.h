#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/prefault.h"

namespace erp2npx {

// An allocator whose vectors grow without zeroing what they add: the bytes of
// a chunk and the samples of a block are always written before they are read,
// and zeroing them first would cost about as much as unpacking them. Their
// pages are mapped in as they are allocated.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  T* allocate(size_t count) {
    T* block = std::allocator<T>::allocate(count);
    prefault(block, count * sizeof(T));
    return block;
  }

  template <typename U>
  void construct(U* at) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

using Bytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;
using Samples = std::vector<float, UninitialisedAllocator<float>>;

}  // namespace erp2npx
