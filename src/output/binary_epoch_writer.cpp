#include "output/binary_epoch_writer.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "common/messages.h"
#include "output/binary_epoch_file.h"

namespace erp2npx {

namespace {

// Descriptors held at most; with stimuli stored in session order only one or
// two files are ever in progress.
constexpr size_t kHeldDescriptors = 32;
// Left to the rest of the run: the input, the headers, the encoder files.
constexpr rlim_t kOtherDescriptors = 16;

// Writes gain little from more threads: the page cache is the limit.
constexpr unsigned kWritingThreads = 4;

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

}  // namespace

BinaryEpochWriter::BinaryEpochWriter(const ChannelList& channels, WriteAt writeAt)
    : channels_(channels),
      dataOffset_(kHeaderLengthOrigin +
                  static_cast<uint64_t>(headerLengthFor(static_cast<int64_t>(channels.size())))),
      heldLimit_(kHeldDescriptors),
      background_(std::clamp(std::thread::hardware_concurrency(), 1u, kWritingThreads),
                  std::move(writeAt)) {
  // Half of what the process may still open, however low its limit is set.
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const rlim_t spare =
        limit.rlim_cur > kOtherDescriptors ? limit.rlim_cur - kOtherDescriptors : 0;
    heldLimit_ = std::clamp<size_t>(static_cast<size_t>(spare / 2), 1, kHeldDescriptors);
  }
}

// Runs open, which takes a descriptor; when the process has none left, the
// files held give theirs back, half at a time, and fewer are held from then
// on.
template <typename Open>
Status BinaryEpochWriter::withDescriptor(Open open) {
  Status opened = open();
  while (!opened.ok() && outOfDescriptors(opened.errorNumber()) && !holders_.empty()) {
    heldLimit_ = std::max<size_t>(1, holders_.size() / 2);
    holdAtMost(holders_.size() / 2);
    opened = open();
  }
  return opened;
}

uint32_t BinaryEpochWriter::add(std::string path, uint32_t epochs) {
  Slot slot;
  slot.file = OutputFile(std::move(path));
  slot.epochs = epochs;
  slot.missing = uint64_t{epochs} * kEpochValues;
  if (released_.empty()) {
    slots_.push_back(std::move(slot));
    return static_cast<uint32_t>(slots_.size() - 1);
  }
  const uint32_t index = released_.back();
  released_.pop_back();
  slots_[index] = std::move(slot);
  return index;
}

void BinaryEpochWriter::release(uint32_t index) {
  // Its writes must not be taken for those of the slot's next file.
  collectWrites();
  Slot& slot = slots_[index];
  if (slot.holds) holders_.erase(slot.holding);
  slot = Slot();
  released_.push_back(index);
}

bool BinaryEpochWriter::create(Slot& slot) {
  slot.created = true;
  const Status created = withDescriptor([&] { return slot.file.create(); });
  if (!created.ok()) {
    slot.creationError = created.errorNumber();
    slot.failure = created;
    return false;
  }
  const std::vector<uint8_t> header =
      encodeEpochFileHeader(channels_, static_cast<int32_t>(slot.epochs * kEpochSamples));
  Status written = slot.file.write(header.data(), header.size());
  if (written.ok()) {
    written =
        slot.file.reserve(header.size() + uint64_t{slot.epochs} * kEpochValues * sizeof(float));
  }
  if (!written.ok()) slot.failure = written;
  return written.ok();
}

void BinaryEpochWriter::hold(uint32_t index) {
  Slot& slot = slots_[index];
  if (slot.holds) holders_.erase(slot.holding);
  holders_.push_front(index);
  slot.holding = holders_.begin();
  slot.holds = true;
  holdAtMost(heldLimit_);
}

void BinaryEpochWriter::holdAtMost(size_t count) {
  if (holders_.size() > count) collectWrites();
  while (holders_.size() > count) {
    Slot& oldest = slots_[holders_.back()];
    oldest.file.putDown();
    oldest.holds = false;
    holders_.pop_back();
  }
}

void BinaryEpochWriter::write(uint32_t index, uint64_t firstValue, const float* values,
                              size_t count, const std::shared_ptr<const void>& keep) {
  Slot& slot = slots_[index];
  if (!slot.failure.ok()) return;
  if (!slot.created && !create(slot)) return;
  if (!slot.holds) {
    const Status takenUp = withDescriptor([&] { return slot.file.takeUp(); });
    if (!takenUp.ok()) {
      slot.failure = takenUp;
      return;
    }
  }
  const uint64_t offset = dataOffset_ + firstValue * sizeof(float);
  background_.write(slot.file.descriptor(), offset, values, count * sizeof(float), index, keep);
  hold(index);
  slot.missing -= count;
}

void BinaryEpochWriter::collectWrites() {
  for (auto& [index, reason] : background_.drain()) {
    if (slots_[index].failure.ok()) slots_[index].failure = Status::failed(std::move(reason));
  }
}

void BinaryEpochWriter::fail(uint32_t index, const std::string& reason) {
  Slot& slot = slots_[index];
  if (slot.failure.ok()) slot.failure = Status::failed(reason);
}

bool BinaryEpochWriter::settled(uint32_t index) const {
  const Slot& slot = slots_[index];
  return slot.missing == 0 || !slot.failure.ok();
}

Status BinaryEpochWriter::complete(uint32_t index) {
  collectWrites();
  Slot& slot = slots_[index];
  if (slot.holds) {
    holders_.erase(slot.holding);
    slot.holds = false;
  }
  // A file with nothing to write but its header is created here.
  if (!slot.created && slot.failure.ok()) create(slot);
  if (slot.failure.ok() && slot.missing != 0) {
    slot.failure = Status::failed(msg::kEpochsNeverCame);
  }
  if (!slot.failure.ok()) slot.file.abandon();
  return slot.failure;
}

Status BinaryEpochWriter::commit(uint32_t index) { return slots_[index].file.commit(); }

Status BinaryEpochWriter::finish(uint32_t index) {
  const Status completed = complete(index);
  return completed.ok() ? commit(index) : completed;
}

}  // namespace erp2npx
