#pragma once

#include <hdf5.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "common/status.h"
#include "input/hdf5_handle.h"
#include "input/raw_buffer.h"

namespace erp2npx {

// Access properties for a chunked dataset read in storage order: a cache for
// the chunks around one block of reads. The default preemption weight, since
// with 1.0 this library version keeps every chunk it has decompressed, far
// beyond the cache size. The library's default cache when it refuses this
// one: the same values, read more slowly.
Hid chunkCacheAccess();

// The elements of a dataset in storage order (row-major, last index fastest)
// and the chunks that hold them.
class ChunkGrid {
 public:
  ChunkGrid() = default;
  // A contiguous dataset is one chunk the size of the dataset.
  ChunkGrid(std::vector<hsize_t> dims, std::vector<hsize_t> chunk);

  const std::vector<hsize_t>& dims() const { return dims_; }
  const std::vector<hsize_t>& chunk() const { return chunk_; }
  const std::vector<uint64_t>& strides() const { return strides_; }
  uint64_t linearIndex(const hsize_t* coords) const;
  // Chunks the dataspace declares, saturating at UINT64_MAX.
  uint64_t chunkCount() const;

  // Visits, in grid order, the chunks whose first element lies before limit:
  // exactly the chunks that hold elements of [0, limit), in the order of
  // their first elements. visit(origin) returns false to stop, and so does
  // this function then.
  template <typename Visit>
  bool forEachChunkBefore(uint64_t limit, Visit visit) const;

  // Visits the runs of consecutive elements inside the box at origin with
  // the given extents: visit(firstElement, offsetInBuffer, length), for a
  // buffer laid out row-major with the dimensions of layout (the extents
  // themselves for a box read, the chunk's for a chunk as stored, which
  // keeps its full size at the dataset's edge); false from visit stops.
  template <typename Visit>
  bool forEachRun(const hsize_t* origin, const hsize_t* extent, const hsize_t* layout,
                  Visit visit) const;
  template <typename Visit>
  bool forEachRun(const hsize_t* origin, const hsize_t* extent, Visit visit) const {
    return forEachRun(origin, extent, extent, visit);
  }

  // The extents of the chunk at origin, cut at the dataset's edge.
  std::vector<hsize_t> chunkExtent(const hsize_t* origin) const;

