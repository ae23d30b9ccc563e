#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace erp2npx {

// Sample positions of one trial: its first epoch's first position, and the
// position just past its last epoch.
struct TrialSpan {
  int32_t beginSample = 0;
  int32_t endSample = 0;
};

// Where every epoch and trial of one session lands in its binary file.
struct SessionEvents {
  std::map<int32_t, std::vector<int32_t>> codeOffsets;
  std::vector<int32_t> targetOffsets;
  std::vector<int32_t> standardOffsets;
  std::map<int32_t, TrialSpan> trialSpans;
  std::map<int32_t, int32_t> trialTargetRow;
  std::map<int32_t, int32_t> trialTargetColumn;
  int32_t totalSamples = 0;
};

}  // namespace erp2npx
