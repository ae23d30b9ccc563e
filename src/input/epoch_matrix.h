#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/config.h"
#include "input/dataset_storage.h"
#include "input/hdf5_handle.h"
#include "input/input_file.h"

namespace erp2npx {

// Receives the samples of "/features" as they are read, in the order the
// file stores them: runs of consecutive values (value v of the epoch of
// stimulus s is value s * kEpochValues + v) narrowed to float32, and the runs
// that could not be read.
struct EpochConsumer {
  std::function<void(uint64_t firstValue, const float* values, size_t count)> values;
  // When set, takes the values as stored, before narrowing, instead.
  std::function<void(uint64_t firstValue, const double* values, size_t count)> storedValues;
  std::function<void(uint64_t firstValue, uint64_t count, const std::string& reason)> failed;
};

// A source of epochs as the walk takes them: hands every value of the epochs
// it holds to the consumer, once.
using EpochStream = std::function<void(const EpochConsumer& consumer)>;

// The EEG samples of every stimulus, as single-precision epochs, as they lie
// in "/features" of the input file. They are read in one pass, in the order
// the file stores them, during the walk: memory does not grow with the
// dataset, and every chunk is read and unpacked once.
class EpochMatrix {
 public:
  EpochMatrix() = default;  // no epochs
  // The epochCount epochs of the dataset, opened in the input file during the
  // load; the caller has checked that it holds them. Epochs marked in
  // unwritten lie in chunks never written, and are never read.
  EpochMatrix(std::shared_ptr<const InputFile> file, std::string datasetName, Hid dataset,
              const DatasetStorage& storage, size_t epochCount, std::vector<bool> unwritten);

  size_t epochCount() const { return epochCount_; }

  // Whether the epoch of the stimulus lies wholly in chunks that were written.
  bool written(int32_t stimulus) const;

  // Reads every value of the epochs once, in storage order.
  void stream(const EpochConsumer& consumer) const;

 private:
  void streamContiguous(const EpochConsumer& consumer, uint64_t limit) const;
  void streamChunks(const EpochConsumer& consumer, uint64_t limit) const;

  struct Source;
  std::shared_ptr<const Source> source_;
  size_t epochCount_ = 0;
  std::vector<bool> unwritten_;
};

// Round to nearest even; beyond the float range gives infinity, NaN stays NaN.
void narrowToFloat(const double* source, size_t count, float* target);

}  // namespace erp2npx
