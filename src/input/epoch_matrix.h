#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/config.h"

namespace erp2npx {

// Floats of one epoch: 128 samples, the channels of a sample together. This is
// the order of "/features" and of the binary epoch file alike.
constexpr size_t kEpochValues = static_cast<size_t>(kEpochSamples) * 8;

// The EEG samples of every stimulus, narrowed to single precision. Users go
// through the functions below only, so the storage can change without them.
struct EpochMatrix {
  size_t channelCount = 0;
  size_t stimulusCount = 0;
  std::vector<float> samples;  // stimulusCount epochs, each channelCount * 128 floats
};

// An empty matrix for the given number of channels.
EpochMatrix createEpochMatrix(size_t channelCount);

// Fills the matrix with the first codesCount epochs of the "/features" values.
// Reads only what the source holds: epochs it cannot supply stay zero.
void buildEpochMatrix(EpochMatrix& matrix, const std::vector<double>& features, size_t codesCount);

size_t epochCount(const EpochMatrix& matrix);

// Sample t of stimulus s on channel ch.
float sampleAt(const EpochMatrix& matrix, size_t channel, size_t stimulus, size_t sample);

// Copies the epochs of the given stimuli, in the given order, into out
// (count * channelCount * 128 floats). False when a stimulus has no epoch.
bool readEpochs(const EpochMatrix& matrix, const int32_t* stimuli, size_t count, float* out);

// Round to nearest even; beyond the float range gives infinity, NaN stays NaN.
void narrowToFloat(const double* source, size_t count, float* target);

}  // namespace erp2npx
