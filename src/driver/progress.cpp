#include "driver/progress.h"

#include <unistd.h>

#include <cstdio>

#include "common/config.h"

namespace erp2npx {

namespace {

constexpr double kBytesPerEpoch = kEpochValues * sizeof(float);

}  // namespace

Progress::Progress(Console& console, uint64_t totalSessions, uint64_t totalEpochs)
    : console_(console),
      enabled_(isatty(STDERR_FILENO) == 1),
      totalSessions_(totalSessions),
      totalEpochs_(totalEpochs),
      start_(std::chrono::steady_clock::now()),
      lastDrawn_(start_) {}

std::string Progress::text(double elapsedSeconds) const {
  const double megabytes = static_cast<double>(epochs_) * kBytesPerEpoch / 1e6;
  const double rate = elapsedSeconds > 0 ? megabytes / elapsedSeconds : 0.0;
  const double totalMegabytes = static_cast<double>(totalEpochs_) * kBytesPerEpoch / 1e6;
  char line[160];
  const auto count = [](uint64_t value) { return static_cast<unsigned long long>(value); };
  if (rate > 0 && epochs_ > 0) {
    const double left = (totalMegabytes - megabytes) / rate;
    std::snprintf(line, sizeof line,
                  "%llu/%llu sessions, %llu/%llu epochs, %.0f MB, %.0f MB/s, %.0f s left",
                  count(sessions_), count(totalSessions_), count(epochs_), count(totalEpochs_),
                  megabytes, rate, left);
  } else {
    std::snprintf(line, sizeof line, "%llu/%llu sessions, %llu/%llu epochs", count(sessions_),
                  count(totalSessions_), count(epochs_), count(totalEpochs_));
  }
  return line;
}

void Progress::advance(uint64_t sessionEpochs) {
  ++sessions_;
  epochs_ += sessionEpochs;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDrawn_ < std::chrono::milliseconds(200) && sessions_ < totalSessions_) return;
  lastDrawn_ = now;
  console_.setStatusLine(text(std::chrono::duration<double>(now - start_).count()));
}

void Progress::finish() {
  if (enabled_) console_.setStatusLine("");
}

}  // namespace erp2npx
