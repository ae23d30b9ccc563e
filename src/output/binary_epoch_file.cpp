#include "output/binary_epoch_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/messages.h"

namespace erp2npx {

namespace {

void appendLE32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

int32_t readLE32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<size_t>(i)];
  return static_cast<int32_t>(value);
}

// Channel counts beyond this are taken as a damaged header, not as names to read.
constexpr int32_t kMaxChannels = 1024;

// Samples are written and read as they lie in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples are stored little-endian");

}  // namespace

std::vector<uint8_t> encodeEpochFileHeader(const ChannelList& channels, int32_t positions) {
  std::vector<uint8_t> header(kBinaryMagic, kBinaryMagic + sizeof kBinaryMagic);
  const uint32_t channelCount = static_cast<uint32_t>(channels.size());
  appendLE32(header, kBinaryFormatVersion);
  appendLE32(header, static_cast<uint32_t>(headerLengthFor(channelCount)));
  appendLE32(header, kEpochSamples);
  appendLE32(header, static_cast<uint32_t>(positions));
  appendLE32(header, channelCount);
  appendLE32(header, 0);
  for (const std::string& name : channels) {
    const size_t kept = std::min(name.size(), kChannelNameBytes - 1);
    header.insert(header.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(kept));
    header.insert(header.end(), kChannelNameBytes - kept, 0);
  }
  return header;
}

EpochFileHeader decodeEpochFileHeader(const std::vector<uint8_t>& bytes) {
  EpochFileHeader header;
  if (bytes.size() < kFixedHeaderBytes) return header;
  header.magic.assign(bytes.begin(), bytes.begin() + sizeof kBinaryMagic);
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

EpochFileHeader expectedEpochFileHeader(const ChannelList& channels, int32_t positions) {
  return decodeEpochFileHeader(encodeEpochFileHeader(channels, positions));
}

uint64_t dataOffset(const EpochFileHeader& header) {
  return kHeaderLengthOrigin + static_cast<uint64_t>(static_cast<uint32_t>(header.headerLength));
}

uint64_t announcedFileSize(const EpochFileHeader& header) {
  const uint64_t channels = static_cast<uint32_t>(std::max(header.channelCount, 0));
  const uint64_t positions = static_cast<uint32_t>(std::max(header.positions, 0));
  return dataOffset(header) + sizeof(float) * channels * positions;
}

size_t epochValues(const EpochFileHeader& header) {
  return static_cast<size_t>(std::max(header.channelCount, 0)) * kEpochSamples;
}

Status EpochFileReader::open(const std::string& path) {
  stream_.open(path, std::ios::binary);
  if (!stream_) return Status::failed(msg::epochFileUnreadable(std::strerror(errno)));
  stream_.seekg(0, std::ios::end);
  fileSize_ = static_cast<uint64_t>(stream_.tellg());
  stream_.seekg(0);
  std::vector<uint8_t> bytes(kFixedHeaderBytes);
  if (fileSize_ < kFixedHeaderBytes ||
      !stream_.read(reinterpret_cast<char*>(bytes.data()), kFixedHeaderBytes)) {
    return Status::failed(msg::epochFileTooShort(fileSize_, kFixedHeaderBytes));
  }
  const EpochFileHeader fixed = decodeEpochFileHeader(bytes);
  const size_t names = static_cast<size_t>(std::clamp(fixed.channelCount, 0, kMaxChannels));
  const size_t wanted =
      std::min<uint64_t>(fileSize_, kFixedHeaderBytes + kChannelNameBytes * names);
  bytes.resize(wanted);
  stream_.read(reinterpret_cast<char*>(bytes.data() + kFixedHeaderBytes),
               static_cast<std::streamsize>(wanted - kFixedHeaderBytes));
  header_ = decodeEpochFileHeader(bytes);
  return Status::done();
}

size_t EpochFileReader::readEpochs(uint64_t firstEpoch, size_t count, float* out) {
  const uint64_t epochBytes = epochValues(header_) * sizeof(float);
  const uint64_t offset = dataOffset(header_) + firstEpoch * epochBytes;
  if (epochBytes == 0 || offset >= fileSize_) return 0;
  const size_t held =
      static_cast<size_t>(std::min<uint64_t>(count, (fileSize_ - offset) / epochBytes));
  stream_.clear();
  stream_.seekg(static_cast<std::streamoff>(offset));
  stream_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(held * epochBytes));
  return static_cast<size_t>(static_cast<uint64_t>(stream_.gcount()) / epochBytes);
}

bool EpochFileReader::readValues(uint64_t firstValue, size_t count, float* out) {
  const uint64_t offset = dataOffset(header_) + firstValue * sizeof(float);
  if (offset > fileSize_ || count * sizeof(float) > fileSize_ - offset) return false;
  stream_.clear();
  stream_.seekg(static_cast<std::streamoff>(offset));
  stream_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count * sizeof(float)));
  return static_cast<size_t>(stream_.gcount()) == count * sizeof(float);
}

}  // namespace erp2npx
