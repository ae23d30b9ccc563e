#include "input/library_read_epochs.h"

#include <algorithm>
#include <vector>

namespace erp2npx {

namespace {

// The runs of consecutive values of a box that lie among the first
// valueCount, as (first value, offset into the box, length).
template <typename Handle>
void forEachRunOf(const ChunkGrid& grid, uint64_t valueCount, const hsize_t* origin,
                  const hsize_t* extent, Handle handle) {
  if (grid.dims().empty()) {
    handle(uint64_t{0}, uint64_t{0}, uint64_t{1});
    return;
  }
  grid.forEachRun(origin, extent, [&](uint64_t at, uint64_t offset, uint64_t length) {
    if (at < valueCount) handle(at, offset, std::min(length, valueCount - at));
    return true;
  });
}

// Hands the runs of a box as the consumer takes them: narrowed, or as read.
class RunHand {
 public:
  explicit RunHand(const EpochConsumer& consumer) : consumer_(consumer) {}
  void operator()(uint64_t at, const double* values, uint64_t length) {
    if (narrow_.size() < length) narrow_.resize(length);
    narrowToFloat(values, length, narrow_.data());
    consumer_.values(at, narrow_.data(), length, nullptr);
  }

 private:
  const EpochConsumer& consumer_;
  std::vector<float> narrow_;
};

class StoredRunHand {
 public:
  explicit StoredRunHand(const StoredValueConsumer& consumer) : consumer_(consumer) {}
  void operator()(uint64_t at, const double* values, uint64_t length) {
    consumer_.values(at, values, length);
  }

 private:
  const StoredValueConsumer& consumer_;
};

template <typename Consumer, typename Hand>
void readThroughLibrary(const EpochDataset& source, const Consumer& consumer, Hand hand,
                        uint64_t valueCount) {
  const ChunkGrid& grid = source.storage.grid;
  const auto fail = [&](const hsize_t* origin, const hsize_t* extent) {
    forEachRunOf(grid, valueCount, origin, extent, [&](uint64_t at, uint64_t, uint64_t length) {
      consumer.failed(at, length, readFailure(source.name));
    });
  };
  const auto visit = [&](const hsize_t* origin, const hsize_t* extent, const void* box) {
    // The library reads what a file cut short since has lost as zeros.
    if (source.file->shrunk()) {
      fail(origin, extent);
      return true;
    }
    forEachRunOf(grid, valueCount, origin, extent,
                 [&](uint64_t at, uint64_t offset, uint64_t length) {
                   hand(at, static_cast<const double*>(box) + offset, length);
                 });
    return true;
  };
  const auto failed = [&](const hsize_t* origin, const hsize_t* extent, const void*) {
    fail(origin, extent);
    return true;
  };
  (void)readBoxes(source.dataset.get(), source.storage, H5T_NATIVE_DOUBLE, sizeof(double),
                  valueCount, source.storage.chunked, visit, failed);
}

}  // namespace

void LibraryReadEpochs::stream(const EpochConsumer& consumer, uint64_t valueCount) const {
  readThroughLibrary(dataset_, consumer, RunHand(consumer), valueCount);
}

void LibraryReadEpochs::streamAsStored(const StoredValueConsumer& consumer,
                                       uint64_t valueCount) const {
  readThroughLibrary(dataset_, consumer, StoredRunHand(consumer), valueCount);
}

}  // namespace erp2npx
