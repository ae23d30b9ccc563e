#include "input/epoch_reading.h"

#include <algorithm>
#include <new>
#include <thread>

namespace erp2npx {

namespace {

// Beyond this many workers the input's reading is the limit, and more would
// only hold more buffers.
constexpr size_t kMaxWorkers = 8;
// Buffers kept for reuse at most: as many as may wait in the queues of
// reading and writing, and more than that was a burst.
constexpr size_t kSpareBuffers = 32;

// Why the runs of a block whose job threw were not read: its epochs alone
// are lost, as with a chunk that does not unpack.
std::string jobFailure(const std::string& datasetName, std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& exception) {
    return readFailure(datasetName) + ": " + exception.what();
  } catch (...) {
  }
  return readFailure(datasetName);
}

}  // namespace

std::string readFailure(const std::string& datasetName) {
  return "reading the dataset " + datasetName + " failed";
}

std::shared_ptr<Samples> SamplePool::take() const {
  Samples buffer;
  {
    const std::lock_guard<std::mutex> lock(spares_->mutex);
    if (!spares_->buffers.empty()) {
      buffer = std::move(spares_->buffers.back());
      spares_->buffers.pop_back();
    }
  }
  buffer.clear();
  // The pool's state outlives the pool while buffers are out.
  return std::shared_ptr<Samples>(new Samples(std::move(buffer)),
                                  [spares = spares_](Samples* given) {
                                    const std::unique_ptr<Samples> owned(given);
                                    const std::lock_guard<std::mutex> lock(spares->mutex);
                                    if (spares->buffers.size() < kSpareBuffers) {
                                      spares->buffers.push_back(std::move(*owned));
                                    }
                                  });
}

size_t workerCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp<size_t>(cores, 1, kMaxWorkers);
}

void handBlock(Block& block, std::exception_ptr failure, const std::string& datasetName,
               const EpochConsumer& consumer, Spares& spares) {
  if (failure) block.failure = jobFailure(datasetName, failure);
  // A consumer may keep blocks of a contiguous block's size at most: those of
  // chunks stored larger it copies, so that what it keeps stays a few
  // megabytes whatever the chunks.
  const ValuesHold hold = block.values->size() <= kBlockValues ? block.values : nullptr;
  for (const Block::Run& run : block.runs) {
    if (block.failure.empty()) {
      consumer.values(run.firstValue, block.values->data() + run.offset, run.length, hold);
    } else {
      consumer.failed(run.firstValue, run.length, block.failure);
    }
  }
  block.values.reset();
  spares.stored.push_back(std::move(block.stored));
}

}  // namespace erp2npx
