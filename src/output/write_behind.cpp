#include "output/write_behind.h"

#include "common/worker_threads.h"
#include "output/output_file.h"

namespace erp2npx {

namespace {

// Bytes gathered before they go to a thread, and batches waiting at most:
// memory stays a few megabytes however far the writes fall behind.
constexpr size_t kBatchBytes = size_t{1} << 20;
constexpr size_t kQueuedBatches = 8;

}  // namespace

WriteBehind::WriteBehind(size_t threads) {
  staged_.bytes.reserve(kBatchBytes);
  threads_ = startWorkers(threads < 1 ? 1 : threads, [this] { work(); });
}

WriteBehind::~WriteBehind() {
  drain();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WriteBehind::write(int fd, uint64_t offset, const void* data, size_t size, uint32_t tag) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (!staged_.pieces.empty()) {
    Piece& last = staged_.pieces.back();
    if (last.fd == fd && last.tag == tag && last.offset + last.size == offset &&
        staged_.bytes.size() + size <= kBatchBytes) {
      staged_.bytes.insert(staged_.bytes.end(), bytes, bytes + size);
      last.size += size;
      return;
    }
    if (staged_.bytes.size() + size > kBatchBytes) send();
  }
  staged_.pieces.push_back({fd, offset, staged_.bytes.size(), size, tag});
  staged_.bytes.insert(staged_.bytes.end(), bytes, bytes + size);
}

void WriteBehind::send() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return batches_.size() < kQueuedBatches; });
  batches_.push_back(std::move(staged_));
  staged_ = Batch();
  if (!spares_.empty()) {
    staged_ = std::move(spares_.back());
    spares_.pop_back();
  }
  lock.unlock();
  ready_.notify_one();
  staged_.bytes.reserve(kBatchBytes);
}

std::vector<std::pair<uint32_t, int>> WriteBehind::drain() {
  if (!staged_.pieces.empty()) send();
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return batches_.empty() && busy_ == 0; });
  return std::exchange(failures_, {});
}

void WriteBehind::work() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return stopping_ || !batches_.empty(); });
    if (batches_.empty()) return;
    Batch batch = std::move(batches_.front());
    batches_.pop_front();
    ++busy_;
    lock.unlock();
    std::vector<std::pair<uint32_t, int>> failures;
    for (const Piece& piece : batch.pieces) {
      const int error =
          writeAllAt(piece.fd, piece.offset, batch.bytes.data() + piece.start, piece.size);
      if (error != 0) failures.emplace_back(piece.tag, error);
    }
    batch.bytes.clear();
    batch.pieces.clear();
    lock.lock();
    --busy_;
    failures_.insert(failures_.end(), failures.begin(), failures.end());
    if (spares_.size() < kQueuedBatches) spares_.push_back(std::move(batch));
    lock.unlock();
    done_.notify_all();
  }
}

}  // namespace erp2npx
