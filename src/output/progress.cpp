#include "output/progress.h"

#include <unistd.h>

#include <cstdio>

#include "driver/messages.h"
#include "input/epoch_matrix.h"

namespace erp2npx {

namespace {

constexpr double kBytesPerEpoch = kEpochValues * sizeof(float);

}  // namespace

Progress startProgress(uint64_t totalSessions, uint64_t totalEpochs) {
  Progress progress;
  progress.enabled = isatty(STDERR_FILENO) == 1;
  progress.totalSessions = totalSessions;
  progress.totalEpochs = totalEpochs;
  progress.start = progress.lastDrawn = std::chrono::steady_clock::now();
  return progress;
}

std::string progressText(const Progress& progress, double elapsedSeconds) {
  const double megabytes = progress.epochs * kBytesPerEpoch / 1e6;
  const double rate = elapsedSeconds > 0 ? megabytes / elapsedSeconds : 0.0;
  const double totalMegabytes = progress.totalEpochs * kBytesPerEpoch / 1e6;
  char line[160];
  if (rate > 0 && progress.epochs > 0) {
    const double left = (totalMegabytes - megabytes) / rate;
    std::snprintf(line, sizeof line, "%llu/%llu sessions, %llu/%llu epochs, %.0f MB, %.0f MB/s, %.0f s left",
                  static_cast<unsigned long long>(progress.sessions),
                  static_cast<unsigned long long>(progress.totalSessions),
                  static_cast<unsigned long long>(progress.epochs),
                  static_cast<unsigned long long>(progress.totalEpochs), megabytes, rate, left);
  } else {
    std::snprintf(line, sizeof line, "%llu/%llu sessions, %llu/%llu epochs",
                  static_cast<unsigned long long>(progress.sessions),
                  static_cast<unsigned long long>(progress.totalSessions),
                  static_cast<unsigned long long>(progress.epochs),
                  static_cast<unsigned long long>(progress.totalEpochs));
  }
  return line;
}

void advanceProgress(Progress& progress, uint64_t sessionEpochs) {
  ++progress.sessions;
  progress.epochs += sessionEpochs;
  if (!progress.enabled) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - progress.lastDrawn < std::chrono::milliseconds(200) &&
      progress.sessions < progress.totalSessions) {
    return;
  }
  progress.lastDrawn = now;
  const double elapsed = std::chrono::duration<double>(now - progress.start).count();
  setStatusLine(progressText(progress, elapsed));
}

void finishProgress(Progress& progress) {
  if (progress.enabled) setStatusLine("");
}

}  // namespace erp2npx
