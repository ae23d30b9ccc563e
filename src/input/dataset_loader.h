#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/console.h"
#include "input/stimulus_table.h"
#include "input/stored_epochs.h"
#include "input/subject_file.h"

namespace erp2npx {

// Everything the run reads, held from the load to the end of the run.
struct InputData {
  StoredEpochs epochs;
  StimulusTable stimuli;
  std::vector<SessionLayout> sessionLayouts;
  std::vector<TargetRecord> targets;
  uint64_t stimulusCount = 0;
  SubjectInfoTable subjectInfos;
};

// The root datasets of an input file, in the order they are read.
inline constexpr const char* kDatasetNames[] = {
    "/codes",       "/database_ids", "/erp_labels", "/features", "/matrix_dims", "/matrix_indexes",
    "/run_indexes", "/sequences",    "/subjects",   "/target",   "/trials"};

// Those with one value per stimulus, "/features" aside. Only the count of
// "/matrix_indexes" is ever used.
inline constexpr const char* kPerStimulusDatasets[] = {
    "/codes",       "/database_ids", "/erp_labels", "/matrix_indexes",
    "/run_indexes", "/sequences",    "/subjects",   "/trials"};

bool holdsOneValuePerStimulus(const std::string& datasetName);

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
  Console& console_;
};

}  // namespace erp2npx
