#include "input/dataset_storage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "common/messages.h"

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

BoxPlan planBoxes(const ChunkGrid& grid, bool chunked) {
  const std::vector<hsize_t>& dims = grid.dims();
  const size_t rank = dims.size();
  BoxPlan plan;
  if (!chunked) {
    // Contiguous values: rows of whole trailing dimensions, as many as fit.
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
    plan.grid = ChunkGrid(dims, chunk);
    plan.level = level < rank ? level : 0;
    return plan;
  }
  plan.grid = grid;
  const std::vector<hsize_t>& chunk = grid.chunk();
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

}  // namespace

Hid chunkCacheAccess() {
  Hid access = propertyListHandle(H5Pcreate(H5P_DATASET_ACCESS));
  H5Pset_chunk_cache(access.get(), 12421, size_t{32} << 20, 0.75);
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

Status describeStorage(hid_t dataset, DatasetStorage& storage) {
  storage = DatasetStorage{};
  const Hid space = dataspaceHandle(H5Dget_space(dataset));
  const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset));
  if (rank < 0 || !creation.valid()) return Status::failed("its shape cannot be read");
  std::vector<hsize_t> dims(static_cast<size_t>(rank));
  H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
  uint64_t elements = H5Sget_simple_extent_type(space.get()) == H5S_NULL ? 0 : 1;
  for (const hsize_t d : dims) elements = saturatingProduct(elements, d);
  if (elements > kMaxElements) {
    return Status::failed("it declares " + std::to_string(elements) +
                          " values, more than can be addressed");
  }
  storage.elements = elements;
  storage.filtered = H5Pget_nfilters(creation.get()) > 0;
  storage.chunked = H5Pget_layout(creation.get()) == H5D_CHUNKED;
  std::vector<hsize_t> chunk(dims);
  if (storage.chunked && rank > 0) {
    if (H5Pget_chunk(creation.get(), rank, chunk.data()) != rank ||
        std::find(chunk.begin(), chunk.end(), 0) != chunk.end()) {
      return Status::failed("its chunk shape cannot be read");
    }
  }
  storage.grid = ChunkGrid(dims, chunk);

  H5D_space_status_t status = H5D_SPACE_STATUS_ERROR;
  if (H5Dget_space_status(dataset, &status) < 0 || status == H5D_SPACE_STATUS_ERROR) {
    return Status::failed("its storage cannot be examined");
  }
  if (elements == 0 || status == H5D_SPACE_STATUS_NOT_ALLOCATED) {
    storage.allocation = DatasetStorage::Allocation::kNone;
    return Status::done();
  }
  storage.allocation = DatasetStorage::Allocation::kFull;
  storage.writtenPrefix = elements;
  if (!storage.chunked) return Status::done();
  // The library's own status compares bytes, which compression and partial
  // edge chunks make differ: count the chunks instead.
  hsize_t stored = 0;
  if (H5Dget_num_chunks(dataset, space.get(), &stored) < 0) {
    return Status::failed("its chunks cannot be counted");
  }
  storage.storedChunks = stored;
  if (stored >= storage.grid.chunkCount()) return Status::done();
  storage.allocation = DatasetStorage::Allocation::kPartial;
  // The chunks before the first unwritten one, in grid order, are exactly
  // those whose values all come before its first value.
  storage.writtenPrefix = elements;
  storage.grid.forEachChunkBefore(elements, [&](const hsize_t* origin) {
    if (chunkWritten(dataset, origin)) return true;
    storage.writtenPrefix = storage.grid.linearIndex(origin);
    return false;
  });
  return Status::done();
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
  const Hid fileSpace = dataspaceHandle(H5Dget_space(dataset));
  if (storage.grid.dims().empty()) {  // a scalar
    std::vector<unsigned char> value(valueBytes);
    const hsize_t none = 0;
    if (H5Dread(dataset, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, value.data()) < 0) {
      return failed(&none, &none, value.data()) ? Status::done()
                                                : Status::failed("reading it failed");
    }
    visit(&none, &none, value.data());
    return Status::done();
  }
  BoxPlan plan = planBoxes(storage.grid, storage.chunked);
  if (chunkByChunk && storage.chunked) plan.run = 1;
  const ChunkGrid& grid = plan.grid;
  const size_t rank = grid.dims().size();
  const bool skipUnwritten =
      chunkByChunk && storage.allocation == DatasetStorage::Allocation::kPartial;
  std::vector<unsigned char> buffer;
  std::vector<hsize_t> extent(rank);
  bool stopped = false;
  grid.forEachChunkBefore(count, [&](const hsize_t* origin) {
    // Boxes start at every run-th chunk along their level; the others are inside one.
    if ((origin[plan.level] / grid.chunk()[plan.level]) % plan.run != 0) return true;
    for (size_t d = plan.level + 1; d < rank; ++d) {
      if (origin[d] != 0 && !(chunkByChunk && storage.chunked)) return true;
    }
    if (skipUnwritten && !chunkWritten(dataset, origin)) return true;
    for (size_t d = 0; d < rank; ++d) {
      const bool whole = d > plan.level && !(chunkByChunk && storage.chunked);
      const hsize_t span = whole             ? grid.dims()[d]
                           : d == plan.level ? grid.chunk()[d] * plan.run
                                             : grid.chunk()[d];
      extent[d] = std::min(span, grid.dims()[d] - origin[d]);
    }
    // No chunk past those that hold the values wanted: it may never have
    // been written.
    const uint64_t first = grid.linearIndex(origin);
    const uint64_t levelStep = grid.chunk()[plan.level] * grid.strides()[plan.level];
    extent[plan.level] = std::min<uint64_t>(
        extent[plan.level], (count - first + levelStep - 1) / levelStep * grid.chunk()[plan.level]);
    uint64_t boxValues = 1;
    for (const hsize_t e : extent) boxValues *= e;
    if (buffer.size() < boxValues * valueBytes) buffer.resize(boxValues * valueBytes);
    const hsize_t memoryCount = boxValues;
    const Hid memory = dataspaceHandle(H5Screate_simple(1, &memoryCount, nullptr));
    const bool read = H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, origin, nullptr,
                                          extent.data(), nullptr) >= 0 &&
                      H5Dread(dataset, memoryType, memory.get(), fileSpace.get(), H5P_DEFAULT,
                              buffer.data()) >= 0;
    stopped = !(read ? visit : failed)(origin, extent.data(), buffer.data());
    return !stopped;
  });
  return stopped ? Status::failed("reading it failed") : Status::done();
}

