#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/config.h"
#include "input/dataset_loader.h"
#include "output/output_file.h"
#include "output/stimulus_index.h"

namespace erp2npx {

constexpr int32_t kBinaryFormatVersion = 17;

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

// The fixed part of the file and the channel names, for a data block of the
// given number of sample positions.
std::vector<uint8_t> encodeEpochFileHeader(const ChannelList& channels, int32_t positions);

namespace BinaryEpochWriter {

// Writes the session's file (trials ascending, stimuli in table order within a
// trial) and fills events. The caller has checked that every trial has a
// target record and every stimulus an epoch. The file is left open for the
// caller to commit or abandon; false with the reason when a write fails.
bool write(OutputFile& file, const TrialMap& trials, const InputData& data,
           const ChannelList& channels, SessionEvents& events, std::string& error);

}  // namespace BinaryEpochWriter

}  // namespace erp2npx
