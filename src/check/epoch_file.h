#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace erp2npx::check {

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

constexpr size_t kFixedHeaderBytes = 32;
constexpr size_t kChannelNameBytes = 16;

// Decodes the fixed part and, when bytes holds them, the channel names.
EpochFileHeader decodeEpochFileHeader(const std::vector<uint8_t>& bytes);

// The header the converter writes for these channel names and positions.
EpochFileHeader expectedEpochFileHeader(const std::vector<std::string>& channels,
                                        int32_t positions);

// Byte offset of the first sample.
uint64_t dataOffset(const EpochFileHeader& header);

// The size a file of this header must have.
uint64_t announcedFileSize(const EpochFileHeader& header);

// An open binary epoch file, read epoch by epoch.
struct EpochFileReader {
  std::ifstream stream;
  EpochFileHeader header;
  uint64_t fileSize = 0;
};

// Opens the file and reads its header; false with the reason when the file
// cannot be read or is shorter than its fixed header.
bool openEpochFile(const std::string& path, EpochFileReader& reader, std::string& error);

// Values of one epoch: 128 positions of every channel.
size_t epochValues(const EpochFileHeader& header);

// Reads up to count epochs from firstEpoch into out; returns how many whole
// epochs the file held there.
size_t readEpochBlock(EpochFileReader& reader, uint64_t firstEpoch, size_t count, float* out);

}  // namespace erp2npx::check
