#include "input/epoch_matrix.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <thread>

#include "common/work_queue.h"
#include "input/chunk_filters.h"

namespace erp2npx {

// How the samples of a chunk as stored are laid out, when they are read
// without the library's conversion. Big-endian float32 is left to the library,
// whose conversion of it rewrites every NaN's payload.
enum class SampleType { kOther, kFloat64Little, kFloat64Big, kFloat32Little };

// How the chunks of the dataset are unpacked without the library.
struct ChunkFormat {
  ChunkFilters filters;
  SampleType sampleType;
  size_t chunkBytes;  // of a whole chunk once unpacked
};

struct EpochMatrix::Source {
  std::shared_ptr<const InputFile> file;
  std::string datasetName;
  Hid dataset;
  DatasetStorage storage;
  // Set when the values lie contiguous and unconverted in the input file
  // itself: they are then read straight from it.
  bool raw = false;
  uint64_t rawOffset = 0;
  // Set when the chunks are read as stored and unpacked here, on every core.
  std::optional<ChunkFormat> chunks;
};

namespace {

// Values read and narrowed at a time: 2 MB of float64.
constexpr size_t kBlockValues = 256 * kEpochValues;
// Larger chunks are left to the library, which unpacks one at a time: every
// worker would hold one otherwise.
constexpr size_t kMaxChunkBytes = size_t{16} << 20;
// Chunks in flight hold about twice their size each, in buffers and on the
// workers: this many bytes of them at most, so memory stays the same on
// any number of cores.
constexpr size_t kChunkBytesInFlight = size_t{16} << 20;
// Beyond this many workers the input's reading is the limit, and more would
// only hold more buffers.
constexpr size_t kMaxWorkers = 8;

// The samples of the epochs as unpacked off the calling thread: runs of
// values, or the runs that could not be had and why. The calling thread
// says which runs a block covers before a worker fills it in, and hands it
// spare buffers, which come back with it to be used again: blocks reuse
// their memory instead of mapping fresh pages each time.
struct Block {
  struct Run {
    uint64_t firstValue;
    size_t offset;  // into values; into the chunk until it is unpacked
    size_t length;
  };
  Bytes stored;  // a chunk as stored
  uint32_t filterMask = 0;
  Samples values;
  std::vector<Run> runs;
  std::string failure;  // when set, runs were not read
};

// The buffers blocks have given back, the calling thread's alone.
struct Spares {
  std::vector<Bytes> stored;
  std::vector<Samples> values;

