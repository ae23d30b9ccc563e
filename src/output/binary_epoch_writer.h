#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/status.h"
#include "output/output_file.h"
#include "output/write_behind.h"

namespace erp2npx {

// Writes the binary epoch files of many sessions at once, as their samples
// arrive in whatever order the input stores them: each file is created at its
// first samples, with its header, and every sample goes straight to its place
// in it. Few descriptors are held, however many files are in progress.
class BinaryEpochWriter {
 public:
  // writeAt does the writes in the background; a test puts a failing one in
  // its place.
  explicit BinaryEpochWriter(const ChannelList& channels, WriteAt writeAt = writeAllAt);

  // A session file of the given number of epochs; returns its slot, which
  // may be one released before.
  uint32_t add(std::string path, uint32_t epochs);
  // Forgets a finished slot, so that slots are held only while in progress.
  void release(uint32_t slot);

  // Writes the values at firstValue of the slot's data block, creating the
  // file first if need be; keep, when set, holds the values valid until
  // they are written, which spares a copy.
  void write(uint32_t slot, uint64_t firstValue, const float* values, size_t count,
             const std::shared_ptr<const void>& keep = nullptr);
  // The slot's samples cannot all be had: its file is not to be kept.
  void fail(uint32_t slot, const std::string& reason);

  // Whether every sample has been written, or the file given up.
  bool settled(uint32_t slot) const;
  // The error number of creating the file, 0 when it was or is yet to be,
  // for the fixed message that quotes it.
  int creationError(uint32_t slot) const { return slots_[slot].creationError; }

  // Closes a file that holds all its samples, ready to be renamed into
  // place, or removes it and says why.
  Status complete(uint32_t slot);
  // Renames a completed file into place.
  Status commit(uint32_t slot);
  // Both.
  Status finish(uint32_t slot);

 private:
  struct Slot {
    OutputFile file;
    uint32_t epochs = 0;
    uint64_t missing = 0;  // values not written yet
    bool created = false;
    int creationError = 0;
    Status failure = Status::done();        // the first, which gives the file up
    std::list<uint32_t>::iterator holding;  // in holders_ while it holds a descriptor
    bool holds = false;
  };

  bool create(Slot& slot);
  template <typename Open>
  Status withDescriptor(Open open);
  void hold(uint32_t slot);
  void holdAtMost(size_t count);
  // Waits for the writes in the background and marks the slots of any that
  // failed.
  void collectWrites();

  const ChannelList& channels_;
  const uint64_t dataOffset_;  // of the first sample in every file
  std::vector<Slot> slots_;
  std::vector<uint32_t> released_;  // slots free for the next add
  std::list<uint32_t> holders_;     // most recently written first
  size_t heldLimit_;
  // Last, so that it is gone, its writes done, before any file is closed.
  WriteBehind background_;
};

}  // namespace erp2npx
