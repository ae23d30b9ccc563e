#pragma once

#include <cstdint>

#include "input/epoch_consumer.h"
#include "input/epoch_reading.h"

namespace erp2npx {

// Epochs read through the library, which converts the values to double, box
// by box on the calling thread: any storage the library reads, and a box
// that cannot be read costs only its own values.
class LibraryReadEpochs {
 public:
  explicit LibraryReadEpochs(EpochDataset dataset) : dataset_(std::move(dataset)) {}

  const EpochDataset& dataset() const { return dataset_; }

  // The first valueCount values, in storage order.
  void stream(const EpochConsumer& consumer, uint64_t valueCount) const;
  void streamAsStored(const StoredValueConsumer& consumer, uint64_t valueCount) const;

 private:
  EpochDataset dataset_;
};

}  // namespace erp2npx
