#pragma once

#include <cstdint>
#include <optional>

#include "input/epoch_consumer.h"
#include "input/epoch_reading.h"

namespace erp2npx {

// Epochs whose values lie contiguous and unconverted, as native float64, in
// the input file itself: read straight from it in blocks, on worker threads
// that narrow them too, while the calling thread hands the last ones on.
class ContiguousEpochs {
 public:
  // Where the values of the dataset begin in the file when they lie there so,
  // wholly inside the file whatever its addresses claim; nothing otherwise.
  static std::optional<uint64_t> offsetOf(const EpochDataset& dataset);

  ContiguousEpochs(EpochDataset dataset, uint64_t offset)
      : dataset_(std::move(dataset)), offset_(offset) {}

  // The first valueCount values, in storage order.
  void stream(const EpochConsumer& consumer, uint64_t valueCount) const;
  void streamAsStored(const StoredValueConsumer& consumer, uint64_t valueCount) const;

 private:
  bool read(uint64_t firstValue, size_t count, double* values) const;

  EpochDataset dataset_;
  uint64_t offset_;
};

}  // namespace erp2npx
