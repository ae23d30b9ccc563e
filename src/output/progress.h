#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace erp2npx {

// A self-updating status line for people watching a long conversion. It is
// drawn on standard error only when that is a terminal, so standard output
// and anything that reads the run's output see nothing of it.
struct Progress {
  bool enabled = false;
  uint64_t totalSessions = 0;
  uint64_t totalEpochs = 0;
  uint64_t sessions = 0;
  uint64_t epochs = 0;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point lastDrawn;
};

Progress startProgress(uint64_t totalSessions, uint64_t totalEpochs);
// Counts a finished (written or skipped) session and redraws at most a few
// times a second.
void advanceProgress(Progress& progress, uint64_t sessionEpochs);
void finishProgress(Progress& progress);

// The text of the line, without control characters.
std::string progressText(const Progress& progress, double elapsedSeconds);

}  // namespace erp2npx
