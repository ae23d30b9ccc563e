#include "input/dataset_loader.h"

#include <climits>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "driver/messages.h"
#include "input/dataset_storage.h"
#include "input/hdf5_handle.h"
#include "input/input_file.h"

namespace erp2npx {

namespace {

enum class ReadStatus { kMissing, kUnreadable, kRead };

// One dataset as the load found it.
struct DatasetRead {
  ReadStatus status = ReadStatus::kMissing;
  uint64_t declared = 0;  // elements, 0 while nothing is stored
};

class Loader {
 public:
  Loader(const InputFile& file, const std::string& fileName) : file_(file), fileName_(fileName) {}

  bool complete() const { return complete_; }

  void unreadable(const char* name, const std::string& reason) {
    printLine(msg::datasetUnreadable(name, fileName_, reason));
    complete_ = false;
  }

  // Opens a dataset and describes its storage; a missing one gets its
  // message, one that cannot be read soundly is reported.
  bool open(const char* name, OpenedDataset& opened, DatasetStorage& storage,
            hid_t access = H5P_DEFAULT) {
    opened = openInputDataset(file_, name, access);
    if (opened.status == OpenedDataset::Status::kMissing) {
      std::printf("%s", msg::datasetMissing(name).c_str());
      complete_ = false;
      return false;
    }
    if (opened.status == OpenedDataset::Status::kRefused) {
      unreadable(name, opened.refusal);
      return false;
    }
    std::string error;
    if (!describeStorage(opened.dataset.get(), storage, error)) {
      unreadable(name, error);
      return false;
    }
    const Hid type = datatypeHandle(H5Dget_type(opened.dataset.get()));
    const H5T_class_t typeClass = type.valid() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
    if (typeClass != H5T_FLOAT && typeClass != H5T_INTEGER) {
      unreadable(name, "its values are not numbers");
      return false;
    }
    return true;
  }

  void reportPartlyWritten(const char* name, const DatasetStorage& storage,
                           const std::string& consequence) {
    printLine(msg::datasetPartlyWritten(name, fileName_, storage.storedChunks,
                                        storage.grid.chunkCount(), consequence));
    complete_ = false;
  }

  // Reads a table whole, or the values before its first unwritten chunk. A
  // table of one value per stimulus is never read past what 32-bit stimulus
  // numbers can index.
  template <typename T>
  DatasetRead readTable(const char* name, std::vector<T>& values, bool perStimulus) {
    DatasetRead result;
    OpenedDataset opened;
    DatasetStorage storage;
    if (!open(name, opened, storage)) {
      result.status = opened.status == OpenedDataset::Status::kMissing ? ReadStatus::kMissing
                                                                       : ReadStatus::kUnreadable;
      return result;
    }
    if (perStimulus && storage.elements > static_cast<uint64_t>(INT32_MAX)) {
      unreadable(name, msg::tooManyValues(storage.elements));
      result.status = ReadStatus::kUnreadable;
      return result;
    }
    using Allocation = DatasetStorage::Allocation;
    if (storage.allocation == Allocation::kPartial) {
      reportPartlyWritten(name, storage,
                          msg::takenAsLeading(storage.writtenPrefix, storage.elements));
    }
    std::string error;
    try {
      const uint64_t count = storage.allocation == Allocation::kNone ? 0 : storage.writtenPrefix;
      if (!readLeadingValues(opened.dataset.get(), storage, count, values, error)) {
        unreadable(name, error);
        result.status = ReadStatus::kUnreadable;
        return result;
      }
    } catch (const std::bad_alloc&) {
      unreadable(name, msg::tooLargeForMemory(storage.elements));
      result.status = ReadStatus::kUnreadable;
      return result;
    } catch (const std::length_error&) {
      unreadable(name, msg::tooLargeForMemory(storage.elements));
      result.status = ReadStatus::kUnreadable;
      return result;
    }
    result.status = ReadStatus::kRead;
    result.declared = storage.allocation == Allocation::kNone ? 0 : storage.elements;
    return result;
  }

