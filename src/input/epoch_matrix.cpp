#include "input/epoch_matrix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "input/hdf5_handle.h"

namespace erp2npx {

struct EpochFileSource {
  std::string fileName;
  std::string datasetName;
  bool opened = false;
  Hid file;
  Hid dataset;
  Hid space;
  std::vector<hsize_t> dims;
  std::vector<double> buffer;
  // Set when the values lie contiguous and unconverted in the file: they are
  // then read straight from it, which the library's selection machinery
  // would only slow down for scattered epochs.
  int rawFd = -1;
  uint64_t rawOffset = 0;
  ~EpochFileSource() {
    if (rawFd >= 0) close(rawFd);
  }
};

namespace {

// Chunk cache for "/features": the chunks around one block of epochs read in
// storage order.
constexpr size_t kChunkCacheBytes = 32u << 20;

void openRawAccess(EpochFileSource& source) {
  const Hid creation = propertyListHandle(H5Dget_create_plist(source.dataset.get()));
  const Hid type = datatypeHandle(H5Dget_type(source.dataset.get()));
  if (!creation.valid() || !type.valid() || H5Pget_layout(creation.get()) != H5D_CONTIGUOUS ||
      H5Pget_nfilters(creation.get()) != 0 || H5Tequal(type.get(), H5T_NATIVE_DOUBLE) <= 0) {
    return;
  }
  const haddr_t offset = H5Dget_offset(source.dataset.get());
  if (offset == HADDR_UNDEF) return;
  source.rawFd = open(source.fileName.c_str(), O_RDONLY | O_CLOEXEC);
  source.rawOffset = offset;
}

bool readRaw(EpochFileSource& source, uint64_t firstValue, uint64_t valueCount, double* out) {
  char* bytes = reinterpret_cast<char*>(out);
  uint64_t size = valueCount * sizeof(double);
  uint64_t position = source.rawOffset + firstValue * sizeof(double);
  while (size > 0) {
    const ssize_t got = pread(source.rawFd, bytes, size, static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<uint64_t>(got);
    position += static_cast<uint64_t>(got);
  }
  return true;
}

bool openSource(EpochFileSource& source, std::string& error) {
  if (source.opened) {
    if (!source.dataset.valid()) error = "the dataset " + source.datasetName + " cannot be opened";
    return source.dataset.valid();
  }
  source.opened = true;
  // Epochs are read as whole 8 KB runs; the library's sieve buffer would only
  // copy each of them through a larger buffer when they lie scattered.
  const Hid fileAccess = propertyListHandle(H5Pcreate(H5P_FILE_ACCESS));
  H5Pset_sieve_buf_size(fileAccess.get(), 0);
  source.file = fileHandle(H5Fopen(source.fileName.c_str(), H5F_ACC_RDONLY, fileAccess.get()));
  if (source.file.valid()) {
    const Hid access = propertyListHandle(H5Pcreate(H5P_DATASET_ACCESS));
    // The default preemption weight: with 1.0 this library version keeps
    // every chunk it has decompressed, far beyond the cache size.
    H5Pset_chunk_cache(access.get(), 12421, kChunkCacheBytes, 0.75);
    source.dataset = datasetHandle(H5Dopen2(source.file.get(), source.datasetName.c_str(), access.get()));
  }
  if (source.dataset.valid()) source.space = dataspaceHandle(H5Dget_space(source.dataset.get()));
  const int rank = source.space.valid() ? H5Sget_simple_extent_ndims(source.space.get()) : -1;
  if (rank < 0) {
    source.dataset.reset();
    error = "the dataset " + source.datasetName + " cannot be opened";
    return false;
  }
  source.dims.resize(static_cast<size_t>(rank));
  H5Sget_simple_extent_dims(source.space.get(), source.dims.data(), nullptr);
  openRawAccess(source);
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

bool readFromFile(EpochFileSource& source, size_t epochValues, const int32_t* stimuli,
                  size_t count, float* out, std::string& error) {
  if (count == 0) return true;
  if (!openSource(source, error)) return false;
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
  if (source.rawFd >= 0) {
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

void attachEpochFile(EpochMatrix& matrix, const std::string& fileName,
                     const std::string& datasetName, size_t codesCount) {
  matrix.stimulusCount = codesCount;
  matrix.samples.clear();
  matrix.file = std::make_shared<EpochFileSource>();
  matrix.file->fileName = fileName;
  matrix.file->datasetName = datasetName;
}

bool prefersStorageOrder(const EpochMatrix& matrix) {
  std::string ignored;  // a file that cannot be opened is reported by the read
  return matrix.file && openSource(*matrix.file, ignored) && matrix.file->rawFd < 0;
}

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
  if (matrix.file) return readFromFile(*matrix.file, epochValues, stimuli, count, out, error);
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(out + i * epochValues, matrix.samples.data() + stimuli[i] * epochValues,
                epochValues * sizeof(float));
  }
  return true;
}

}  // namespace erp2npx
