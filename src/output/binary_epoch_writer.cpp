#include "output/binary_epoch_writer.h"

#include <algorithm>
#include <numeric>
#include <cstring>

namespace erp2npx {

namespace {

constexpr char kMagic[8] = {'N', 'P', 'X', 'F', 'I', 'L', 'E', '\0'};
constexpr size_t kChannelNameBytes = 16;
// Epochs per block written: 1 MB of samples with 8 channels.
constexpr size_t kBlockEpochs = 256;

void appendLE32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// Samples go out in the machine's float layout; make sure that is little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "sample blocks are written as in memory");

}  // namespace

std::vector<uint8_t> encodeEpochFileHeader(const ChannelList& channels, int32_t positions) {
  std::vector<uint8_t> header(kMagic, kMagic + sizeof kMagic);
  const uint32_t channelCount = static_cast<uint32_t>(channels.size());
  appendLE32(header, kBinaryFormatVersion);
  appendLE32(header, static_cast<uint32_t>(kChannelNameBytes * (channelCount + 1)));
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

namespace BinaryEpochWriter {

bool write(OutputFile& file, const TrialMap& trials, const InputData& data,
           const ChannelList& channels, SessionEvents& events, std::string& error) {
  std::vector<int32_t> order;
  int32_t position = 0;
  for (const auto& [trial, stimuli] : trials) {
    const int32_t trialStart = position;
    const TargetRecord& target = data.targets[static_cast<size_t>(trial)];
    for (const int32_t stimulus : stimuli) {
      const StimulusRecord& record = data.stimuli[static_cast<size_t>(stimulus)];
      events.trialTargetRow[trial] = target.targetRowCode;
      events.trialTargetColumn[trial] = target.targetColumnCode;
      events.codeOffsets[record.code].push_back(position);
      (record.label != 0 ? events.targetOffsets : events.standardOffsets).push_back(position);
      order.push_back(stimulus);
      position += kEpochSamples;
    }
    events.trialSpans[trial] = TrialSpan{trialStart, position};
  }
  events.totalSamples = position;

  const std::vector<uint8_t> header = encodeEpochFileHeader(channels, position);
  if (!writeAll(file, header.data(), header.size(), error)) return false;

  // Epochs stored in compressed chunks are fetched in the order the input
  // stores them, a block at a time, and each is written at its own place in
  // the file: a session whose stimuli lie far apart is then read in one sweep
  // instead of unpacking the same chunks for every block. Other input is
  // read in file order and written sequentially.
  std::vector<uint32_t> byStorage(order.size());
  std::iota(byStorage.begin(), byStorage.end(), 0u);
  if (prefersStorageOrder(data.epochs)) {
    std::stable_sort(byStorage.begin(), byStorage.end(),
                     [&](uint32_t a, uint32_t b) { return order[a] < order[b]; });
  }

  const size_t epochValues = channels.size() * kEpochSamples;
  const size_t epochBytes = epochValues * sizeof(float);
  std::vector<float> block(std::min(order.size(), kBlockEpochs) * epochValues);
  std::vector<int32_t> stimuli(std::min(order.size(), kBlockEpochs));
  for (size_t first = 0; first < order.size(); first += kBlockEpochs) {
    const size_t count = std::min(kBlockEpochs, order.size() - first);
    for (size_t i = 0; i < count; ++i) stimuli[i] = order[byStorage[first + i]];
    if (!readEpochs(data.epochs, stimuli.data(), count, block.data(), error)) return false;
    for (size_t i = 0; i < count;) {
      size_t end = i + 1;
      while (end < count && byStorage[first + end] == byStorage[first + end - 1] + 1) ++end;
      const uint64_t offset = header.size() + uint64_t{byStorage[first + i]} * epochBytes;
      if (!writeAt(file, offset, block.data() + i * epochValues, (end - i) * epochBytes, error)) {
        return false;
      }
      i = end;
    }
  }
  return true;
}

}  // namespace BinaryEpochWriter

}  // namespace erp2npx
