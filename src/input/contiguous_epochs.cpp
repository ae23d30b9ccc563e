#include "input/contiguous_epochs.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/work_queue.h"

namespace erp2npx {

namespace {

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

// A worker's own buffer of stored values, kept for its every block.
std::vector<double, UninitialisedAllocator<double>>& wideBuffer(size_t count) {
  thread_local std::vector<double, UninitialisedAllocator<double>> wide;
  if (wide.size() < count) wide.resize(count);
  return wide;
}

size_t blockLength(uint64_t first, uint64_t valueCount) {
  return static_cast<size_t>(std::min<uint64_t>(kBlockValues, valueCount - first));
}

}  // namespace

std::optional<uint64_t> ContiguousEpochs::offsetOf(const EpochDataset& dataset) {
  const DatasetStorage& storage = dataset.storage;
  const Hid type = datatypeHandle(H5Dget_type(dataset.dataset.get()));
  if (!type.valid() || storage.chunked || storage.filtered ||
      H5Tequal(type.get(), H5T_NATIVE_DOUBLE) <= 0) {
    return std::nullopt;
  }
  const uint64_t offset = H5Dget_offset(dataset.dataset.get());
  const uint64_t fileSize = dataset.file->size();
  if (offset == HADDR_UNDEF || offset > fileSize ||
      storage.elements > (fileSize - offset) / sizeof(double)) {
    return std::nullopt;
  }
  return offset;
}

bool ContiguousEpochs::read(uint64_t firstValue, size_t count, double* values) const {
  return readAt(dataset_.file->descriptor(), offset_ + firstValue * sizeof(double),
                count * sizeof(double), reinterpret_cast<char*>(values));
}

void ContiguousEpochs::stream(const EpochConsumer& consumer, uint64_t valueCount) const {
  const size_t workers = workerCount();
  Spares spares;
  WorkQueue<Block> work(workers, 2 * workers);
  const auto take = [&](Block& block, std::exception_ptr failure) {
    handBlock(block, failure, dataset_.name, consumer, spares);
  };
  const auto readBlock = [this](Block& block) {
    const Block::Run& run = block.runs.front();
    auto& wide = wideBuffer(run.length);
    if (!read(run.firstValue, run.length, wide.data())) {
      block.failure = readFailure(dataset_.name);
      return;
    }
    block.values->resize(run.length);
    narrowToFloat(wide.data(), run.length, block.values->data());
  };
  // Read from as many places at once as there are workers, so that the
  // writes which follow go to different files instead of queueing for the
  // lock of one.
  const uint64_t blocks = (valueCount + kBlockValues - 1) / kBlockValues;
  const uint64_t stripes = std::clamp<uint64_t>(workers, 1, std::max<uint64_t>(blocks, 1));
  const uint64_t stripeBlocks = (blocks + stripes - 1) / stripes;
  for (uint64_t round = 0; round < stripeBlocks; ++round) {
    for (uint64_t stripe = 0; stripe < stripes; ++stripe) {
      const uint64_t first = (stripe * stripeBlocks + round) * kBlockValues;
      if (first >= valueCount) continue;
      Block block;
      block.runs.push_back({first, 0, blockLength(first, valueCount)});
      block.values = spares.values.take();
      work.submit(std::move(block), readBlock, take);
    }
  }
  work.finish(take);
}

void ContiguousEpochs::streamAsStored(const StoredValueConsumer& consumer,
                                      uint64_t valueCount) const {
  std::vector<double> wide(kBlockValues);
  for (uint64_t first = 0; first < valueCount; first += kBlockValues) {
    const size_t count = blockLength(first, valueCount);
    if (!read(first, count, wide.data())) {
      consumer.failed(first, count, readFailure(dataset_.name));
      continue;
    }
    consumer.values(first, wide.data(), count);
  }
}

}  // namespace erp2npx
