#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "input/stimulus_table.h"

namespace erp2npx {

// How the values of a root dataset are read, and what they become.
enum class DatasetKind {
  kIntegers,        // one 32-bit integer per stimulus
  kTruncatedReals,  // one real per stimulus, truncated toward zero when taken
  kSamples,         // the epochs' samples: opened in the load, read during the walk
  kMatrixDims,      // (rows, columns) of each session: the session layouts
  kTargetRows,      // one row of 7 values per trial: the target records
};

// What the element count of a dataset sets once it is read.
enum class Counts { kNothing, kStimuli, kStimuliAndEpochs };

struct RootDataset {
  const char* name;
  DatasetKind kind;
  Counts counts;
  int32_t StimulusRecord::*field;  // filled from a dataset of one value per stimulus, if any

  constexpr bool oneValuePerStimulus() const {
    return kind == DatasetKind::kIntegers || kind == DatasetKind::kTruncatedReals;
  }
};

// The root datasets of an input file, in the order they are read and
// reported. A per-stimulus dataset that fills no field is read for its count.
inline constexpr RootDataset kRootDatasets[] = {
    {"/codes", DatasetKind::kIntegers, Counts::kStimuliAndEpochs, &StimulusRecord::code},
    {"/database_ids", DatasetKind::kIntegers, Counts::kNothing, &StimulusRecord::database},
    {"/erp_labels", DatasetKind::kTruncatedReals, Counts::kNothing, &StimulusRecord::label},
    {"/features", DatasetKind::kSamples, Counts::kNothing, nullptr},
    {"/matrix_dims", DatasetKind::kMatrixDims, Counts::kNothing, nullptr},
    {"/matrix_indexes", DatasetKind::kIntegers, Counts::kStimuli, nullptr},
    {"/run_indexes", DatasetKind::kIntegers, Counts::kStimuli, &StimulusRecord::session},
    {"/sequences", DatasetKind::kIntegers, Counts::kStimuli, &StimulusRecord::sequence},
    {"/subjects", DatasetKind::kIntegers, Counts::kStimuli, &StimulusRecord::subject},
    {"/target", DatasetKind::kTargetRows, Counts::kNothing, nullptr},
    {"/trials", DatasetKind::kIntegers, Counts::kStimuli, &StimulusRecord::trial},
};

constexpr size_t rootDatasetWhere(bool (*matches)(const RootDataset&)) {
  size_t i = 0;
  while (i < std::size(kRootDatasets) && !matches(kRootDatasets[i])) ++i;
  return i;
}

inline constexpr size_t kEpochCounterAt = rootDatasetWhere(
    [](const RootDataset& dataset) { return dataset.counts == Counts::kStimuliAndEpochs; });
inline constexpr size_t kSamplesAt = rootDatasetWhere(
    [](const RootDataset& dataset) { return dataset.kind == DatasetKind::kSamples; });
static_assert(kEpochCounterAt < kSamplesAt && kSamplesAt < std::size(kRootDatasets),
              "the epochs are counted before their samples are opened");

// The dataset whose count is the number of epochs, and the one of their samples.
inline constexpr const RootDataset& kEpochCounter = kRootDatasets[kEpochCounterAt];
inline constexpr const RootDataset& kSamplesDataset = kRootDatasets[kSamplesAt];

inline bool holdsOneValuePerStimulus(const std::string& datasetName) {
  for (const RootDataset& dataset : kRootDatasets) {
    if (dataset.oneValuePerStimulus() && datasetName == dataset.name) return true;
  }
  return false;
}

}  // namespace erp2npx
