#include "input/dataset_storage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "common/messages.h"
#include "common/prefault.h"
#include "input/raw_buffer.h"

namespace erp2npx {

namespace {

// Bounds of one read: the library keeps several kilobytes of bookkeeping per
// chunk a read touches, and the values pass through a buffer of their own.
constexpr uint64_t kChunksPerRead = 256;
constexpr uint64_t kValuesPerRead = uint64_t{1} << 20;
// Element counts beyond this are taken as a damaged dataspace: offsets in
// bytes must still fit 64 bits.
constexpr uint64_t kMaxElements = uint64_t{1} << 58;

uint64_t saturatingProduct(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) {
    return std::numeric_limits<uint64_t>::max();
  }
  return a * b;
}

hid_t nativeType(int32_t*) { return H5T_NATIVE_INT32; }
hid_t nativeType(double*) { return H5T_NATIVE_DOUBLE; }

// Boxes of whole chunks, read one per call: for dimensions before `level`
// one chunk row, along `level` a run of `run` chunks, after it everything.
struct BoxPlan {
  ChunkGrid grid;
  size_t level = 0;
  hsize_t run = 1;
};

// Contiguous values: rows of whole trailing dimensions, as many as fit.
BoxPlan planContiguousBoxes(const std::vector<hsize_t>& dims) {
  const size_t rank = dims.size();
  std::vector<hsize_t> chunk(dims);
  size_t level = 0;
  uint64_t inner = 1;
  for (size_t d = 0; d < rank; ++d) inner = saturatingProduct(inner, dims[d]);
  for (; level < rank; ++level) {
    inner /= std::max<hsize_t>(dims[level], 1);
    if (inner <= kValuesPerRead) break;
    chunk[level] = 1;
  }
  if (level < rank) {
    chunk[level] = std::max<uint64_t>(1, std::min<uint64_t>(dims[level], kValuesPerRead / inner));
  }
  BoxPlan plan;
  plan.grid = ChunkGrid(dims, chunk);
  plan.level = level < rank ? level : 0;
  return plan;
}

// Stored chunks: the outermost level whose boxes stay within both bounds.
BoxPlan planChunkBoxes(const ChunkGrid& grid) {
  const std::vector<hsize_t>& dims = grid.dims();
  const std::vector<hsize_t>& chunk = grid.chunk();
  const size_t rank = dims.size();
  BoxPlan plan;
  plan.grid = grid;
  for (size_t level = 0; level < rank; ++level) {
    uint64_t innerChunks = 1;
    uint64_t innerValues = 1;
    for (size_t d = level + 1; d < rank; ++d) {
      innerChunks = saturatingProduct(innerChunks, (dims[d] + chunk[d] - 1) / chunk[d]);
      innerValues = saturatingProduct(innerValues, dims[d]);
    }
    uint64_t rowValues = saturatingProduct(innerValues, chunk[level]);
    for (size_t d = 0; d < level; ++d) rowValues = saturatingProduct(rowValues, chunk[d]);
    if ((innerChunks <= kChunksPerRead && rowValues <= kValuesPerRead) || level + 1 == rank) {
      plan.level = level;
      plan.run = std::max<uint64_t>(1, std::min(kChunksPerRead / std::max<uint64_t>(innerChunks, 1),
                                                kValuesPerRead / std::max<uint64_t>(rowValues, 1)));
      return plan;
    }
  }
  return plan;
}

// The boxes one read walks: those of the plan, or single chunks when read
// chunk by chunk; none past the chunk that holds the last value wanted.
struct BoxWalk {
  BoxPlan plan;
  bool perChunk = false;
  uint64_t count = 0;

  // Boxes start at every run-th chunk along their level, and at the first
  // chunk of the dimensions after it; the other chunks lie inside one.
  bool startsBox(const hsize_t* origin) const {
    const ChunkGrid& grid = plan.grid;
    if ((origin[plan.level] / grid.chunk()[plan.level]) % plan.run != 0) return false;
    if (perChunk) return true;
    for (size_t d = plan.level + 1; d < grid.dims().size(); ++d) {
      if (origin[d] != 0) return false;
    }
    return true;
  }