  // Opens "/features" for the walk without reading it whole: describes it,
  // test-reads its first epoch and finds the epochs that were never written.
  // Returns how many values it soundly holds for codesCount epochs.
  uint64_t openFeatures(uint64_t codesCount, size_t channelCount, InputData& data,
                        const std::shared_ptr<InputFile>& shared) {
    const char* name = "/features";
    OpenedDataset opened;
    DatasetStorage storage;
    if (!open(name, opened, storage, chunkCacheAccess().get())) return 0;
    if (storage.allocation == DatasetStorage::Allocation::kNone) return 0;
    const uint64_t epochValues = channelCount * kEpochSamples;
    // Before any read: the library caches an unwritten chunk it was asked to
    // read as if it existed.
    uint64_t held = storage.elements;
    std::vector<bool> unwritten;
    if (storage.allocation == DatasetStorage::Allocation::kPartial) {
      if (findUnwrittenEpochs(opened.dataset.get(), storage, codesCount, epochValues, unwritten)) {
        reportPartlyWritten(name, storage, msg::unwrittenSessionsSkipped());
      } else {
        // Too little of it is written to be worth sorting out epoch by epoch.
        unwritten.clear();
        held = storage.writtenPrefix;
        reportPartlyWritten(name, storage, msg::takenAsLeading(held, storage.elements));
      }
    }
    std::vector<double> probe;
    std::string error;
    if (!readLeadingValues(opened.dataset.get(), storage,
                           std::min(storage.writtenPrefix, epochValues), probe, error)) {
      unreadable(name, error);
      return 0;
    }
    if (held >= codesCount * epochValues) {
      attachEpochFile(data.epochs, shared, name, std::move(opened.dataset), storage, codesCount,
                      std::move(unwritten));
    }
    return held;
  }

 private:
  const InputFile& file_;
  const std::string& fileName_;
  bool complete_ = true;
};

}  // namespace

namespace DatasetLoader {

bool load(const std::string& fileName, size_t channelCount, InputData& data) {
  InputFile::Failure failure = InputFile::Failure::kNone;
  std::string why;
  const std::shared_ptr<InputFile> file = InputFile::open(fileName, failure, why);
  if (!file) {
    printLine(msg::unableToOpenInput(fileName));
    if (!why.empty()) printLine(msg::inputNotOpened(fileName, why));
    return false;
  }
  std::printf("%s", msg::kFileOpened);

  Loader loader(*file, fileName);
  StimulusColumns columns;
  uint64_t codesCount = 0;
  // Each dataset of the stimulus count that could be read sets the count.
  auto read = [&](const char* name, auto& values, bool setsStimulusCount) {
    const bool perStimulus = std::string(name) != "/matrix_dims" && std::string(name) != "/target";
    const DatasetRead result = loader.readTable(name, values, perStimulus);
    if (result.status == ReadStatus::kRead && setsStimulusCount) {
      data.stimulusCount = result.declared;
    }
    return result;
  };

  const DatasetRead codes = read("/codes", columns.codes, true);
  if (codes.status == ReadStatus::kRead) codesCount = codes.declared;
  read("/database_ids", columns.databaseIds, false);
  read("/erp_labels", columns.erpLabels, false);

  // The epochs stay in the file and are read session by session during the
  // walk; here the dataset is only opened, described and test-read.
  const uint64_t featuresNeeded = codesCount * channelCount * kEpochSamples;
  const uint64_t featuresHeld = loader.openFeatures(codesCount, channelCount, data, file);
  {
    std::vector<int32_t> matrixDims;
    if (read("/matrix_dims", matrixDims, false).status == ReadStatus::kRead) {
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
    if (read("/target", target, false).status == ReadStatus::kRead) {
      data.targets = buildTargetRecords(target);
    }
  }
  read("/trials", columns.trials, true);

  bool usable = true;
  const std::pair<const char*, size_t> perStimulus[] = {
      {"/codes", columns.codes.size()},          {"/database_ids", columns.databaseIds.size()},
      {"/erp_labels", columns.erpLabels.size()}, {"/run_indexes", columns.runIndexes.size()},
      {"/sequences", columns.sequences.size()},  {"/subjects", columns.subjects.size()},
      {"/trials", columns.trials.size()}};
  for (const auto& [name, held] : perStimulus) {
    if (held < data.stimulusCount) {
      printLine(msg::datasetTooShort(name, held, data.stimulusCount, fileName));
      usable = false;
    }
  }
  // Stimulus numbers are 32-bit throughout the output side.
  if (data.stimulusCount > static_cast<uint64_t>(INT32_MAX)) {
    printLine(msg::tooManyStimuli(data.stimulusCount, fileName));
    usable = false;
  }
  if (featuresHeld < featuresNeeded) {
    printLine(msg::datasetTooShort("/features", featuresHeld, featuresNeeded, fileName));
    usable = false;
  }
  if (!usable) {
    data.epochs = createEpochMatrix(channelCount);
    return false;
  }
  data.stimuli = buildStimulusTable(columns, data.stimulusCount);
  return loader.complete();
}

}  // namespace DatasetLoader

}  // namespace erp2npx
