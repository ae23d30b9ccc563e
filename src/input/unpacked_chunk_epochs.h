#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "input/chunk_filters.h"
#include "input/epoch_consumer.h"
#include "input/epoch_reading.h"
#include "input/library_read_epochs.h"

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

// Epochs in chunks whose filters and samples are undone here: each chunk is
// read as stored on the calling thread, the library's reads being one at a
// time, and unpacked and narrowed on every core.
class UnpackedChunkEpochs {
 public:
  // The format of the dataset's chunks when they are unpacked here; nothing
  // when a filter, the sample type or the chunk size leaves them to the library.
  static std::optional<ChunkFormat> formatOf(const EpochDataset& dataset);

  UnpackedChunkEpochs(EpochDataset dataset, ChunkFormat format)
      : library_(std::move(dataset)), format_(std::move(format)) {}

  // The first valueCount values, in storage order.
  void stream(const EpochConsumer& consumer, uint64_t valueCount) const;
  // The values as stored are the library's to convert.
  void streamAsStored(const StoredValueConsumer& consumer, uint64_t valueCount) const {
    library_.streamAsStored(consumer, valueCount);
  }

 private:
  Block blockOf(const hsize_t* chunkOrigin, uint64_t storedBytes, uint64_t valueCount,
                Spares& spares) const;

  LibraryReadEpochs library_;
  ChunkFormat format_;
};

}  // namespace erp2npx