  // The extents of the box at origin; returns the values it holds.
  uint64_t extentAt(const hsize_t* origin, hsize_t* extent) const {
    const ChunkGrid& grid = plan.grid;
    const size_t level = plan.level;
    for (size_t d = 0; d < grid.dims().size(); ++d) {
      const hsize_t span = d > level && !perChunk ? grid.dims()[d]
                           : d == level           ? grid.chunk()[d] * plan.run
                                                  : grid.chunk()[d];
      extent[d] = std::min(span, grid.dims()[d] - origin[d]);
    }
    // No row past those that hold the values wanted: its chunk may never
    // have been written, and a probe of one epoch reads one epoch.
    const uint64_t first = grid.linearIndex(origin);
    const uint64_t rowValues = std::max<uint64_t>(grid.strides()[level], 1);
    extent[level] = std::min<uint64_t>(extent[level], (count - first + rowValues - 1) / rowValues);
    uint64_t values = 1;
    for (size_t d = 0; d < grid.dims().size(); ++d) values *= extent[d];
    return values;
  }
};

BoxWalk boxWalk(const DatasetStorage& storage, bool chunkByChunk, uint64_t count) {
  BoxWalk walk;
  walk.plan =
      storage.chunked ? planChunkBoxes(storage.grid) : planContiguousBoxes(storage.grid.dims());
  walk.perChunk = chunkByChunk && storage.chunked;
  if (walk.perChunk) walk.plan.run = 1;
  walk.count = count;
  return walk;
}

// Reads the box at origin, of values values, into buffer.
bool readBox(hid_t dataset, hid_t fileSpace, hid_t memoryType, const hsize_t* origin,
             const hsize_t* extent, uint64_t values, void* buffer) {
  const hsize_t memoryCount = values;
  const Hid memory = dataspaceHandle(H5Screate_simple(1, &memoryCount, nullptr));
  return memory.valid() &&
         H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, origin, nullptr, extent, nullptr) >= 0 &&
         H5Dread(dataset, memoryType, memory.get(), fileSpace, H5P_DEFAULT, buffer) >= 0;
}

// A dataset of no dimensions: its one value.
Status readScalar(hid_t dataset, hid_t memoryType, size_t valueBytes, const BoxVisitor& visit,
                  const BoxVisitor& failed) {
  std::vector<unsigned char> value(valueBytes);
  const hsize_t none = 0;
  if (H5Dread(dataset, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, value.data()) < 0) {
    return failed(&none, &none, value.data()) ? Status::done()
                                              : Status::failed(msg::kReadingFailed);
  }
  visit(&none, &none, value.data());
  return Status::done();
}

// The shape and layout of a dataset, all but its allocation.
Result<DatasetStorage> describeLayout(hid_t space, hid_t creation) {
  const int rank = H5Sget_simple_extent_ndims(space);
  std::vector<hsize_t> dims(static_cast<size_t>(std::max(rank, 0)));
  if (rank < 0 || H5Sget_simple_extent_dims(space, dims.data(), nullptr) < 0) {
    return Status::failed(msg::kShapeUnreadable);
  }
  uint64_t elements = H5Sget_simple_extent_type(space) == H5S_NULL ? 0 : 1;
  for (const hsize_t d : dims) elements = saturatingProduct(elements, d);
  if (elements > kMaxElements) {
    return Status::failed(msg::tooManyElements(elements));
  }
  const int filters = H5Pget_nfilters(creation);
  const H5D_layout_t layout = H5Pget_layout(creation);
  if (filters < 0 || layout == H5D_LAYOUT_ERROR) {
    return Status::failed(msg::kStorageUnexaminable);
  }
  DatasetStorage storage;
  storage.elements = elements;
  storage.filtered = filters > 0;
  storage.chunked = layout == H5D_CHUNKED;
  std::vector<hsize_t> chunk(dims);
  if (storage.chunked && rank > 0) {
    if (H5Pget_chunk(creation, rank, chunk.data()) != rank ||
        std::find(chunk.begin(), chunk.end(), 0) != chunk.end()) {
      return Status::failed(msg::kChunkShapeUnreadable);
    }
  }
  storage.grid = ChunkGrid(std::move(dims), std::move(chunk));
  return storage;
}