  template <typename Buffer>
  static Buffer take(std::vector<Buffer>& spares) {
    if (spares.empty()) return {};
    Buffer spare = std::move(spares.back());
    spares.pop_back();
    return spare;
  }
};

size_t workerCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp<size_t>(cores, 1, kMaxWorkers);
}

SampleType sampleTypeOf(hid_t type) {
  const std::pair<hid_t, SampleType> known[] = {{H5T_IEEE_F64LE, SampleType::kFloat64Little},
                                                {H5T_IEEE_F64BE, SampleType::kFloat64Big},
                                                {H5T_IEEE_F32LE, SampleType::kFloat32Little}};
  for (const auto& [standard, sampleType] : known) {
    if (H5Tequal(type, standard) > 0) return sampleType;
  }
  return SampleType::kOther;
}

size_t sampleBytes(SampleType type) { return type == SampleType::kFloat32Little ? 4 : 8; }

// Narrows count samples of a chunk as stored, from sample first on.
void narrowStored(const uint8_t* chunk, SampleType type, size_t first, size_t count, float* out) {
  switch (type) {
    case SampleType::kFloat64Little:
    case SampleType::kFloat64Big: {
      const uint8_t* at = chunk + first * 8;
      const bool swap = type == SampleType::kFloat64Big;
      for (size_t i = 0; i < count; ++i, at += 8) {
        uint64_t bits;
        std::memcpy(&bits, at, 8);
        if (swap) bits = __builtin_bswap64(bits);
        double value;
        std::memcpy(&value, &bits, 8);
        out[i] = static_cast<float>(value);
      }
      return;
    }
    case SampleType::kFloat32Little: {
      const uint8_t* at = chunk + first * 4;
      for (size_t i = 0; i < count; ++i, at += 4) {
        // Exact, as the library's read through double is, which also sets
        // the quiet bit of a NaN; done on the bits, which no compiler folds away.
        uint32_t bits;
        std::memcpy(&bits, at, 4);
        if ((bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0) bits |= 0x00400000u;
        std::memcpy(&out[i], &bits, 4);
      }
      return;
    }
    case SampleType::kOther:
      return;
  }
}

std::string readFailure(const std::string& datasetName) {
  return "reading the dataset " + datasetName + " failed";
}

bool readsRaw(hid_t dataset, hid_t type, const DatasetStorage& storage, const InputFile& file,
              uint64_t& offset) {
  if (storage.chunked || storage.filtered || H5Tequal(type, H5T_NATIVE_DOUBLE) <= 0) return false;
  offset = H5Dget_offset(dataset);
  // The values must lie inside the file, whatever its addresses claim.
  return offset != HADDR_UNDEF && offset <= file.size() &&
         storage.elements <= (file.size() - offset) / sizeof(double);
}

bool readAt(int fd, uint64_t position, uint64_t size, char* bytes) {
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<uint64_t>(got);
    position += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace

EpochMatrix::EpochMatrix(std::shared_ptr<const InputFile> file, std::string datasetName,
                         Hid dataset, const DatasetStorage& storage, size_t epochCount,
                         std::vector<bool> unwritten)
    : epochCount_(epochCount), unwritten_(std::move(unwritten)) {
  auto source = std::make_shared<Source>();
  const Hid type = datatypeHandle(H5Dget_type(dataset.get()));
  source->raw =
      type.valid() && readsRaw(dataset.get(), type.get(), storage, *file, source->rawOffset);
  if (!source->raw && storage.chunked && type.valid()) {
    const SampleType sampleType = sampleTypeOf(type.get());
    uint64_t chunkValues = 1;
    for (const hsize_t extent : storage.grid.chunk()) chunkValues *= extent;
    const uint64_t chunkBytes = chunkValues * sampleBytes(sampleType);
    const Hid creation = propertyListHandle(H5Dget_create_plist(dataset.get()));
    if (sampleType != SampleType::kOther && chunkBytes > 0 && chunkBytes <= kMaxChunkBytes &&
        creation.valid()) {
      if (std::optional<ChunkFilters> filters = ChunkFilters::of(creation.get())) {
        source->chunks =
            ChunkFormat{std::move(*filters), sampleType, static_cast<size_t>(chunkBytes)};
      }
    }
  }
  source->file = std::move(file);
  source->datasetName = std::move(datasetName);
  source->dataset = std::move(dataset);
  source->storage = storage;
  source_ = std::move(source);
}

bool EpochMatrix::written(int32_t stimulus) const {
  return stimulus < 0 || static_cast<size_t>(stimulus) >= unwritten_.size() ||
         !unwritten_[static_cast<size_t>(stimulus)];
}

namespace {

// Why the runs of a block whose job threw were not read: its epochs alone
// are lost, as with a chunk that does not unpack.
std::string jobFailure(const std::string& datasetName, std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& exception) {
    return readFailure(datasetName) + ": " + exception.what();
  } catch (...) {
  }
  return readFailure(datasetName);
}

void hand(Block& block, std::exception_ptr failure, const std::string& datasetName,
          const EpochConsumer& consumer, Spares& spares) {
  if (failure) block.failure = jobFailure(datasetName, failure);
  for (const Block::Run& run : block.runs) {
    if (block.failure.empty()) {
      consumer.values(run.firstValue, block.values.data() + run.offset, run.length);
    } else {
      consumer.failed(run.firstValue, run.length, block.failure);
    }
  }
  spares.values.push_back(std::move(block.values));
  spares.stored.push_back(std::move(block.stored));
}

// A worker's own buffer of stored values, kept for its every block.
std::vector<double>& wideBuffer(size_t count) {
  thread_local std::vector<double> wide;
  if (wide.size() < count) wide.resize(count);
  return wide;
}

}  // namespace

// Reads the contiguous values in blocks on the workers, narrowed there too;
// the calling thread hands them on, and so writes while the next are read.
void EpochMatrix::streamContiguous(const EpochConsumer& consumer, uint64_t limit) const {
  const Source& source = *source_;
  const size_t workers = workerCount();
  Spares spares;
  WorkQueue<Block> work(workers, 2 * workers);
  const auto take = [&](Block& block, std::exception_ptr failure) {
    hand(block, failure, source.datasetName, consumer, spares);
  };
  const auto read = [&source](Block& block) {
    const Block::Run& run = block.runs.front();
    std::vector<double>& wide = wideBuffer(run.length);
    if (!readAt(source.file->descriptor(), source.rawOffset + run.firstValue * sizeof(double),
                run.length * sizeof(double), reinterpret_cast<char*>(wide.data()))) {
      block.failure = readFailure(source.datasetName);
      return;
    }
    block.values.resize(run.length);
    narrowToFloat(wide.data(), run.length, block.values.data());
  };
  for (uint64_t first = 0; first < limit; first += kBlockValues) {
    Block block;
    block.runs.push_back(
        {first, 0, static_cast<size_t>(std::min<uint64_t>(kBlockValues, limit - first))});
    block.values = Spares::take(spares.values);
    work.submit(std::move(block), read, take);
  }
  work.finish(take);
}

namespace {

// Undoes the filters of a chunk as stored and narrows its runs, on a worker.
void unpackChunk(const ChunkFormat& format, const std::string& datasetName, Block& block) {
  if (!block.failure.empty()) return;
  if (!format.filters.decode(block.stored, block.filterMask, format.chunkBytes).ok()) {
    block.failure = readFailure(datasetName);
    return;
  }
  // Narrowed run by run, into a buffer of the runs alone.
  size_t total = 0;
  for (const Block::Run& run : block.runs) total += run.length;
  block.values.resize(total);
  size_t next = 0;
  for (Block::Run& run : block.runs) {
    narrowStored(block.stored.data(), format.sampleType, run.offset, run.length,
                 block.values.data() + next);
    run.offset = next;
    next += run.length;
  }
}

}  // namespace

// Reads each chunk as stored on the calling thread, the library's reads being
// one at a time, and unpacks and narrows it on the workers.
void EpochMatrix::streamChunks(const EpochConsumer& consumer, uint64_t limit) const {
  const Source& source = *source_;
  const ChunkGrid& grid = source.storage.grid;
  const bool partial = source.storage.allocation == DatasetStorage::Allocation::kPartial;
  const size_t inFlight =
      std::clamp<size_t>(kChunkBytesInFlight / source.chunks->chunkBytes, 1, 2 * workerCount());
  const size_t workers = std::min(workerCount(), inFlight);
  Spares spares;
  WorkQueue<Block> work(workers, inFlight);
  const auto take = [&](Block& block, std::exception_ptr failure) {
    hand(block, failure, source.datasetName, consumer, spares);
  };
  const auto unpack = [&source](Block& block) {
    unpackChunk(*source.chunks, source.datasetName, block);
  };
  grid.forEachChunkBefore(limit, [&](const hsize_t* at) {
    const uint64_t bytes = storedChunkBytes(source.dataset.get(), at);
    // A chunk never written holds no epoch anyone asked for.
    if (partial && bytes == 0) return true;
    Block block;
    const std::vector<hsize_t> extent = grid.chunkExtent(at);
    grid.forEachRun(
        at, extent.data(), grid.chunk().data(),
        [&](uint64_t first, uint64_t offset, uint64_t length) {
          if (first < limit) {
            block.runs.push_back({first, static_cast<size_t>(offset),
                                  static_cast<size_t>(std::min(length, limit - first))});
          }
          return true;
        });
    block.stored = Spares::take(spares.stored);
    block.values = Spares::take(spares.values);
    // Deflate never grows data by more than a few bytes a block, nor the
    // other filters by more than a checksum: a larger chunk is damaged.
    const uint64_t maxBytes = source.chunks->chunkBytes + source.chunks->chunkBytes / 64 + 1024;
    const bool read =
        bytes > 0 && bytes <= maxBytes &&
        readStoredChunk(source.dataset.get(), at, bytes, block.stored, block.filterMask).ok() &&
        !source.file->shrunk();
    if (!read) block.failure = readFailure(source.datasetName);
    work.submit(std::move(block), unpack, take);
    return true;
  });
  work.finish(take);
}

void EpochMatrix::stream(const EpochConsumer& consumer) const {
  if (!source_ || epochCount_ == 0) return;
  const Source& source = *source_;
  const uint64_t limit = epochCount_ * kEpochValues;
  if (!consumer.storedValues && source.raw) {
    streamContiguous(consumer, limit);
    return;
  }
  if (!consumer.storedValues && source.chunks) {
    streamChunks(consumer, limit);
    return;
  }
  std::vector<double> wide;
  std::vector<float> narrow;
  if (source.raw) {
    wide.resize(kBlockValues);
    for (uint64_t first = 0; first < limit; first += kBlockValues) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(kBlockValues, limit - first));
      if (!readAt(source.file->descriptor(), source.rawOffset + first * sizeof(double),
                  count * sizeof(double), reinterpret_cast<char*>(wide.data()))) {
        consumer.failed(first, count, readFailure(source.datasetName));
        continue;
      }
      consumer.storedValues(first, wide.data(), count);
    }
    return;
  }
  // The library's read, chunk by chunk: a chunk that cannot be read costs
  // only its own values.
  const ChunkGrid& grid = source.storage.grid;
  const auto runsOf = [&](const hsize_t* origin, const hsize_t* extent, auto handle) {
    if (grid.dims().empty()) {
      handle(uint64_t{0}, uint64_t{0}, uint64_t{1});
      return;
    }
    grid.forEachRun(origin, extent, [&](uint64_t at, uint64_t offset, uint64_t length) {
      if (at < limit) handle(at, offset, std::min(length, limit - at));
      return true;
    });
  };
  (void)readBoxes(
      source.dataset.get(), source.storage, H5T_NATIVE_DOUBLE, sizeof(double), limit,
      source.storage.chunked,
      [&](const hsize_t* origin, const hsize_t* extent, const void* box) {
        if (source.file->shrunk()) {
          runsOf(origin, extent, [&](uint64_t at, uint64_t, uint64_t length) {
            consumer.failed(at, length, readFailure(source.datasetName));
          });
          return true;
        }
        runsOf(origin, extent, [&](uint64_t at, uint64_t offset, uint64_t length) {
          if (consumer.storedValues) {
            consumer.storedValues(at, static_cast<const double*>(box) + offset, length);
            return;
          }
          if (narrow.size() < length) narrow.resize(length);
          narrowToFloat(static_cast<const double*>(box) + offset, length, narrow.data());
          consumer.values(at, narrow.data(), length);
        });
        return true;
      },
      [&](const hsize_t* origin, const hsize_t* extent, const void*) {
        runsOf(origin, extent, [&](uint64_t at, uint64_t, uint64_t length) {
          consumer.failed(at, length, readFailure(source.datasetName));
        });
        return true;
      });
}

void narrowToFloat(const double* source, size_t count, float* target) {
  // The hardware conversion under the default rounding mode is exactly
  // round-to-nearest-even with overflow to infinity.
  for (size_t i = 0; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

}  // namespace erp2npx