 private:
  std::vector<hsize_t> dims_;
  std::vector<hsize_t> chunk_;
  std::vector<uint64_t> strides_;  // elements per step of each dimension
};

// How a dataset stores its values, as far as reading them soundly goes.
struct DatasetStorage {
  enum class Allocation { kNone, kPartial, kFull };
  ChunkGrid grid;
  uint64_t elements = 0;
  bool chunked = false;
  bool filtered = false;
  Allocation allocation = Allocation::kNone;
  uint64_t storedChunks = 0;   // when partly allocated
  uint64_t writtenPrefix = 0;  // elements before the first unwritten chunk
};

// Describes a dataset's storage; fails when its shape cannot be addressed or
// its storage examined. Counting the written chunks of a partly allocated
// dataset takes time in proportion to what is stored, not to what is
// declared.
Result<DatasetStorage> describeStorage(hid_t dataset);

// A box of a dataset as read: its origin, its extents and its values,
// row-major, in the memory type asked for. Returns false to stop the reading.
using BoxVisitor =
    std::function<bool(const hsize_t* origin, const hsize_t* extent, const void* values)>;

// Reads the boxes that hold the first count elements in storage order, each
// touching a bounded number of chunks and values, so neither the library's
// per-chunk bookkeeping nor a buffer grows with the dataset; chunkByChunk
// reads one chunk at a time and leaves out the chunks never written. A box
// that cannot be read goes to failed (its values undefined) instead of visit.
Status readBoxes(hid_t dataset, const DatasetStorage& storage, hid_t memoryType, size_t valueBytes,
                 uint64_t count, bool chunkByChunk, const BoxVisitor& visit,
                 const BoxVisitor& failed);

// The first count elements in storage order through the memory type of T.
// count must not pass the written prefix of a partly written dataset.
template <typename T>
Result<std::vector<T>> readLeadingValues(hid_t dataset, const DatasetStorage& storage,
                                         uint64_t count);

// The first count elements in storage order as 32-bit integers, read through
// a memory type that holds any stored value exactly (64-bit integers or
// double), so that the library's conversion never clips or truncates one.
// Fails naming the first value, in storage order, that is no 32-bit integer:
// beyond the 32-bit range, or a float that is not a whole number.
Result<std::vector<int32_t>> readLeadingIntegers(hid_t dataset, const DatasetStorage& storage,
                                                 uint64_t count);

// The bytes the chunk at origin takes in the file as stored; 0 for a chunk
// never written, which reads as fill values that the writer never meant.
uint64_t storedChunkBytes(hid_t dataset, const hsize_t* origin);
inline bool chunkWritten(hid_t dataset, const hsize_t* origin) {
  return storedChunkBytes(dataset, origin) > 0;
}

// Reads the chunk at origin as stored, before any filter is undone, into
// stored (a buffer kept for the next chunk), as many bytes as
// storedChunkBytes gave. filterMask has bit i set for a filter the writer
// skipped for this chunk.
Status readStoredChunk(hid_t dataset, const hsize_t* origin, uint64_t bytes, Bytes& stored,
                       uint32_t& filterMask);

// Of the first epochCount runs of epochValues elements, those that touch an
// unwritten chunk. Fails when finding them would cost far more chunk
// lookups than the dataset has written chunks.
Result<std::vector<bool>> findUnwrittenEpochs(hid_t dataset, const DatasetStorage& storage,
                                              uint64_t epochCount, uint64_t epochValues);

// ---------------------------------------------------------------- templates

template <typename Visit>
bool ChunkGrid::forEachChunkBefore(uint64_t limit, Visit visit) const {
  const size_t rank = dims_.size();
  for (hsize_t d : dims_) {
    if (d == 0) return true;
  }
  std::vector<hsize_t> origin(rank, 0);
  while (linearIndex(origin.data()) < limit) {
    if (!visit(static_cast<const hsize_t*>(origin.data()))) return false;
    // Next chunk in grid order, last dimension fastest.
    size_t d = rank;
    while (d > 0) {
      --d;
      origin[d] += chunk_[d];
      if (origin[d] < dims_[d]) break;
      origin[d] = 0;
      if (d == 0) return true;
    }
    if (rank == 0) return true;
  }
  return true;
}

template <typename Visit>
bool ChunkGrid::forEachRun(const hsize_t* origin, const hsize_t* extent, const hsize_t* layout,
                           Visit visit) const {
  const size_t rank = dims_.size();
  if (rank == 0) return visit(uint64_t{0}, uint64_t{0}, uint64_t{1});
  // Trailing dimensions that the box spans whole, in the dataset and in the
  // buffer alike, join its rows into longer runs.
  size_t level = rank - 1;
  while (level > 0 && origin[level] == 0 && extent[level] == dims_[level] &&
         layout[level] == extent[level]) {
    --level;
  }
  const uint64_t length = extent[level] * strides_[level];
  std::vector<uint64_t> layoutStrides(rank, 1);
  for (size_t d = rank; d-- > 1;) layoutStrides[d - 1] = layoutStrides[d] * layout[d];
  std::vector<hsize_t> at(origin, origin + rank);
  for (size_t d = level + 1; d < rank; ++d) at[d] = 0;
  while (true) {
    uint64_t offset = 0;
    for (size_t d = 0; d < level; ++d) offset += (at[d] - origin[d]) * layoutStrides[d];
    if (!visit(linearIndex(at.data()), offset, length)) return false;
    size_t d = level;
    while (d > 0) {
      --d;
      if (++at[d] < origin[d] + extent[d]) break;
      at[d] = origin[d];
      if (d == 0) return true;
    }
    if (level == 0) return true;
  }
}

}  // namespace erp2npx
