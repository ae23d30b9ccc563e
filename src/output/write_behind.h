#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace erp2npx {

// Writes at given offsets of open descriptors on background threads: epochs
// stored out of session order become many small writes to scattered places,
// which one thread alone cannot issue as fast as the input is read. The bytes
// are copied in, so the caller's buffer is free at once; writes that follow
// on in the same file are joined. The caller drains before it closes a
// descriptor, and learns then which writes failed.
class WriteBehind {
 public:
  explicit WriteBehind(size_t threads);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  ~WriteBehind();

  // Queues size bytes for offset of fd; tag names the writes in failures.
  void write(int fd, uint64_t offset, const void* data, size_t size, uint32_t tag);

  // Waits until every write queued so far is done; returns the tags of those
  // that failed, each with its error number.
  std::vector<std::pair<uint32_t, int>> drain();

 private:
  struct Piece {
    int fd;
    uint64_t offset;
    size_t start;  // in the batch's bytes
    size_t size;
    uint32_t tag;
  };
  struct Batch {
    std::vector<uint8_t> bytes;
    std::vector<Piece> pieces;
  };

  void send();
  void work();

  Batch staged_;  // filled by the calling thread
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable done_;
  std::deque<Batch> batches_;
  std::vector<Batch> spares_;
  size_t busy_ = 0;  // batches being written
  std::vector<std::pair<uint32_t, int>> failures_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace erp2npx
