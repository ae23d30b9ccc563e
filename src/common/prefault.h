#pragma once

#include <cstddef>
#include <vector>

namespace erp2npx {

// Fresh memory is faulted in a page at a time on first touch, at many times
// the cost of mapping its pages in at once, above all under a hypervisor.
// Maps in the whole pages of a block of some size at once; harmless on pages
// already there, and nothing where the system cannot.
void prefault(void* data, size_t bytes);

// A vector of count copies of value, its pages mapped in at once.
template <typename T>
std::vector<T> prefaultedVector(size_t count, const T& value = T()) {
  std::vector<T> values;
  values.reserve(count);
  prefault(values.data(), count * sizeof(T));
  values.assign(count, value);
  return values;
}

}  // namespace erp2npx
