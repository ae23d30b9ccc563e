#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/console.h"
#include "input/dataset_table.h"
#include "input/stimulus_table.h"
#include "input/stored_epochs.h"
#include "input/subject_file.h"

namespace erp2npx {

class InputReader;

// Everything the run reads, held from the load to the end of the run.
struct InputData {
  StoredEpochs epochs;
  StimulusTable stimuli;
  std::vector<SessionLayout> sessionLayouts;
  std::vector<TargetRecord> targets;
  uint64_t stimulusCount = 0;
  SubjectInfoTable subjectInfos;
};

// The tables of an input file as read, the stimulus table not yet built.
struct InputTables {
  StimulusColumns columns;
  std::vector<SessionLayout> sessionLayouts;
  std::vector<TargetRecord> targets;
};

// How one dataset was found.
struct TableRead {
  bool read = false;      // soundly, whole or as far as it was written
  uint64_t declared = 0;  // elements, 0 while nothing is stored
  size_t held = 0;        // values taken
};

// Reads a root dataset other than the samples into its place among the
// tables, as its kind says; the reader reports whatever keeps it from being
// read soundly.
TableRead readRootTable(InputReader& reader, const RootDataset& dataset, InputTables& tables);

// Reads the datasets of the input file into InputData and reports into the
// console what it finds, in the order it finds it.
class DatasetLoader {
 public:
  explicit DatasetLoader(Console& console) : console_(console) {}

  // False when it reported anything: a file that cannot be opened, a missing
  // or unreadable dataset (then treated as missing), one only partly written,
  // or datasets too short for the stimulus count (then nothing is converted).
  bool load(const std::string& fileName, size_t channelCount, InputData& data);

 private:
  // What the samples hold against what the epochs need.
  struct SampleCounts {
    uint64_t needed = 0;
    uint64_t held = 0;
  };

  bool coversEveryStimulus(const std::string& fileName, const StimulusColumns& columns,
                           uint64_t stimulusCount, const SampleCounts& samples);

  Console& console_;
};

}  // namespace erp2npx
