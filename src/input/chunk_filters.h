#pragma once

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/status.h"
#include "input/raw_buffer.h"

namespace erp2npx {

// The filters of a chunked dataset when this program undoes them itself, on
// any thread: deflate (through libdeflate), shuffle and fletcher32, in the
// order the writer applied them. A dataset with any other filter is left to
// the library's own read.
class ChunkFilters {
 public:
  // The dataset's filters, or nothing when one of them is not undone here.
  static std::optional<ChunkFilters> of(hid_t creationProperties);

  // Undoes the filters on a chunk as stored, in place; filterMask has bit i
  // set for a filter the writer skipped. Fails when a checksum does not match,
  // the data does not inflate, or the chunk does not come to chunkBytes;
  // throws std::bad_alloc when memory is short.
  Status decode(Bytes& chunk, uint32_t filterMask, size_t chunkBytes) const;

 private:
  enum class Kind { kDeflate, kShuffle, kFletcher32 };
  struct Filter {
    Kind kind;
    size_t elementSize;  // of the shuffle
  };
  std::vector<Filter> filters_;  // in the order the writer applied them
};

// The checksum the library's fletcher32 filter stores, over size bytes.
uint32_t fletcher32(const uint8_t* data, size_t size);

}  // namespace erp2npx
