#include "common/prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace erp2npx {

namespace {

// Smaller blocks mostly lie in pages the heap has touched already.
constexpr size_t kPrefaultBytes = size_t{64} << 10;

}  // namespace

void prefault(void* data, size_t bytes) {
  if (data == nullptr || bytes < kPrefaultBytes) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (start + page - 1) / page * page;
  const uintptr_t end = (start + bytes) / page * page;
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
  }
}

}  // namespace erp2npx