// Adds to a described layout how much of it is stored.
Result<DatasetStorage> describeAllocation(hid_t dataset, hid_t space, DatasetStorage storage) {
  H5D_space_status_t status = H5D_SPACE_STATUS_ERROR;
  if (H5Dget_space_status(dataset, &status) < 0 || status == H5D_SPACE_STATUS_ERROR) {
    return Status::failed(msg::kStorageUnexaminable);
  }
  if (storage.elements == 0 || status == H5D_SPACE_STATUS_NOT_ALLOCATED) return storage;
  storage.allocation = DatasetStorage::Allocation::kFull;
  storage.writtenPrefix = storage.elements;
  if (!storage.chunked) return storage;
  // The library's own status compares bytes, which compression and partial
  // edge chunks make differ: count the chunks instead.
  hsize_t stored = 0;
  if (H5Dget_num_chunks(dataset, space, &stored) < 0) {
    return Status::failed(msg::kChunksUncountable);
  }
  storage.storedChunks = stored;
  if (stored >= storage.grid.chunkCount()) return storage;
  storage.allocation = DatasetStorage::Allocation::kPartial;
  // The chunks before the first unwritten one, in grid order, are exactly
  // those whose values all come before its first value.
  storage.grid.forEachChunkBefore(storage.elements, [&](const hsize_t* origin) {
    if (chunkWritten(dataset, origin)) return true;
    storage.writtenPrefix = storage.grid.linearIndex(origin);
    return false;
  });
  return storage;
}

}  // namespace

Hid chunkCacheAccess() {
  Hid access = propertyListHandle(H5Pcreate(H5P_DATASET_ACCESS));
  if (!access.valid() || H5Pset_chunk_cache(access.get(), 12421, size_t{32} << 20, 0.75) < 0) {
    return defaultProperties();
  }
  return access;
}

ChunkGrid::ChunkGrid(std::vector<hsize_t> dims, std::vector<hsize_t> chunk)
    : dims_(std::move(dims)), chunk_(std::move(chunk)), strides_(dims_.size(), 1) {
  for (size_t d = dims_.size(); d-- > 1;) strides_[d - 1] = strides_[d] * dims_[d];
}

uint64_t ChunkGrid::linearIndex(const hsize_t* coords) const {
  uint64_t index = 0;
  for (size_t d = 0; d < dims_.size(); ++d) index += coords[d] * strides_[d];
  return index;
}

uint64_t ChunkGrid::chunkCount() const {
  uint64_t count = 1;
  for (size_t d = 0; d < dims_.size(); ++d) {
    count = saturatingProduct(count, (dims_[d] + chunk_[d] - 1) / chunk_[d]);
  }
  return count;
}

std::vector<hsize_t> ChunkGrid::chunkExtent(const hsize_t* origin) const {
  std::vector<hsize_t> extent(dims_.size());
  for (size_t d = 0; d < dims_.size(); ++d) extent[d] = std::min(chunk_[d], dims_[d] - origin[d]);
  return extent;
}

Result<DatasetStorage> describeStorage(hid_t dataset) {
  const Hid space = dataspaceHandle(H5Dget_space(dataset));
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset));
  if (!space.valid() || !creation.valid()) return Status::failed(msg::kShapeUnreadable);
  Result<DatasetStorage> layout = describeLayout(space.get(), creation.get());
  if (!layout.ok()) return layout;
  return describeAllocation(dataset, space.get(), std::move(layout).value());
}

uint64_t storedChunkBytes(hid_t dataset, const hsize_t* origin) {
  hsize_t bytes = 0;
  herr_t status = -1;
  // A missing chunk is an answer here, not an error worth the library's report.
  H5E_BEGIN_TRY { status = H5Dget_chunk_storage_size(dataset, origin, &bytes); }
  H5E_END_TRY;
  return status >= 0 ? bytes : 0;
}

