#include "input/epoch_matrix.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "input/hdf5_handle.h"

namespace erp2npx {

struct EpochFileSource {
  std::shared_ptr<const InputFile> file;
  std::string datasetName;
  Hid dataset;
  Hid space;
  std::vector<hsize_t> dims;
  std::vector<double> buffer;
  std::vector<bool> unwritten;  // epochs that lie in chunks never written
  // Set when the values lie contiguous and unconverted in the input file
  // itself: they are then read straight from it, which the library's
  // selection machinery would only slow down for scattered epochs.
  bool raw = false;
  uint64_t rawOffset = 0;
};

namespace {

void openRawAccess(EpochFileSource& source, const DatasetStorage& storage) {
  const Hid creation = propertyListHandle(H5Dget_create_plist(source.dataset.get()));
  const Hid type = datatypeHandle(H5Dget_type(source.dataset.get()));
  if (!creation.valid() || !type.valid() || H5Pget_layout(creation.get()) != H5D_CONTIGUOUS ||
      storage.filtered || H5Tequal(type.get(), H5T_NATIVE_DOUBLE) <= 0) {
    return;
  }
  const haddr_t offset = H5Dget_offset(source.dataset.get());
  // The values must lie inside the file, whatever its addresses claim.
  if (offset == HADDR_UNDEF || offset > source.file->size() ||
      storage.elements > (source.file->size() - offset) / sizeof(double)) {
    return;
  }
  source.raw = true;
  source.rawOffset = offset;
}

bool readRaw(EpochFileSource& source, uint64_t firstValue, uint64_t valueCount, double* out) {
  char* bytes = reinterpret_cast<char*>(out);
  uint64_t size = valueCount * sizeof(double);
  uint64_t position = source.rawOffset + firstValue * sizeof(double);
  while (size > 0) {
    const ssize_t got = pread(source.file->descriptor(), bytes, size, static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<uint64_t>(got);
    position += static_cast<uint64_t>(got);
  }
  return true;
}

// Adds the elements [first, last) in storage order of a dataspace of the
// given dimensions to its selection. Dimensions before `level` are fixed at
// `prefix`. A linear range is at most two partial rows around whole rows, at
// every level.
bool selectLinearRange(hid_t space, const std::vector<hsize_t>& dims, size_t level,
                       std::vector<hsize_t>& prefix, hsize_t first, hsize_t last, bool& empty) {
  if (first >= last) return true;
  const size_t rank = dims.size();
  hsize_t rowSize = 1;
  for (size_t d = level + 1; d < rank; ++d) rowSize *= dims[d];
  const hsize_t firstRow = first / rowSize;
  const hsize_t lastRow = last / rowSize;
  auto recurse = [&](hsize_t row, hsize_t from, hsize_t to) {
    prefix[level] = row;
    return selectLinearRange(space, dims, level + 1, prefix, from, to, empty);
  };
  if (level + 1 < rank && firstRow == lastRow) {
    return recurse(firstRow, first - firstRow * rowSize, last - firstRow * rowSize);
  }
  hsize_t wholeFrom = firstRow;
  hsize_t wholeTo = lastRow;
  if (first % rowSize != 0) {
    if (!recurse(firstRow, first % rowSize, rowSize)) return false;
    ++wholeFrom;
  }
  if (wholeFrom < wholeTo) {
    std::vector<hsize_t> start(rank, 0), count(rank, 1);
    for (size_t d = 0; d < level; ++d) start[d] = prefix[d];
    start[level] = wholeFrom;
    count[level] = wholeTo - wholeFrom;
    for (size_t d = level + 1; d < rank; ++d) count[d] = dims[d];
    if (H5Sselect_hyperslab(space, empty ? H5S_SELECT_SET : H5S_SELECT_OR, start.data(), nullptr,
                            count.data(), nullptr) < 0) {
      return false;
    }
    empty = false;
  }
  if (last % rowSize != 0 && level + 1 < rank) return recurse(lastRow, 0, last % rowSize);
  return true;
}

// Reads the epochs of the sorted stimuli into the buffer through one
// selection of the runs of consecutive stimuli.
bool readSelected(EpochFileSource& source, size_t epochValues, const std::vector<int32_t>& sorted) {
  bool empty = true;
  std::vector<hsize_t> prefix(source.dims.size(), 0);
  bool selected = !source.dims.empty();
  for (size_t i = 0; i < sorted.size() && selected;) {
    size_t j = i + 1;
    while (j < sorted.size() && sorted[j] == sorted[j - 1] + 1) ++j;
    const hsize_t first = static_cast<hsize_t>(sorted[i]) * epochValues;
    const hsize_t last = static_cast<hsize_t>(sorted[j - 1] + 1) * epochValues;
    selected = selectLinearRange(source.space.get(), source.dims, 0, prefix, first, last, empty);
    i = j;
  }
  const hsize_t total = sorted.size() * epochValues;
  const Hid memory = dataspaceHandle(H5Screate_simple(1, &total, nullptr));
  return selected && memory.valid() &&
         H5Dread(source.dataset.get(), H5T_NATIVE_DOUBLE, memory.get(), source.space.get(),
                 H5P_DEFAULT, source.buffer.data()) >= 0;
}

bool readFromFile(EpochFileSource& source, size_t epochValues, const int32_t* stimuli, size_t count,
                  float* out, std::string& error) {
  if (count == 0) return true;
  // Read each distinct stimulus once, in storage order, in one call.
  std::vector<int32_t> sorted(stimuli, stimuli + count);
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());

  const hsize_t total = sorted.size() * epochValues;
  try {
    source.buffer.resize(total);
  } catch (const std::bad_alloc&) {
    error = "no memory to read the dataset " + source.datasetName;
    return false;
  }
  bool read = true;
  if (source.raw) {
    for (size_t i = 0; i < sorted.size() && read;) {
      size_t j = i + 1;
      while (j < sorted.size() && sorted[j] == sorted[j - 1] + 1) ++j;
      read = readRaw(source, static_cast<uint64_t>(sorted[i]) * epochValues, (j - i) * epochValues,
                     source.buffer.data() + i * epochValues);
      i = j;
    }
  } else {
    read = readSelected(source, epochValues, sorted);
  }
  if (!read) {
    error = "reading the dataset " + source.datasetName + " failed";
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t slot = static_cast<size_t>(
        std::lower_bound(sorted.begin(), sorted.end(), stimuli[i]) - sorted.begin());
    narrowToFloat(source.buffer.data() + slot * epochValues, epochValues, out + i * epochValues);
  }
  return true;
}

}  // namespace

EpochMatrix createEpochMatrix(size_t channelCount) {
  EpochMatrix matrix;
  matrix.channelCount = channelCount;
  return matrix;
}

void narrowToFloat(const double* source, size_t count, float* target) {
  // The hardware conversion under the default rounding mode is exactly
  // round-to-nearest-even with overflow to infinity.
  for (size_t i = 0; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

void buildEpochMatrix(EpochMatrix& matrix, const std::vector<double>& features, size_t codesCount) {
  const size_t epochValues = matrix.channelCount * kEpochSamples;
  matrix.stimulusCount = codesCount;
  matrix.file.reset();
  matrix.samples.assign(codesCount * epochValues, 0.0f);
  const size_t available = std::min(features.size(), matrix.samples.size());
  narrowToFloat(features.data(), available, matrix.samples.data());
}

void attachEpochFile(EpochMatrix& matrix, std::shared_ptr<const InputFile> file,
                     const std::string& datasetName, Hid dataset, const DatasetStorage& storage,
                     size_t codesCount, std::vector<bool> unwritten) {
  matrix.stimulusCount = codesCount;
  matrix.samples.clear();
  auto source = std::make_shared<EpochFileSource>();
  source->file = std::move(file);
  source->datasetName = datasetName;
  source->dataset = std::move(dataset);
  source->space = dataspaceHandle(H5Dget_space(source->dataset.get()));
  source->dims = storage.grid.dims();
  source->unwritten = std::move(unwritten);
  openRawAccess(*source, storage);
  matrix.file = std::move(source);
}

bool epochsWritten(const EpochMatrix& matrix, const std::vector<int32_t>& stimuli) {
  if (!matrix.file || matrix.file->unwritten.empty()) return true;
  const std::vector<bool>& unwritten = matrix.file->unwritten;
  for (const int32_t stimulus : stimuli) {
    if (stimulus >= 0 && static_cast<size_t>(stimulus) < unwritten.size() &&
        unwritten[static_cast<size_t>(stimulus)]) {
      return false;
    }
  }
  return true;
}

bool prefersStorageOrder(const EpochMatrix& matrix) { return matrix.file && !matrix.file->raw; }

size_t epochCount(const EpochMatrix& matrix) { return matrix.stimulusCount; }

float sampleAt(const EpochMatrix& matrix, size_t channel, size_t stimulus, size_t sample) {
  std::vector<float> epoch(matrix.channelCount * kEpochSamples);
  const int32_t number = static_cast<int32_t>(stimulus);
  std::string error;
  if (stimulus > INT32_MAX || !readEpochs(matrix, &number, 1, epoch.data(), error)) return 0.0f;
  return epoch[sample * matrix.channelCount + channel];
}

bool readEpochs(const EpochMatrix& matrix, const int32_t* stimuli, size_t count, float* out,
                std::string& error) {
  const size_t epochValues = matrix.channelCount * kEpochSamples;
  for (size_t i = 0; i < count; ++i) {
    if (stimuli[i] < 0 || static_cast<size_t>(stimuli[i]) >= matrix.stimulusCount) {
      error = "stimulus " + std::to_string(stimuli[i]) + " has no epoch in the input";
      return false;
    }
  }
  if (matrix.file) {
    if (!epochsWritten(matrix, std::vector<int32_t>(stimuli, stimuli + count))) {
      error = "some of its epochs lie in chunks of " + matrix.file->datasetName +
              " that were never written";
      return false;
    }
    return readFromFile(*matrix.file, epochValues, stimuli, count, out, error);
  }
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(out + i * epochValues, matrix.samples.data() + stimuli[i] * epochValues,
                epochValues * sizeof(float));
  }
  return true;
}

}  // namespace erp2npx
