#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/console.h"

namespace erp2npx {

// A self-updating status line for people watching a long conversion. It is
// drawn on standard error only when that is a terminal, so standard output
// and anything that reads the run's output see nothing of it.
class Progress {
 public:
  Progress(Console& console, uint64_t totalSessions, uint64_t totalEpochs);

  // Counts a finished (written or skipped) session and redraws at most a few
  // times a second.
  void advance(uint64_t sessionEpochs);
  void finish();

  // The text of the line, without control characters.
  std::string text(double elapsedSeconds) const;

 private:
  Console& console_;
  bool enabled_ = false;
  uint64_t totalSessions_ = 0;
  uint64_t totalEpochs_ = 0;
  uint64_t sessions_ = 0;
  uint64_t epochs_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDrawn_;
};

}  // namespace erp2npx