Status readBoxes(hid_t dataset, const DatasetStorage& storage, hid_t memoryType, size_t valueBytes,
                 uint64_t count, bool chunkByChunk, const BoxVisitor& visit,
                 const BoxVisitor& failed) {
  if (count == 0) return Status::done();
  if (storage.grid.dims().empty())
    return readScalar(dataset, memoryType, valueBytes, visit, failed);
  const BoxWalk walk = boxWalk(storage, chunkByChunk, count);
  const bool skipUnwritten =
      chunkByChunk && storage.allocation == DatasetStorage::Allocation::kPartial;
  // An invalid one fails every box's read, and each box goes to failed.
  const Hid fileSpace = dataspaceHandle(H5Dget_space(dataset));
  Bytes buffer;  // filled by each read before it is looked at
  std::vector<hsize_t> extent(storage.grid.dims().size());
  const bool finished = walk.plan.grid.forEachChunkBefore(count, [&](const hsize_t* origin) {
    if (!walk.startsBox(origin)) return true;
    if (skipUnwritten && !chunkWritten(dataset, origin)) return true;
    const uint64_t values = walk.extentAt(origin, extent.data());
    if (buffer.size() < values * valueBytes) buffer.resize(values * valueBytes);
    const bool read =
        readBox(dataset, fileSpace.get(), memoryType, origin, extent.data(), values, buffer.data());
    return (read ? visit : failed)(origin, extent.data(), buffer.data());
  });
  return finished ? Status::done() : Status::failed(msg::kReadingFailed);
}

template <typename T>
Result<std::vector<T>> readLeadingValues(hid_t dataset, const DatasetStorage& storage,
                                         uint64_t count) {
  std::vector<T> values = prefaultedVector<T>(count);
  const ChunkGrid& grid = storage.grid;
  const Status read = readBoxes(
      dataset, storage, nativeType(static_cast<T*>(nullptr)), sizeof(T), count, false,
      [&](const hsize_t* origin, const hsize_t* extent, const void* box) {
        const T* boxValues = static_cast<const T*>(box);
        if (grid.dims().empty()) {
          values[0] = boxValues[0];
          return true;
        }
        return grid.forEachRun(origin, extent, [&](uint64_t at, uint64_t offset, uint64_t length) {
          if (at < count) {
            std::copy(boxValues + offset, boxValues + offset + std::min(length, count - at),
                      values.begin() + static_cast<std::ptrdiff_t>(at));
          }
          return true;
        });
      },
      [](const hsize_t*, const hsize_t*, const void*) { return false; });
  if (!read.ok()) return read;
  return values;
}

template Result<std::vector<int32_t>> readLeadingValues<int32_t>(hid_t, const DatasetStorage&,
                                                                 uint64_t);
template Result<std::vector<double>> readLeadingValues<double>(hid_t, const DatasetStorage&,
                                                               uint64_t);

