#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace erp2npx {

// Samples per epoch and, with the same value, the sampling rate in samples
// per second: the dataset's epochs are one second long.
constexpr int32_t kEpochSamples = 128;

constexpr const char* kInputFileName = "QUOLMET ERP-BCI.hdf5";
constexpr const char* kSubjectFileName = "DataSets.txt";

// The EEG channels in the order of the dataset, the binary file and the header.
using ChannelList = std::vector<std::string>;
const ChannelList& channelList();
constexpr size_t kChannelCount = 8;

// Values of one epoch: 128 samples, the channels of a sample together. This is
// the order of "/features" and of the binary epoch file.
constexpr size_t kEpochValues = static_cast<size_t>(kEpochSamples) * kChannelCount;

}  // namespace erp2npx
