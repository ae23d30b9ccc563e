#include "input/dataset_loader.h"

#include <climits>
#include <memory>
#include <utility>

#include "common/config.h"
#include "common/messages.h"
#include "input/input_file.h"
#include "input/input_reader.h"

namespace erp2npx {

namespace {

template <typename T>
TableRead readValues(InputReader& reader, const char* name, std::vector<T>& values) {
  const InputReader::Table found = reader.readTable(name, values);
  return TableRead{found.found == InputReader::Found::kRead, found.declared, values.size()};
}

// The values are released once their table is built.
template <typename Build, typename Table>
TableRead readAndBuild(InputReader& reader, const char* name, Build build, Table& table) {
  std::vector<int32_t> values;
  const TableRead found = readValues(reader, name, values);
  if (found.read) table = build(values);
  return found;
}

std::shared_ptr<InputFile> openInput(const std::string& fileName, Console& console) {
  OpenedInputFile opened = InputFile::open(fileName);
  if (opened.found != OpenedInputFile::Found::kOpened) {
    console.line(msg::unableToOpenInput(fileName));
    if (opened.found == OpenedInputFile::Found::kRefused) {
      console.line(msg::inputNotOpened(fileName, opened.refusal));
    } else if (!opened.cause.empty()) {
      console.note(msg::inputFileCause(fileName, opened.cause));
    }
  }
  return std::move(opened.file);
}

}  // namespace

TableRead readRootTable(InputReader& reader, const RootDataset& dataset, InputTables& tables) {
  switch (dataset.kind) {
    case DatasetKind::kIntegers:
      return readValues(reader, dataset.name, tables.columns[dataset.name].integers);
    case DatasetKind::kTruncatedReals:
      return readValues(reader, dataset.name, tables.columns[dataset.name].reals);
    case DatasetKind::kMatrixDims:
      return readAndBuild(reader, dataset.name, buildSessionLayouts, tables.sessionLayouts);
    case DatasetKind::kTargetRows:
      return readAndBuild(reader, dataset.name, buildTargetRecords, tables.targets);
    case DatasetKind::kSamples:
      break;  // opened, not read
  }
  return TableRead{};
}

bool DatasetLoader::load(const std::string& fileName, size_t channelCount, InputData& data) {
  const std::shared_ptr<InputFile> file = openInput(fileName, console_);
  if (!file) return false;
  console_.text(msg::kFileOpened);

  InputReader reader(file, fileName, console_);
  InputTables tables;
  uint64_t epochCount = 0;
  SampleCounts samples;
  for (const RootDataset& dataset : kRootDatasets) {
    if (dataset.kind == DatasetKind::kSamples) {
      // The samples stay in the file and are read in one pass during the
      // walk; here the dataset is only opened, described and test-read.
      const uint64_t epochValues = channelCount * static_cast<uint64_t>(kEpochSamples);
      InputReader::Features features = reader.openFeatures(epochCount, epochValues);
      samples = SampleCounts{epochCount * epochValues, features.held};
      data.epochs = std::move(features.epochs);
      continue;
    }
    const TableRead found = readRootTable(reader, dataset, tables);
    if (found.read && dataset.counts != Counts::kNothing) data.stimulusCount = found.declared;
    if (found.read && dataset.counts == Counts::kStimuliAndEpochs) epochCount = found.declared;
    if (dataset.oneValuePerStimulus() && dataset.field == nullptr) {
      tables.columns.release(dataset.name);  // only its count is used
    }
  }
  data.sessionLayouts = std::move(tables.sessionLayouts);
  data.targets = std::move(tables.targets);
  if (!coversEveryStimulus(fileName, tables.columns, data.stimulusCount, samples)) {
    data.epochs = StoredEpochs();
    return false;
  }
  data.stimuli = buildStimulusTable(tables.columns, data.stimulusCount);
  return reader.complete();
}

bool DatasetLoader::coversEveryStimulus(const std::string& fileName, const StimulusColumns& columns,
                                        uint64_t stimulusCount, const SampleCounts& samples) {
  bool covers = true;
  for (const RootDataset& dataset : kRootDatasets) {
    const size_t held = columns.heldBy(dataset.name);
    if (dataset.field != nullptr && held < stimulusCount) {
      console_.line(msg::datasetTooShort(dataset.name, held, stimulusCount, fileName));
      covers = false;
    }
  }
  // Stimulus numbers are 32-bit throughout the output side.
  if (stimulusCount > static_cast<uint64_t>(INT32_MAX)) {
    console_.line(msg::tooManyStimuli(stimulusCount, fileName));
    covers = false;
  }
  if (samples.held < samples.needed) {
    console_.line(
        msg::datasetTooShort(kSamplesDataset.name, samples.held, samples.needed, fileName));
    covers = false;
  }
  return covers;
}

}  // namespace erp2npx
