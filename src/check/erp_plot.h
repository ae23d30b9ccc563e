#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/session_files.h"

namespace erp2npx::check {

// Mean target and standard epoch, per sample and channel (sample-major, as in
// the binary file).
struct ErpAverages {
  std::vector<std::string> channels;
  std::vector<double> target;
  std::vector<double> standard;
  uint64_t targetEpochs = 0;
  uint64_t standardEpochs = 0;
  std::vector<std::string> sessions;  // the file names averaged
};

// Averages the epochs of the named session ("Subj01_01_06_06", with or without
// ".bin") or, for an empty name, of every session of the tree. An epoch
// counts as its header's Target or Standard event marks it. False with the
// reason when there is nothing to average.
bool averageEpochs(const TreeFiles& tree, const std::string& session, ErpAverages& averages,
                   std::string& error);

// A self-contained SVG document: one panel per channel with both averages,
// time in milliseconds, amplitude in microvolts.
std::string renderErpSvg(const ErpAverages& averages);

}  // namespace erp2npx::check