namespace {

bool asInt32(int64_t value, int32_t& out) {
  if (value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool asInt32(uint64_t value, int32_t& out) {
  if (value > static_cast<uint64_t>(INT32_MAX)) return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool asInt32(double value, int32_t& out) {
  // NaN fails every comparison.
  if (!(value >= -2147483648.0 && value <= 2147483647.0) || value != std::trunc(value)) {
    return false;
  }
  out = static_cast<int32_t>(value);
  return true;
}

std::string valueText(int64_t value) { return std::to_string(value); }
std::string valueText(uint64_t value) { return std::to_string(value); }
std::string valueText(double value) {
  // The shortest text that reads back as the same value.
  char text[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::isnan(value) || std::strtod(text, nullptr) == value) break;
  }
  return text;
}

template <typename Wide>
Result<std::vector<int32_t>> readIntegersThrough(hid_t dataset, const DatasetStorage& storage,
                                                 hid_t memoryType, uint64_t count) {
  std::vector<int32_t> values = prefaultedVector<int32_t>(count);
  const ChunkGrid& grid = storage.grid;
  // Boxes do not come in the order of their values: the first is the lowest index.
  uint64_t badIndex = std::numeric_limits<uint64_t>::max();
  Wide badValue{};
  const auto take = [&](uint64_t at, const Wide* run, uint64_t length) {
    for (uint64_t i = 0; i < length && at + i < count; ++i) {
      if (!asInt32(run[i], values[at + i]) && at + i < badIndex) {
        badIndex = at + i;
        badValue = run[i];
      }
    }
    return true;
  };
  const Status read = readBoxes(
      dataset, storage, memoryType, sizeof(Wide), count, false,
      [&](const hsize_t* origin, const hsize_t* extent, const void* box) {
        const Wide* boxValues = static_cast<const Wide*>(box);
        if (grid.dims().empty()) return take(0, boxValues, 1);
        return grid.forEachRun(origin, extent, [&](uint64_t at, uint64_t offset, uint64_t length) {
          return take(at, boxValues + offset, length);
        });
      },
      [](const hsize_t*, const hsize_t*, const void*) { return false; });
  if (!read.ok()) return read;
  if (badIndex != std::numeric_limits<uint64_t>::max()) {
    return Status::failed(msg::notA32BitInteger(valueText(badValue), badIndex));
  }
  return values;
}

}  // namespace

Result<std::vector<int32_t>> readLeadingIntegers(hid_t dataset, const DatasetStorage& storage,
                                                 uint64_t count) {
  const Hid type = datatypeHandle(H5Dget_type(dataset));
  if (!type.valid()) return Status::failed(msg::kTypeUnreadable);
  // Stored as they are kept, the values need neither converting nor checking.
  if (H5Tequal(type.get(), H5T_NATIVE_INT32) > 0) {
    return readLeadingValues<int32_t>(dataset, storage, count);
  }
  if (H5Tget_class(type.get()) == H5T_FLOAT) {
    return readIntegersThrough<double>(dataset, storage, H5T_NATIVE_DOUBLE, count);
  }
  if (H5Tget_sign(type.get()) == H5T_SGN_NONE) {
    return readIntegersThrough<uint64_t>(dataset, storage, H5T_NATIVE_UINT64, count);
  }
  return readIntegersThrough<int64_t>(dataset, storage, H5T_NATIVE_INT64, count);
}

Status readStoredChunk(hid_t dataset, const hsize_t* origin, uint64_t bytes, Bytes& stored,
                       uint32_t& filterMask) {
  try {
    stored.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return Status::failed(msg::kChunkTooLargeForMemory);
  }
  herr_t status = -1;
  H5E_BEGIN_TRY {
    status = H5Dread_chunk(dataset, H5P_DEFAULT, origin, &filterMask, stored.data());
  }
  H5E_END_TRY;
  return status >= 0 ? Status::done() : Status::failed(msg::kChunkUnreadable);
}

Result<std::vector<bool>> findUnwrittenEpochs(hid_t dataset, const DatasetStorage& storage,
                                              uint64_t epochCount, uint64_t epochValues) {
  std::vector<bool> unwritten(epochCount, false);
  const uint64_t limit = std::min(saturatingProduct(epochCount, epochValues), storage.elements);
  // Lookups and runs visited are bounded by what the file really holds.
  const uint64_t budget = 16 * storage.storedChunks + 65536;
  uint64_t steps = 0;
  const auto markRuns = [&](const hsize_t* origin) {
    const std::vector<hsize_t> extent = storage.grid.chunkExtent(origin);
    return storage.grid.forEachRun(
        origin, extent.data(), [&](uint64_t first, uint64_t, uint64_t length) {
          if (++steps > budget) return false;
          const uint64_t end = std::min(first + length, limit);
          for (uint64_t e = first / epochValues; first < end && e <= (end - 1) / epochValues; ++e) {
            unwritten[e] = true;
          }
          return true;
        });
  };
  const bool found = storage.grid.forEachChunkBefore(limit, [&](const hsize_t* origin) {
    if (++steps > budget) return false;
    // Those before the first unwritten chunk are known to be written.
    if (storage.grid.linearIndex(origin) < storage.writtenPrefix) return true;
    return chunkWritten(dataset, origin) || markRuns(origin);
  });
  if (!found)
    return Status::failed(
        "finding them would take far more chunk lookups than it has written chunks");
  return unwritten;
}

}  // namespace erp2npx
