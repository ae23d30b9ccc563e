#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/config.h"
#include "input/dataset_storage.h"
#include "input/hdf5_handle.h"
#include "input/input_file.h"

namespace erp2npx {

// Floats of one epoch with 8 channels: 128 samples, the channels of a sample
// together. This is the order of "/features" and of the binary epoch file.
constexpr size_t kEpochValues = static_cast<size_t>(kEpochSamples) * 8;

// "/features" of the input file, read as the epochs are needed.
struct EpochFileSource;

// The EEG samples of every stimulus, as single-precision epochs. They are
// either held in memory or read from the input file when asked for, so that
// memory does not grow with the dataset. Users go through the functions
// below only.
struct EpochMatrix {
  size_t channelCount = 0;
  size_t stimulusCount = 0;
  std::vector<float> samples;             // held in memory: stimulusCount epochs
  std::shared_ptr<EpochFileSource> file;  // or read from the input file
};

// An empty matrix for the given number of channels.
EpochMatrix createEpochMatrix(size_t channelCount);

// Fills the matrix in memory with the first codesCount epochs of the
// "/features" values. Reads only what the source holds: epochs it cannot
// supply stay zero.
void buildEpochMatrix(EpochMatrix& matrix, const std::vector<double>& features, size_t codesCount);

// Lets the matrix read its codesCount epochs from the dataset, opened in the
// input file during the load, when they are needed; the caller has checked
// that the dataset holds them. Epochs marked in unwritten are never read.
void attachEpochFile(EpochMatrix& matrix, std::shared_ptr<const InputFile> file,
                     const std::string& datasetName, Hid dataset, const DatasetStorage& storage,
                     size_t codesCount, std::vector<bool> unwritten);

// Whether every epoch of the stimuli was written to the input file.
bool epochsWritten(const EpochMatrix& matrix, const std::vector<int32_t>& stimuli);

size_t epochCount(const EpochMatrix& matrix);

// Sample t of stimulus s on channel ch (0 when it cannot be read).
float sampleAt(const EpochMatrix& matrix, size_t channel, size_t stimulus, size_t sample);

// Copies the epochs of the given stimuli, in the given order, into out
// (count * channelCount * 128 floats). False with the reason when a stimulus
// has no epoch or the file cannot be read.
bool readEpochs(const EpochMatrix& matrix, const int32_t* stimuli, size_t count, float* out,
                std::string& error);

// True when epochs are best fetched in ascending stimulus order: they are
// stored in compressed or converted chunks, which reading in another order
// would unpack again and again. Contiguous storage reads fast in any order.
bool prefersStorageOrder(const EpochMatrix& matrix);

// Round to nearest even; beyond the float range gives infinity, NaN stays NaN.
void narrowToFloat(const double* source, size_t count, float* target);

}  // namespace erp2npx
