#include "output/write_behind.h"

#include <algorithm>
#include <exception>
#include <iterator>

namespace erp2npx {

namespace {

// Bytes gathered before they go to a thread, and batches waiting at most:
// memory stays a few megabytes however far the writes fall behind.
constexpr size_t kBatchBytes = size_t{1} << 20;
constexpr size_t kQueuedBatches = 8;

}  // namespace

WriteBehind::WriteBehind(size_t threads, WriteAt writeAt)
    : writeAt_(std::move(writeAt)), queue_(threads < 1 ? 1 : threads, kQueuedBatches + threads) {
  staged_.bytes.reserve(kBatchBytes);
}

void WriteBehind::write(int fd, uint64_t offset, const void* data, size_t size, uint32_t tag,
                        const std::shared_ptr<const void>& hold) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (!hold) {
    copyIn(fd, offset, bytes, size, tag);
    return;
  }
  if (size == 0) return;
  Piece* last = staged_.pieces.empty() ? nullptr : &staged_.pieces.back();
  if (last != nullptr && last->held != nullptr && last->held + last->size == bytes &&
      last->fd == fd && last->tag == tag && last->offset + last->size == offset &&
      hold == staged_.holds.back()) {
    last->size += size;
  } else {
    staged_.pieces.push_back({fd, offset, bytes, 0, size, tag});
    if (staged_.holds.empty() || staged_.holds.back() != hold) {
      staged_.holds.push_back(hold);
    }
  }
  staged_.heldBytes += size;
  if (staged_.bytes.size() + staged_.heldBytes >= kBatchBytes) send();
}

void WriteBehind::copyIn(int fd, uint64_t offset, const uint8_t* bytes, size_t size, uint32_t tag) {
  // A large write goes in batch-sized pieces, so that no batch outgrows its
  // reserve and the queued batches stay a few megabytes in all.
  while (size > 0) {
    const size_t piece = std::min(size, kBatchBytes);
    Piece* last = staged_.pieces.empty() ? nullptr : &staged_.pieces.back();
    if (last != nullptr && last->held == nullptr && last->fd == fd && last->tag == tag &&
        last->offset + last->size == offset &&
        staged_.bytes.size() + staged_.heldBytes + piece <= kBatchBytes) {
      last->size += piece;
    } else {
      if (staged_.bytes.size() + staged_.heldBytes + piece > kBatchBytes) send();
      staged_.pieces.push_back({fd, offset, nullptr, staged_.bytes.size(), piece, tag});
    }
    staged_.bytes.insert(staged_.bytes.end(), bytes, bytes + piece);
    bytes += piece;
    offset += piece;
    size -= piece;
  }
}

void WriteBehind::send() {
  Batch batch = std::move(staged_);
  staged_ = Batch();
  if (!spares_.empty()) {
    staged_ = std::move(spares_.back());
    spares_.pop_back();
  }
  staged_.bytes.reserve(kBatchBytes);
  queue_.submit(
      std::move(batch),
      [this](Batch& writing) {
        for (; writing.done < writing.pieces.size(); ++writing.done) {
          const Piece& piece = writing.pieces[writing.done];
          const uint8_t* bytes =
              piece.held != nullptr ? piece.held : writing.bytes.data() + piece.start;
          const Status written = writeAt_(piece.fd, piece.offset, bytes, piece.size);
          if (!written.ok()) writing.failures.emplace_back(piece.tag, written.reason());
        }
      },
      [this](Batch& written, std::exception_ptr failure) { collect(written, failure); });
}

void WriteBehind::collect(Batch& batch, std::exception_ptr failure) {
  failures_.insert(failures_.end(), std::make_move_iterator(batch.failures.begin()),
                   std::make_move_iterator(batch.failures.end()));
  if (failure) {
    // The piece that threw and those after it were not written.
    std::string reason = "writing failed";
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& exception) {
      reason = exception.what();
    } catch (...) {
    }
    for (size_t p = batch.done; p < batch.pieces.size(); ++p) {
      failures_.emplace_back(batch.pieces[p].tag, reason);
    }
  }
  batch.bytes.clear();
  batch.heldBytes = 0;
  batch.holds.clear();
  batch.pieces.clear();
  batch.failures.clear();
  batch.done = 0;
  if (spares_.size() < kQueuedBatches) spares_.push_back(std::move(batch));
}

std::vector<std::pair<uint32_t, std::string>> WriteBehind::drain() {
  if (!staged_.pieces.empty()) send();
  queue_.finish([this](Batch& written, std::exception_ptr failure) { collect(written, failure); });
  return std::exchange(failures_, {});
}

}  // namespace erp2npx
