#include "input/dataset_loader.h"

#include <climits>
#include <new>
#include <stdexcept>
#include <string>

#include "common/messages.h"
#include "input/input_file.h"
#include "input/input_reader.h"

namespace erp2npx {

bool holdsOneValuePerStimulus(const std::string& datasetName) {
  for (const char* name : kPerStimulusDatasets) {
    if (datasetName == name) return true;
  }
  return false;
}

bool DatasetLoader::load(const std::string& fileName, size_t channelCount, InputData& data) {
  const OpenedInputFile opened = InputFile::open(fileName);
  if (opened.found != OpenedInputFile::Found::kOpened) {
    console_.line(msg::unableToOpenInput(fileName));
    if (opened.found == OpenedInputFile::Found::kRefused) {
      console_.line(msg::inputNotOpened(fileName, opened.refusal));
    } else if (!opened.cause.empty()) {
      console_.note(msg::inputFileCause(fileName, opened.cause));
    }
    return false;
  }
  console_.text(msg::kFileOpened);

  InputReader reader(opened.file, fileName, console_);
  StimulusColumns columns;
  uint64_t codesCount = 0;
  // Each dataset of the stimulus count that could be read sets the count.
  auto read = [&](const char* name, auto& values, bool setsStimulusCount) {
    const InputReader::Table result = reader.readTable(name, values);
    if (result.found == InputReader::Found::kRead && setsStimulusCount) {
      data.stimulusCount = result.declared;
    }
    return result;
  };

  const InputReader::Table codes = read("/codes", columns.codes, true);
  if (codes.found == InputReader::Found::kRead) codesCount = codes.declared;
  read("/database_ids", columns.databaseIds, false);
  read("/erp_labels", columns.erpLabels, false);

  // The epochs stay in the file and are read session by session during the
  // walk; here the dataset is only opened, described and test-read.
  const uint64_t featuresNeeded = codesCount * channelCount * kEpochSamples;
  const uint64_t epochValues = channelCount * static_cast<uint64_t>(kEpochSamples);
  InputReader::Features features = reader.openFeatures(codesCount, epochValues);
  const uint64_t featuresHeld = features.held;
  data.epochs = std::move(features.epochs);
  {
    std::vector<int32_t> matrixDims;
    if (read("/matrix_dims", matrixDims, false).found == InputReader::Found::kRead) {
      data.sessionLayouts = buildSessionLayouts(matrixDims);
    }
  }
  read("/matrix_indexes", columns.matrixIndexes, true);
  std::vector<int32_t>().swap(columns.matrixIndexes);  // only its count is used
  read("/run_indexes", columns.runIndexes, true);
  read("/sequences", columns.sequences, true);
  read("/subjects", columns.subjects, true);
  {
    std::vector<int32_t> target;
    if (read("/target", target, false).found == InputReader::Found::kRead) {
      data.targets = buildTargetRecords(target);
    }
  }
  read("/trials", columns.trials, true);

  bool usable = true;
  for (const char* name : kPerStimulusDatasets) {
    const size_t held = columns.heldBy(name);
    if (std::string(name) != "/matrix_indexes" && held < data.stimulusCount) {
      console_.line(msg::datasetTooShort(name, held, data.stimulusCount, fileName));
      usable = false;
    }
  }
  // Stimulus numbers are 32-bit throughout the output side.
  if (data.stimulusCount > static_cast<uint64_t>(INT32_MAX)) {
    console_.line(msg::tooManyStimuli(data.stimulusCount, fileName));
    usable = false;
  }
  if (featuresHeld < featuresNeeded) {
    console_.line(msg::datasetTooShort("/features", featuresHeld, featuresNeeded, fileName));
    usable = false;
  }
  if (!usable) {
    data.epochs = StoredEpochs();
    return false;
  }
  data.stimuli = buildStimulusTable(columns, data.stimulusCount);
  return reader.complete();
}

}  // namespace erp2npx
