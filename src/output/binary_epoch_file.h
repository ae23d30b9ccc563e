#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/status.h"

namespace erp2npx {

// The binary epoch file: a fixed header, a 16-byte name field per channel,
// then 32-bit floats by epoch, sample position and channel. All integers are
// 32-bit little-endian.
constexpr int32_t kBinaryFormatVersion = 17;
constexpr char kBinaryMagic[8] = {'N', 'P', 'X', 'F', 'I', 'L', 'E', '\0'};
constexpr size_t kFixedHeaderBytes = 32;
constexpr size_t kChannelNameBytes = 16;
// The header length field counts from this offset to the first sample.
constexpr size_t kHeaderLengthOrigin = 16;

// The header length field of a file of channelCount channels: the fixed
// fields after it take as much room as one more name.
constexpr int64_t headerLengthFor(int64_t channelCount) {
  return static_cast<int64_t>(kChannelNameBytes) * (channelCount + 1);
}

// The fields of a binary epoch file's header, as stored.
struct EpochFileHeader {
  std::string magic;  // the first 8 bytes
  int32_t version = 0;
  int32_t headerLength = 0;  // from byte 16 to the first sample
  int32_t rate = 0;
  int32_t positions = 0;
  int32_t channelCount = 0;
  int32_t reserved = 0;
  std::vector<std::string> channelNames;  // each up to its first zero byte
  std::vector<bool> namesTerminated;      // whether each field holds a zero byte
};

// The header the converter writes, for a data block of the given number of
// sample positions.
std::vector<uint8_t> encodeEpochFileHeader(const ChannelList& channels, int32_t positions);

// Decodes the fixed part and, when bytes holds them, the channel names.
EpochFileHeader decodeEpochFileHeader(const std::vector<uint8_t>& bytes);

// The header the converter writes for these channel names and positions.
EpochFileHeader expectedEpochFileHeader(const ChannelList& channels, int32_t positions);

// Byte offset of the first sample.
uint64_t dataOffset(const EpochFileHeader& header);

// The size a file of this header must have.
uint64_t announcedFileSize(const EpochFileHeader& header);

// Values of one epoch: 128 positions of every channel.
size_t epochValues(const EpochFileHeader& header);

// An open binary epoch file, read epoch by epoch.
class EpochFileReader {
 public:
  // Opens the file and reads its header; fails when the file cannot be read
  // or is shorter than its fixed header.
  Status open(const std::string& path);

  const EpochFileHeader& header() const { return header_; }
  uint64_t fileSize() const { return fileSize_; }

  // Reads up to count epochs from firstEpoch into out; returns how many whole
  // epochs the file held there.
  size_t readEpochs(uint64_t firstEpoch, size_t count, float* out);
  // Reads count values from the value at firstValue of the data block; false
  // when the file ends before.
  bool readValues(uint64_t firstValue, size_t count, float* out);

 private:
  std::ifstream stream_;
  EpochFileHeader header_;
  uint64_t fileSize_ = 0;
};

}  // namespace erp2npx
