#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "npxcheck/session_files.h"

namespace erp2npx::npxcheck {

// The unit the samples are stored in: the header does not say.
enum class Unit { kAuto, kVolt, kMillivolt, kMicrovolt };

// "V", "mV", "uV" or "auto".
std::optional<Unit> parseUnit(const std::string& text);
std::string unitName(Unit unit);

// What the inference of the unit counts, over every finite sample of the
// epochs averaged: more than half below 1e-3 in magnitude is volts, else
// more than half below 1 millivolts, else microvolts. The median of the
// magnitudes against 1e-3 and 1, in two counters.
struct UnitEvidence {
  uint64_t finite = 0;
  uint64_t belowMilli = 0;
  uint64_t belowOne = 0;
  void add(double value);
  Unit inferred() const;
};

// Which sessions a plot averages, and in which unit they are stored.
struct PlotChoice {
  std::string session;  // "Subj01_01_06_06", with or without ".bin"; empty for any
  int64_t subject = 0;  // 1-based, as in "Subject_01"; 0 for any
  Unit unit = Unit::kAuto;
};

// Mean target and standard epoch and the standard error of each mean (sample
// standard deviation / sqrt(n), 0 with fewer than two values), per sample and
// channel (sample-major, as in the binary file), in microvolts. Samples that
// are not finite are left out, point by point.
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
  std::string title;                  // instead of the one made from the above
  Unit unit = Unit::kMicrovolt;       // the unit the samples were taken as
  bool unitInferred = false;
  uint64_t nonFinite = 0;                    // samples left out
  std::vector<std::string> nonFinitePlaces;  // the first few of them
};

// Averages the chosen sessions' epochs. An epoch counts as its header's
// Target or Standard event marks it. Fails when there is nothing to average
// or a file cannot be read.
Result<ErpAverages> averageEpochs(const TreeFiles& tree, const PlotChoice& choice);

// The average of all sessions and, in the same pass, one per subject
// directory (DB_xx/Subject_xx), all in the unit inferred over all of them
// unless one is given. Sessions whose files cannot be averaged are left out
// and named, each with the reason.
struct TreeAverages {
  ErpAverages all;
  std::vector<ErpAverages> subjects;  // in tree order
};
struct TreeAveraging {
  Result<TreeAverages> averages;
  std::vector<std::string> leftOut;  // whether or not any session could be averaged
};
TreeAveraging averageTreeBySubject(const TreeFiles& tree, Unit unit);

// Where the difference wave (target minus standard) of one channel lies
// farthest from zero; the first such sample.
struct DifferencePeak {
  size_t sample = 0;
  double latencyMs = 0;  // sample * 1000 / 128
  double amplitude = 0;  // target minus standard there, with its sign
};

// One peak per channel; none when either class has no epoch.
std::vector<DifferencePeak> differencePeaks(const ErpAverages& averages);

// The "<svg>" element alone, without its namespace, as a page embeds it: one panel per channel with
// both averages, their standard-error bands, the difference wave and the flash, and under the
// panels a table of each channel's largest difference and a count of the samples left out. Time in
// milliseconds, amplitude in microvolts.
std::string renderErpSvgElement(const ErpAverages& averages);

// "3 samples are not finite (NaN or infinite) and are left out: Pz, session
// Subj01_01_06_06, epoch 4, sample 17; ..."; empty when none is.
std::string nonFiniteNote(const ErpAverages& averages);

// The same as a self-contained SVG document.
std::string renderErpSvg(const ErpAverages& averages);

}  // namespace erp2npx::npxcheck
