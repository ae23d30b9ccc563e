#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/config.h"
#include "input/dataset_storage.h"
#include "input/epoch_consumer.h"
#include "input/hdf5_handle.h"
#include "input/input_file.h"
#include "input/raw_buffer.h"

// What the ways of reading the epochs share: the dataset they read, and the
// blocks that carry values back from worker threads.

namespace erp2npx {

// "/features" as the load opened it, and how much of it to read.
struct EpochDataset {
  std::shared_ptr<const InputFile> file;
  std::string name;
  Hid dataset;
  DatasetStorage storage;
  uint64_t valueCount = 0;  // the values of the epochs asked for, from the first on
};

// Why values of the dataset could not be had.
std::string readFailure(const std::string& datasetName);

// Values read and narrowed at a time: 2 MB of float64.
inline constexpr size_t kBlockValues = 256 * kEpochValues;

// Threads to read or unpack on: one a core, within reason.
size_t workerCount();

// Buffers of narrowed samples that go to the consumer with a hold on them
// and come back here once it lets go, on whichever thread that is: blocks
// reuse their memory instead of mapping fresh pages each time.
class SamplePool {
 public:
  SamplePool() : spares_(std::make_shared<Spares>()) {}
  // An empty buffer, with the capacity of one given back if there is one.
  std::shared_ptr<Samples> take() const;

 private:
  struct Spares {
    std::mutex mutex;
    std::vector<Samples> buffers;
  };
  std::shared_ptr<Spares> spares_;
};

// The samples of the epochs as unpacked off the calling thread: runs of
// values, or the runs that could not be had and why. The calling thread
// says which runs a block covers before a worker fills it in, and hands it
// spare buffers, which come back with it to be used again.
struct Block {
  struct Run {
    uint64_t firstValue;
    size_t offset;  // into values; into the chunk until it is unpacked
    size_t length;
  };
  Bytes stored;  // a chunk as stored
  uint32_t filterMask = 0;
  std::shared_ptr<Samples> values;
  std::vector<Run> runs;
  std::string failure;  // when set, runs were not read
};

// The buffers blocks have given back, the calling thread's alone.
struct Spares {
  std::vector<Bytes> stored;
  SamplePool values;

  static Bytes take(std::vector<Bytes>& spares) {
    if (spares.empty()) return {};
    Bytes spare = std::move(spares.back());
    spares.pop_back();
    return spare;
  }
};

// Hands the runs of a block that came back from a worker to the consumer,
// failed when its job threw, and keeps its buffers as spares.
void handBlock(Block& block, std::exception_ptr failure, const std::string& datasetName,
               const EpochConsumer& consumer, Spares& spares);

}  // namespace erp2npx
