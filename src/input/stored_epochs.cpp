#include "input/stored_epochs.h"

namespace erp2npx {

EpochReading chooseEpochReading(EpochDataset dataset) {
  if (const std::optional<uint64_t> offset = ContiguousEpochs::offsetOf(dataset)) {
    return ContiguousEpochs(std::move(dataset), *offset);
  }
  if (std::optional<ChunkFormat> format = UnpackedChunkEpochs::formatOf(dataset)) {
    return UnpackedChunkEpochs(std::move(dataset), std::move(*format));
  }
  return LibraryReadEpochs(std::move(dataset));
}

bool StoredEpochs::written(int32_t stimulus) const {
  return stimulus < 0 || static_cast<size_t>(stimulus) >= unwritten_.size() ||
         !unwritten_[static_cast<size_t>(stimulus)];
}

void StoredEpochs::stream(const EpochConsumer& consumer) const {
  if (!reading_ || epochCount_ == 0) return;
  std::visit([&](const auto& reading) { reading.stream(consumer, valueCount()); }, *reading_);
}

void StoredEpochs::streamAsStored(const StoredValueConsumer& consumer) const {
  if (!reading_ || epochCount_ == 0) return;
  std::visit([&](const auto& reading) { reading.streamAsStored(consumer, valueCount()); },
             *reading_);
}

}  // namespace erp2npx
