#include "input/unpacked_chunk_epochs.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "common/work_queue.h"

namespace erp2npx {

namespace {

// Larger chunks are left to the library, which unpacks one at a time: every
// worker would hold one otherwise.
constexpr size_t kMaxChunkBytes = size_t{16} << 20;
// Chunks in flight hold about twice their size each, in buffers and on the
// workers: this many bytes of them at most, so memory stays the same on
// any number of cores.
constexpr size_t kChunkBytesInFlight = size_t{16} << 20;

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

void narrowFloat64(const uint8_t* at, bool swap, size_t count, float* out) {
  for (size_t i = 0; i < count; ++i, at += 8) {
    uint64_t bits;
    std::memcpy(&bits, at, 8);
    if (swap) bits = __builtin_bswap64(bits);
    double value;
    std::memcpy(&value, &bits, 8);
    out[i] = static_cast<float>(value);
  }
}

void copyFloat32(const uint8_t* at, size_t count, float* out) {
  for (size_t i = 0; i < count; ++i, at += 4) {
    // Exact, as the library's read through double is, which also sets
    // the quiet bit of a NaN; done on the bits, which no compiler folds away.
    uint32_t bits;
    std::memcpy(&bits, at, 4);
    if ((bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0) bits |= 0x00400000u;
    std::memcpy(&out[i], &bits, 4);
  }
}

// Narrows count samples of a chunk as stored, from sample first on.
void narrowStored(const uint8_t* chunk, SampleType type, size_t first, size_t count, float* out) {
  switch (type) {
    case SampleType::kFloat64Little:
    case SampleType::kFloat64Big:
      narrowFloat64(chunk + first * 8, type == SampleType::kFloat64Big, count, out);
      return;
    case SampleType::kFloat32Little:
      copyFloat32(chunk + first * 4, count, out);
      return;
    case SampleType::kOther:
      return;
  }
}

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
  block.values->resize(total);
  size_t next = 0;
  for (Block::Run& run : block.runs) {
    narrowStored(block.stored.data(), format.sampleType, run.offset, run.length,
                 block.values->data() + next);
    run.offset = next;
    next += run.length;
  }
}

}  // namespace

std::optional<ChunkFormat> UnpackedChunkEpochs::formatOf(const EpochDataset& dataset) {
  const Hid type = datatypeHandle(H5Dget_type(dataset.dataset.get()));
  if (!dataset.storage.chunked || !type.valid()) return std::nullopt;
  const SampleType sampleType = sampleTypeOf(type.get());
  uint64_t chunkValues = 1;
  for (const hsize_t extent : dataset.storage.grid.chunk()) chunkValues *= extent;
  const uint64_t chunkBytes = chunkValues * sampleBytes(sampleType);
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset.dataset.get()));
  if (sampleType == SampleType::kOther || chunkBytes == 0 || chunkBytes > kMaxChunkBytes ||
      !creation.valid()) {
    return std::nullopt;
  }
  std::optional<ChunkFilters> filters = ChunkFilters::of(creation.get());
  if (!filters) return std::nullopt;
  return ChunkFormat{std::move(*filters), sampleType, static_cast<size_t>(chunkBytes)};
}

// The runs of the chunk at chunkOrigin among the first valueCount values,
// and the chunk as stored, read on the calling thread.
Block UnpackedChunkEpochs::blockOf(const hsize_t* chunkOrigin, uint64_t storedBytes,
                                   uint64_t valueCount, Spares& spares) const {
  const EpochDataset& source = library_.dataset();
  const ChunkGrid& grid = source.storage.grid;
  Block block;
  const std::vector<hsize_t> extent = grid.chunkExtent(chunkOrigin);
  grid.forEachRun(
      chunkOrigin, extent.data(), grid.chunk().data(),
      [&](uint64_t first, uint64_t offset, uint64_t length) {
        if (first < valueCount) {
          block.runs.push_back({first, static_cast<size_t>(offset),
                                static_cast<size_t>(std::min(length, valueCount - first))});
        }
        return true;
      });
  block.stored = Spares::take(spares.stored);
  block.values = spares.values.take();
  // Deflate never grows data by more than a few bytes a block, nor the
  // other filters by more than a checksum: a larger chunk is damaged.
  const uint64_t maxBytes = format_.chunkBytes + format_.chunkBytes / 64 + 1024;
  const bool read = storedBytes > 0 && storedBytes <= maxBytes &&
                    readStoredChunk(source.dataset.get(), chunkOrigin, storedBytes, block.stored,
                                    block.filterMask)
                        .ok() &&
                    !source.file->shrunk();
  if (!read) block.failure = readFailure(source.name);
  return block;
}

void UnpackedChunkEpochs::stream(const EpochConsumer& consumer, uint64_t valueCount) const {
  const EpochDataset& source = library_.dataset();
  const bool partial = source.storage.allocation == DatasetStorage::Allocation::kPartial;
  const size_t inFlight =
      std::clamp<size_t>(kChunkBytesInFlight / format_.chunkBytes, 1, 2 * workerCount());
  const size_t workers = std::min(workerCount(), inFlight);
  Spares spares;
  WorkQueue<Block> work(workers, inFlight);
  const auto take = [&](Block& block, std::exception_ptr failure) {
    handBlock(block, failure, source.name, consumer, spares);
  };
  const auto unpack = [this, &source](Block& block) { unpackChunk(format_, source.name, block); };
  source.storage.grid.forEachChunkBefore(valueCount, [&](const hsize_t* at) {
    const uint64_t bytes = storedChunkBytes(source.dataset.get(), at);
    // A chunk never written holds no epoch anyone asked for.
    if (partial && bytes == 0) return true;
    work.submit(blockOf(at, bytes, valueCount, spares), unpack, take);
    return true;
  });
  work.finish(take);
}

}  // namespace erp2npx
