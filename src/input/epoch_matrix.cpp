#include "input/epoch_matrix.h"

#include <algorithm>
#include <cstring>

namespace erp2npx {

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
  matrix.samples.assign(codesCount * epochValues, 0.0f);
  const size_t available = std::min(features.size(), matrix.samples.size());
  narrowToFloat(features.data(), available, matrix.samples.data());
}

size_t epochCount(const EpochMatrix& matrix) { return matrix.stimulusCount; }

float sampleAt(const EpochMatrix& matrix, size_t channel, size_t stimulus, size_t sample) {
  return matrix.samples[(stimulus * kEpochSamples + sample) * matrix.channelCount + channel];
}

bool readEpochs(const EpochMatrix& matrix, const int32_t* stimuli, size_t count, float* out) {
  const size_t epochValues = matrix.channelCount * kEpochSamples;
  for (size_t i = 0; i < count; ++i) {
    if (stimuli[i] < 0 || static_cast<size_t>(stimuli[i]) >= matrix.stimulusCount) return false;
    std::memcpy(out + i * epochValues, matrix.samples.data() + stimuli[i] * epochValues,
                epochValues * sizeof(float));
  }
  return true;
}

}  // namespace erp2npx
