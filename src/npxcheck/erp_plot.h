#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "npxcheck/session_files.h"

namespace erp2npx::npxcheck {

// Which sessions a plot averages.
struct PlotChoice {
  std::string session;  // "Subj01_01_06_06", with or without ".bin"; empty for any
  int64_t subject = 0;  // 1-based, as in "Subject_01"; 0 for any
};

// Mean target and standard epoch and the standard error of each mean (sample
// standard deviation / sqrt(n), 0 with fewer than two epochs), per sample and
// channel (sample-major, as in the binary file).
struct ErpAverages {
  std::vector<std::string> channels;
  std::vector<double> target;
  std::vector<double> standard;
  std::vector<double> targetError;
  std::vector<double> standardError;
  uint64_t targetEpochs = 0;
  uint64_t standardEpochs = 0;
  std::vector<std::string> sessions;  // the file names averaged
  int64_t subject = 0;                // as chosen
};

// Averages the chosen sessions' epochs. An epoch counts as its header's
// Target or Standard event marks it. Fails when there is nothing to average
// or a file cannot be read.
Status averageEpochs(const TreeFiles& tree, const PlotChoice& choice, ErpAverages& averages);

// Where the difference wave (target minus standard) of one channel lies
// farthest from zero; the first such sample.
struct DifferencePeak {
  size_t sample = 0;
  double latencyMs = 0;  // sample * 1000 / 128
  double amplitude = 0;  // target minus standard there, with its sign
};

// One peak per channel; none when either class has no epoch.
std::vector<DifferencePeak> differencePeaks(const ErpAverages& averages);

// A self-contained SVG document: one panel per channel with both averages,
// their standard-error bands, the difference wave and the flash, and under
// the panels a table of each channel's largest difference. Time in
// milliseconds, amplitude in microvolts.
std::string renderErpSvg(const ErpAverages& averages);

}  // namespace erp2npx::npxcheck
