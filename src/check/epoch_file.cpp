#include "check/epoch_file.h"

#include <algorithm>
#include <cstring>

#include "driver/config.h"
#include "output/binary_epoch_writer.h"

namespace erp2npx::check {

namespace {

int32_t readLE32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<size_t>(i)];
  return static_cast<int32_t>(value);
}

// Channel counts beyond this are taken as a damaged header, not as names to read.
constexpr int32_t kMaxChannels = 1024;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples are read as stored");

}  // namespace

EpochFileHeader decodeEpochFileHeader(const std::vector<uint8_t>& bytes) {
  EpochFileHeader header;
  if (bytes.size() < kFixedHeaderBytes) return header;
  header.magic.assign(bytes.begin(), bytes.begin() + 8);
  header.version = readLE32(bytes, 8);
  header.headerLength = readLE32(bytes, 12);
  header.rate = readLE32(bytes, 16);
  header.positions = readLE32(bytes, 20);
  header.channelCount = readLE32(bytes, 24);
  header.reserved = readLE32(bytes, 28);
  for (int32_t c = 0; c < std::min(header.channelCount, kMaxChannels); ++c) {
    const size_t offset = kFixedHeaderBytes + kChannelNameBytes * static_cast<size_t>(c);
    if (offset + kChannelNameBytes > bytes.size()) break;
    const auto field = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto end = std::find(field, field + kChannelNameBytes, 0);
    header.channelNames.emplace_back(field, end);
    header.namesTerminated.push_back(end != field + kChannelNameBytes);
  }
  return header;
}

EpochFileHeader expectedEpochFileHeader(const std::vector<std::string>& channels,
                                        int32_t positions) {
  return decodeEpochFileHeader(encodeEpochFileHeader(channels, positions));
}

uint64_t dataOffset(const EpochFileHeader& header) {
  return 16 + static_cast<uint64_t>(static_cast<uint32_t>(header.headerLength));
}

uint64_t announcedFileSize(const EpochFileHeader& header) {
  const uint64_t channels = static_cast<uint32_t>(std::max(header.channelCount, 0));
  const uint64_t positions = static_cast<uint32_t>(std::max(header.positions, 0));
  return dataOffset(header) + sizeof(float) * channels * positions;
}

bool openEpochFile(const std::string& path, EpochFileReader& reader, std::string& error) {
  reader.stream.open(path, std::ios::binary);
  if (!reader.stream) {
    error = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  reader.stream.seekg(0, std::ios::end);
  reader.fileSize = static_cast<uint64_t>(reader.stream.tellg());
  reader.stream.seekg(0);
  std::vector<uint8_t> bytes(kFixedHeaderBytes);
  if (reader.fileSize < kFixedHeaderBytes ||
      !reader.stream.read(reinterpret_cast<char*>(bytes.data()), kFixedHeaderBytes)) {
    error = "holds " + std::to_string(reader.fileSize) + " bytes, too short for the " +
            std::to_string(kFixedHeaderBytes) + "-byte fixed header";
    return false;
  }
  const EpochFileHeader fixed = decodeEpochFileHeader(bytes);
  const size_t names = static_cast<size_t>(std::clamp(fixed.channelCount, 0, kMaxChannels));
  const size_t wanted =
      std::min<uint64_t>(reader.fileSize, kFixedHeaderBytes + kChannelNameBytes * names);
  bytes.resize(wanted);
  reader.stream.read(reinterpret_cast<char*>(bytes.data() + kFixedHeaderBytes),
                     static_cast<std::streamsize>(wanted - kFixedHeaderBytes));
  reader.header = decodeEpochFileHeader(bytes);
  return true;
}

size_t epochValues(const EpochFileHeader& header) {
  return static_cast<size_t>(std::max(header.channelCount, 0)) * kEpochSamples;
}

size_t readEpochBlock(EpochFileReader& reader, uint64_t firstEpoch, size_t count, float* out) {
  const uint64_t epochBytes = epochValues(reader.header) * sizeof(float);
  const uint64_t offset = dataOffset(reader.header) + firstEpoch * epochBytes;
  if (epochBytes == 0 || offset >= reader.fileSize) return 0;
  const size_t held =
      static_cast<size_t>(std::min<uint64_t>(count, (reader.fileSize - offset) / epochBytes));
  reader.stream.clear();
  reader.stream.seekg(static_cast<std::streamoff>(offset));
  reader.stream.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(held * epochBytes));
  return static_cast<size_t>(static_cast<uint64_t>(reader.stream.gcount()) / epochBytes);
}

}  // namespace erp2npx::check
