#include "input/dataset_loader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>

#include "driver/messages.h"
#include "input/hdf5_handle.h"

namespace erp2npx {

namespace {

enum class ReadStatus { kMissing, kUnreadable, kRead };

hid_t nativeType(int32_t*) { return H5T_NATIVE_INT32; }
hid_t nativeType(double*) { return H5T_NATIVE_DOUBLE; }

// Number of elements of a dataset; 0 while it has no storage allocated.
uint64_t elementCount(hid_t dataset) {
  if (H5Dget_storage_size(dataset) == 0) return 0;
  const Hid space = dataspaceHandle(H5Dget_space(dataset));
  if (!space.valid()) return 0;
  const hssize_t points = H5Sget_simple_extent_npoints(space.get());
  return points > 0 ? static_cast<uint64_t>(points) : 0;
}

// Reads a whole root dataset through the native memory type of T, so the
// library converts byte order, width and compression, and never writes more
// elements than the vector holds.
template <typename T>
ReadStatus readDataset(hid_t file, const char* name, std::vector<T>& values) {
  const Hid dataset = datasetHandle(H5Dopen2(file, name, H5P_DEFAULT));
  if (!dataset.valid()) {
    std::printf("%s", msg::datasetMissing(name).c_str());
    return ReadStatus::kMissing;
  }
  const uint64_t count = elementCount(dataset.get());
  // A sparse chunked dataset can claim more elements than memory holds.
  try {
    if (count > values.max_size()) return ReadStatus::kUnreadable;
    values.assign(count, T{});
  } catch (const std::exception&) {
    std::vector<T>().swap(values);
    return ReadStatus::kUnreadable;
  }
  if (count > 0 && H5Dread(dataset.get(), nativeType(static_cast<T*>(nullptr)), H5S_ALL, H5S_ALL,
                           H5P_DEFAULT, values.data()) < 0) {
    std::vector<T>().swap(values);
    return ReadStatus::kUnreadable;
  }
  return ReadStatus::kRead;
}

// Opens a dataset of floating-point samples without reading it whole: counts
// its elements and reads the first epoch's worth to make sure it converts.
ReadStatus probeDataset(hid_t file, const char* name, uint64_t& count) {
  const Hid dataset = datasetHandle(H5Dopen2(file, name, H5P_DEFAULT));
  if (!dataset.valid()) {
    std::printf("%s", msg::datasetMissing(name).c_str());
    return ReadStatus::kMissing;
  }
  count = elementCount(dataset.get());
  if (count == 0) return ReadStatus::kRead;
  const Hid type = datatypeHandle(H5Dget_type(dataset.get()));
  const H5T_class_t typeClass = type.valid() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
  if (typeClass != H5T_FLOAT && typeClass != H5T_INTEGER) return ReadStatus::kUnreadable;
  const Hid space = dataspaceHandle(H5Dget_space(dataset.get()));
  const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  if (rank <= 0) return rank == 0 ? ReadStatus::kRead : ReadStatus::kUnreadable;
  // The first elements in storage order: the start of the first row.
  std::vector<hsize_t> dims(static_cast<size_t>(rank)), start(dims.size(), 0),
      extent(dims.size(), 1);
  H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
  extent.back() = std::min<hsize_t>(dims.back(), kEpochValues);
  const Hid memory = dataspaceHandle(H5Screate_simple(1, &extent.back(), nullptr));
  std::vector<double> values(extent.back());
  if (H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, extent.data(),
                          nullptr) < 0 ||
      H5Dread(dataset.get(), H5T_NATIVE_DOUBLE, memory.get(), space.get(), H5P_DEFAULT,
              values.data()) < 0) {
    return ReadStatus::kUnreadable;
  }
  return ReadStatus::kRead;
}

}  // namespace

namespace DatasetLoader {

bool load(const std::string& fileName, size_t channelCount, InputData& data) {
  Hid file = fileHandle(H5Fopen(fileName.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) {
    printLine(msg::unableToOpenInput(fileName));
    return true;
  }
  std::printf("%s", msg::kFileOpened);

  // A dataset that opens but cannot be read is reported where it is met and
  // then treated like a missing one; the run still ends with exit value 1.
  bool complete = true;
  auto reportUnreadable = [&](ReadStatus status, const char* name) {
    if (status != ReadStatus::kUnreadable) return;
    printLine(msg::datasetUnreadable(name, fileName));
    complete = false;
  };
  StimulusColumns columns;
  uint64_t codesCount = 0;
  auto read = [&](const char* name, auto& values, bool setsStimulusCount) {
    const ReadStatus status = readDataset(file.get(), name, values);
    reportUnreadable(status, name);
    if (status == ReadStatus::kRead && setsStimulusCount) data.stimulusCount = values.size();
    return status == ReadStatus::kRead;
  };

  if (read("/codes", columns.codes, true)) codesCount = columns.codes.size();
  read("/database_ids", columns.databaseIds, false);
  read("/erp_labels", columns.erpLabels, false);

  // The epochs stay in the file and are read session by session during the
  // walk; here the dataset is only opened, counted and test-read.
  const uint64_t featuresNeeded = codesCount * channelCount * kEpochSamples;
  uint64_t featuresCount = 0;
  const ReadStatus featuresStatus = probeDataset(file.get(), "/features", featuresCount);
  reportUnreadable(featuresStatus, "/features");
  // Samples that cannot be read give no epochs, however many there are.
  const uint64_t featuresHeld = featuresStatus == ReadStatus::kRead ? featuresCount : 0;
  if (featuresStatus == ReadStatus::kRead && featuresHeld >= featuresNeeded) {
    attachEpochFile(data.epochs, fileName, "/features", codesCount);
  }
  {
    std::vector<int32_t> matrixDims;
    if (read("/matrix_dims", matrixDims, false))
      data.sessionLayouts = buildSessionLayouts(matrixDims);
  }
  read("/matrix_indexes", columns.matrixIndexes, true);
  std::vector<int32_t>().swap(columns.matrixIndexes);  // only its count is used
  read("/run_indexes", columns.runIndexes, true);
  read("/sequences", columns.sequences, true);
  read("/subjects", columns.subjects, true);
  {
    std::vector<int32_t> target;
    if (read("/target", target, false)) data.targets = buildTargetRecords(target);
  }
  read("/trials", columns.trials, true);
  file.reset();

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
  return complete;
}

}  // namespace DatasetLoader

}  // namespace erp2npx
