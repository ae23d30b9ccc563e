#include "input/epoch_matrix.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace erp2npx {

struct EpochMatrix::Source {
  std::shared_ptr<const InputFile> file;
  std::string datasetName;
  Hid dataset;
  DatasetStorage storage;
  // Set when the values lie contiguous and unconverted in the input file
  // itself: they are then read straight from it.
  bool raw = false;
  uint64_t rawOffset = 0;
};

namespace {

// Values read and narrowed at a time: 2 MB of float64.
constexpr size_t kBlockValues = 256 * kEpochValues;

std::string readFailure(const std::string& datasetName) {
  return "reading the dataset " + datasetName + " failed";
}

bool readsRaw(hid_t dataset, const DatasetStorage& storage, const InputFile& file,
              uint64_t& offset) {
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset));
  const Hid type = datatypeHandle(H5Dget_type(dataset));
  if (!creation.valid() || !type.valid() || H5Pget_layout(creation.get()) != H5D_CONTIGUOUS ||
      storage.filtered || H5Tequal(type.get(), H5T_NATIVE_DOUBLE) <= 0) {
    return false;
  }
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
  source->raw = readsRaw(dataset.get(), storage, *file, source->rawOffset);
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

void EpochMatrix::stream(const EpochConsumer& consumer) const {
  if (!source_ || epochCount_ == 0) return;
  const Source& source = *source_;
  const uint64_t limit = epochCount_ * kEpochValues;
  std::vector<double> wide;
  std::vector<float> narrow;
  if (source.raw) {
    wide.resize(kBlockValues);
    narrow.resize(kBlockValues);
    for (uint64_t first = 0; first < limit; first += kBlockValues) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(kBlockValues, limit - first));
      if (!readAt(source.file->descriptor(), source.rawOffset + first * sizeof(double),
                  count * sizeof(double), reinterpret_cast<char*>(wide.data()))) {
        consumer.failed(first, count, readFailure(source.datasetName));
        continue;
      }
      if (consumer.storedValues) {
        consumer.storedValues(first, wide.data(), count);
        continue;
      }
      narrowToFloat(wide.data(), count, narrow.data());
      consumer.values(first, narrow.data(), count);
    }
    return;
  }
  // Chunk by chunk: a chunk that cannot be read costs only its own values.
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