template <typename T>
Status readLeadingValues(hid_t dataset, const DatasetStorage& storage, uint64_t count,
                         std::vector<T>& values) {
  values.assign(count, T{});
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
  if (!read.ok()) std::vector<T>().swap(values);
  return read;
}

template Status readLeadingValues<int32_t>(hid_t, const DatasetStorage&, uint64_t,
                                           std::vector<int32_t>&);
template Status readLeadingValues<double>(hid_t, const DatasetStorage&, uint64_t,
                                          std::vector<double>&);

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
Status readIntegersThrough(hid_t dataset, const DatasetStorage& storage, hid_t memoryType,
                           uint64_t count, std::vector<int32_t>& values) {
  values.assign(count, 0);
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
  Status read = readBoxes(
      dataset, storage, memoryType, sizeof(Wide), count, false,
      [&](const hsize_t* origin, const hsize_t* extent, const void* box) {
        const Wide* boxValues = static_cast<const Wide*>(box);
        if (grid.dims().empty()) return take(0, boxValues, 1);
        return grid.forEachRun(origin, extent, [&](uint64_t at, uint64_t offset, uint64_t length) {
          return take(at, boxValues + offset, length);
        });
      },
      [](const hsize_t*, const hsize_t*, const void*) { return false; });
  if (read.ok() && badIndex != std::numeric_limits<uint64_t>::max()) {
    read = Status::failed(msg::notA32BitInteger(valueText(badValue), badIndex));
  }
  if (!read.ok()) std::vector<int32_t>().swap(values);
  return read;
}

}  // namespace

Status readLeadingIntegers(hid_t dataset, const DatasetStorage& storage, uint64_t count,
                           std::vector<int32_t>& values) {
  const Hid type = datatypeHandle(H5Dget_type(dataset));
  if (!type.valid()) return Status::failed("its type cannot be read");
  if (H5Tget_class(type.get()) == H5T_FLOAT) {
    return readIntegersThrough<double>(dataset, storage, H5T_NATIVE_DOUBLE, count, values);
  }
  if (H5Tget_sign(type.get()) == H5T_SGN_NONE) {
    return readIntegersThrough<uint64_t>(dataset, storage, H5T_NATIVE_UINT64, count, values);
  }
  return readIntegersThrough<int64_t>(dataset, storage, H5T_NATIVE_INT64, count, values);
}

bool readStoredChunk(hid_t dataset, const hsize_t* origin, uint64_t bytes, Bytes& stored,
                     uint32_t& filterMask) {
  herr_t status = -1;
  try {
    stored.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return false;
  }
  H5E_BEGIN_TRY {
    status = H5Dread_chunk(dataset, H5P_DEFAULT, origin, &filterMask, stored.data());
  }
  H5E_END_TRY;
  return status >= 0;
}

bool findUnwrittenEpochs(hid_t dataset, const DatasetStorage& storage, uint64_t epochCount,
                         uint64_t epochValues, std::vector<bool>& unwritten) {
  unwritten.assign(epochCount, false);
  const uint64_t limit = std::min(saturatingProduct(epochCount, epochValues), storage.elements);
  // Lookups and runs visited are bounded by what the file really holds.
  const uint64_t budget = 16 * storage.storedChunks + 65536;
  uint64_t steps = 0;
  return storage.grid.forEachChunkBefore(limit, [&](const hsize_t* origin) {
    if (++steps > budget) return false;
    // Those before the first unwritten chunk are known to be written.
    if (storage.grid.linearIndex(origin) < storage.writtenPrefix) return true;
    if (chunkWritten(dataset, origin)) return true;
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
  });
}

}  // namespace erp2npx
