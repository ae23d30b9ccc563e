#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/status.h"
#include "common/work_queue.h"

namespace erp2npx {

// Writes all size bytes at offset of fd.
using WriteAt = std::function<Status(int fd, uint64_t offset, const void* data, size_t size)>;

// Writes at given offsets of open descriptors on background threads: epochs
// stored out of session order become many small writes to scattered places,
// which one thread alone cannot issue as fast as the input is read. Bytes
// the caller holds are written from where they are, and the hold let go
// once they are; others are copied in, so the caller's buffer is free at
// once. Writes that follow on in the same file are joined. The caller drains
// before it closes a descriptor, and learns then which writes failed.
class WriteBehind {
 public:
  // writeAt does each write; a test puts a failing one in its place.
  WriteBehind(size_t threads, WriteAt writeAt);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  // Writes not drained yet may be dropped: their files are not to be kept.
  ~WriteBehind() = default;

  // Queues size bytes for offset of fd; tag names the writes in failures.
  // hold, when set, keeps data valid until the write is done.
  void write(int fd, uint64_t offset, const void* data, size_t size, uint32_t tag,
             const std::shared_ptr<const void>& hold = nullptr);

  // Waits until every write queued so far is done; returns the tags of those
  // that failed, each with the reason.
  std::vector<std::pair<uint32_t, std::string>> drain();

 private:
  struct Piece {
    int fd;
    uint64_t offset;
    const uint8_t* held;  // the caller's bytes, or nullptr for the batch's
    size_t start;         // in the batch's bytes
    size_t size;
    uint32_t tag;
  };
  struct Batch {
    std::vector<uint8_t> bytes;
    size_t heldBytes = 0;
    std::vector<Piece> pieces;
    std::vector<std::shared_ptr<const void>> holds;
    std::vector<std::pair<uint32_t, std::string>> failures;  // tags and reasons
    size_t done = 0;                                         // pieces tried
  };

  void copyIn(int fd, uint64_t offset, const uint8_t* bytes, size_t size, uint32_t tag);
  void send();
  void collect(Batch& batch, std::exception_ptr failure);

  const WriteAt writeAt_;
  Batch staged_;
  std::vector<Batch> spares_;
  std::vector<std::pair<uint32_t, std::string>> failures_;
  // Last, so that its threads are joined before the rest goes.
  WorkQueue<Batch> queue_;
};

}  // namespace erp2npx
