#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "input/epoch_matrix.h"
#include "input/stimulus_table.h"
#include "input/subject_file.h"

namespace erp2npx {

// Everything the run reads, held from the load to the end of the run.
struct InputData {
  EpochMatrix epochs;
  StimulusTable stimuli;
  std::vector<SessionLayout> sessionLayouts;
  std::vector<TargetRecord> targets;
  uint64_t stimulusCount = 0;
  SubjectInfoTable subjectInfos;
};

namespace DatasetLoader {

// Reads the eleven datasets of the input file into data and reports on
// standard output what it finds. False when it reported a problem of its
// own: a dataset that opens but cannot be read (then treated as missing), or
// datasets too short for the stimulus count (then nothing is converted). A
// file that cannot be opened at all leaves data empty and returns true.
bool load(const std::string& fileName, size_t channelCount, InputData& data);

}  // namespace DatasetLoader

}  // namespace erp2npx
