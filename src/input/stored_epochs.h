#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "input/contiguous_epochs.h"
#include "input/epoch_consumer.h"
#include "input/epoch_reading.h"
#include "input/library_read_epochs.h"
#include "input/unpacked_chunk_epochs.h"

namespace erp2npx {

// The ways the epochs are read, one for each storage: a storage read another
// way is another class here, and another line in chooseEpochReading.
using EpochReading = std::variant<ContiguousEpochs, UnpackedChunkEpochs, LibraryReadEpochs>;

// The fastest way the storage of the dataset allows: straight from the file,
// else chunks unpacked here, else the library's own read.
EpochReading chooseEpochReading(EpochDataset dataset);

// The EEG samples of every stimulus, as single-precision epochs, as they lie
// in "/features" of the input file. They are read in one pass, in the order
// the file stores them, during the walk: memory does not grow with the
// dataset, and every chunk is read and unpacked once.
class StoredEpochs {
 public:
  StoredEpochs() = default;  // no epochs
  // The epochCount epochs the reading reads, the dataset holding them all.
  // Epochs marked in unwritten lie in chunks never written, and are never read.
  StoredEpochs(EpochReading reading, size_t epochCount, std::vector<bool> unwritten)
      : reading_(std::make_shared<const EpochReading>(std::move(reading))),
        epochCount_(epochCount),
        unwritten_(std::move(unwritten)) {}

  size_t epochCount() const { return epochCount_; }

  // Whether the epoch of the stimulus lies wholly in chunks that were written.
  bool written(int32_t stimulus) const;

  // Reads every value of the epochs once, in storage order.
  void stream(const EpochConsumer& consumer) const;
  // The same with the values as stored, as the library converts them to double.
  void streamAsStored(const StoredValueConsumer& consumer) const;

  // Whether the epochs are read the way Reading does.
  template <typename Reading>
  bool readBy() const {
    return reading_ && std::holds_alternative<Reading>(*reading_);
  }

 private:
  uint64_t valueCount() const { return epochCount_ * kEpochValues; }

  std::shared_ptr<const EpochReading> reading_;
  size_t epochCount_ = 0;
  std::vector<bool> unwritten_;
};

}  // namespace erp2npx
