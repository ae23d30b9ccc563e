#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "header/npx_reader.h"
#include "npxcheck/check_report.h"
#include "npxcheck/session_files.h"

namespace erp2npx::npxcheck {

// What a header says about one epoch of its binary file.
struct EpochMarks {
  std::string codeClass;  // name of the (first) code class holding it
  uint32_t codeClasses = 0;
  uint32_t targetMarks = 0;
  uint32_t standardMarks = 0;
};

// One event of the "Trial" class and the trial target class of the same rank.
struct TrialMarks {
  int64_t begin = 0;
  int64_t end = 0;
  bool hasTarget = false;
  std::string targetName;
  std::vector<NpxEvent> targetEvents;
};

struct SessionEventMap {
  std::vector<EpochMarks> epochs;
  std::vector<TrialMarks> trials;
  size_t trialTargetClasses = 0;
};

// Lays the events of a header over the epochs of a file of the given number
// of sample positions. Events that are no whole number, lie outside the file
// or off an epoch start are left out; the tree check reports them.
SessionEventMap mapSessionEvents(const NpxFile& npx, int64_t positions);

// Checks every session's ".bin" and ".npx" against each other, and reports
// leftover partial files.
CheckReport checkTree(const TreeFiles& tree);

}  // namespace erp2npx::npxcheck
