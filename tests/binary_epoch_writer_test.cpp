#include "output/binary_epoch_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "output/output_file.h"
#include "output/stimulus_index.h"
#include "test_support.h"

namespace erp2npx {
namespace {

using test::TempDir;

// A value that single precision cannot hold exactly, so every sample checks
// the narrowing as well as the position.
double sourceValue(size_t stimulus, size_t valueInEpoch) {
  return static_cast<double>(stimulus * kEpochValues + valueInEpoch) * 0.001 + 1.0 / 3.0;
}

// Input of one 6-by-6 session: stimulus p has the given trial, code and label;
// trial t's target is (t % 6, 6 + t % 6).
InputData sessionInput(const std::vector<int32_t>& trials, const std::vector<int32_t>& codes,
                       const std::vector<int32_t>& labels) {
  InputData data;
  for (size_t p = 0; p < trials.size(); ++p) {
    StimulusRecord record;
    record.trial = trials[p];
    record.code = codes[p];
    record.label = labels[p];
    data.stimuli.push_back(record);
  }
  data.stimulusCount = data.stimuli.size();
  data.sessionLayouts = {{6, 6}};
  int32_t lastTrial = -1;
  for (const int32_t t : trials) lastTrial = std::max(lastTrial, t);
  for (int32_t t = 0; t <= lastTrial; ++t) {
    TargetRecord target;
    target.targetRowCode = t % 6;
    target.targetColumnCode = 6 + t % 6;
    data.targets.push_back(target);
  }
  std::vector<double> features(trials.size() * kEpochValues);
  for (size_t i = 0; i < features.size(); ++i) {
    features[i] = sourceValue(i / kEpochValues, i % kEpochValues);
  }
  data.epochs = createEpochMatrix(8);
  buildEpochMatrix(data.epochs, features, trials.size());
  return data;
}

// The trial map of the single session, as the grouping index builds it.
TrialMap trialsOf(const InputData& data) {
  return buildStimulusIndex(data.stimuli, data.sessionLayouts).hierarchy.at(0).at(0).at(0);
}

struct Written {
  std::string bytes;
  SessionEvents events;
};

Written writeSession(const InputData& data, const TrialMap& trials,
                     const ChannelList& channels = channelList()) {
  TempDir dir;
  const std::string path = dir.file("session.bin");
  OutputFile file;
  EXPECT_EQ(createOutputFile(path, file), 0);
  Written written;
  std::string error;
  EXPECT_TRUE(BinaryEpochWriter::write(file, trials, data, channels, written.events, error))
      << error;
  EXPECT_TRUE(commitOutputFile(file, error)) << error;
  written.bytes = test::readFile(path);
  return written;
}

uint32_t u32At(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<uint8_t>(bytes.at(offset + static_cast<size_t>(i)));
  }
  return value;
}

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Channel c at position p of the data block, for 8 channels.
uint32_t sampleBitsAt(const std::string& bytes, size_t position, size_t channel) {
  return u32At(bytes, 160 + 4 * (8 * position + channel));
}

// Every sample of the file against the source value it came from; fileOrder
// lists the stimuli of the file's epochs.
void expectSamples(const std::string& bytes, const std::vector<int32_t>& fileOrder) {
  ASSERT_EQ(bytes.size(), 160 + 4096 * fileOrder.size());
  size_t mismatches = 0;
  for (size_t k = 0; k < fileOrder.size(); ++k) {
    for (size_t m = 0; m < 128; ++m) {
      for (size_t c = 0; c < 8; ++c) {
        const float expected =
            static_cast<float>(sourceValue(static_cast<size_t>(fileOrder[k]), 8 * m + c));
        if (sampleBitsAt(bytes, 128 * k + m, c) != bitsOf(expected) && ++mismatches <= 5) {
          ADD_FAILURE() << "epoch " << k << " (stimulus " << fileOrder[k] << ") sample " << m
                        << " channel " << c;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(BinaryEpochWriter, TwoTrialsOfThreeStimuli) {
  const InputData data = sessionInput({0, 0, 0, 1, 1, 1}, {2, 7, 5, 3, 8, 3}, {1, 1, 0, 0, 1, 0});
  const Written written = writeSession(data, trialsOf(data));

  EXPECT_EQ(written.bytes.size(), 24736u);
  EXPECT_EQ(u32At(written.bytes, 20), 768u);
  const SessionEvents& events = written.events;
  EXPECT_EQ(events.totalSamples, 768);
  EXPECT_EQ(events.codeOffsets,
            (std::map<int32_t, std::vector<int32_t>>{
                {2, {0}}, {3, {384, 640}}, {5, {256}}, {7, {128}}, {8, {512}}}));
  EXPECT_EQ(events.targetOffsets, (std::vector<int32_t>{0, 128, 512}));
  EXPECT_EQ(events.standardOffsets, (std::vector<int32_t>{256, 384, 640}));
  ASSERT_EQ(events.trialSpans.size(), 2u);
  EXPECT_EQ(events.trialSpans.at(0).beginSample, 0);
  EXPECT_EQ(events.trialSpans.at(0).endSample, 384);
  EXPECT_EQ(events.trialSpans.at(1).beginSample, 384);
  EXPECT_EQ(events.trialSpans.at(1).endSample, 768);
  EXPECT_EQ(events.trialTargetRow, (std::map<int32_t, int32_t>{{0, 0}, {1, 1}}));
  EXPECT_EQ(events.trialTargetColumn, (std::map<int32_t, int32_t>{{0, 6}, {1, 7}}));
  expectSamples(written.bytes, {0, 1, 2, 3, 4, 5});
}

TEST(BinaryEpochWriter, FixedHeaderAndChannelNames) {
  const InputData data = sessionInput({0, 0, 0, 1, 1, 1}, {0, 1, 2, 3, 4, 5}, {0, 0, 0, 0, 0, 0});
  const std::string bytes = writeSession(data, trialsOf(data)).bytes;
  const std::string expected(
      "\x4E\x50\x58\x46\x49\x4C\x45\x00"  // magic
      "\x11\x00\x00\x00"                  // version 17
      "\x90\x00\x00\x00"                  // 144 bytes up to the samples
      "\x80\x00\x00\x00"                  // sampling rate 128
      "\x00\x03\x00\x00"                  // 768 positions
      "\x08\x00\x00\x00"                  // 8 channels
      "\x00\x00\x00\x00",
      32);
  EXPECT_EQ(bytes.substr(0, 32), expected);
  const std::string zeros(16, '\0');
  EXPECT_EQ(bytes.substr(32, 16), std::string("\x46\x7A") + zeros.substr(0, 14));
  const char* names[] = {"Fz", "Cz", "Pz", "P3", "P4", "PO7", "PO8", "Oz"};
  for (size_t c = 0; c < 8; ++c) {
    const std::string name = names[c];
    EXPECT_EQ(bytes.substr(32 + 16 * c, 16), name + zeros.substr(name.size())) << name;
  }
}

TEST(BinaryEpochWriter, ChannelNamesAreCutAfterFifteenCharacters) {
  const ChannelList channels = {"ABCDEFGHIJKLMNOPQRST", "123456789012345", "1234567890123456", ""};
  const std::vector<uint8_t> header = encodeEpochFileHeader(channels, 256);
  const std::string bytes(header.begin(), header.end());
  ASSERT_EQ(bytes.size(), 32u + 16 * 4);
  EXPECT_EQ(u32At(bytes, 12), 80u);  // 16 * (4 + 1)
  EXPECT_EQ(u32At(bytes, 20), 256u);
  EXPECT_EQ(u32At(bytes, 24), 4u);
  EXPECT_EQ(bytes.substr(32, 16), std::string("ABCDEFGHIJKLMNO") + '\0');
  EXPECT_EQ(bytes.substr(48, 16), std::string("123456789012345") + '\0');
  EXPECT_EQ(bytes.substr(64, 16), std::string("123456789012345") + '\0');
  EXPECT_EQ(bytes.substr(80, 16), std::string(16, '\0'));
}

TEST(BinaryEpochWriter, LongChannelNameInAWrittenFile) {
  // The data block still follows 160 bytes in: the cut name keeps its field width.
  ChannelList channels = channelList();
  channels[0] = "Twenty_characters_xx";
  const InputData data = sessionInput({0}, {4}, {1});
  const std::string bytes = writeSession(data, trialsOf(data), channels).bytes;
  EXPECT_EQ(bytes.substr(32, 16), std::string("Twenty_characte") + '\0');
  EXPECT_EQ(bytes.substr(48, 16), std::string("Cz") + std::string(14, '\0'));
  expectSamples(bytes, {0});
}

TEST(BinaryEpochWriter, EpochsFollowTrialThenTableOrderNotCodeOrder) {
  // Table order: trial 1 first, codes descending within trial 0.
  const InputData data = sessionInput({1, 0, 1, 0, 0}, {4, 11, 2, 9, 1}, {0, 1, 0, 0, 1});
  const Written written = writeSession(data, trialsOf(data));
  expectSamples(written.bytes, {1, 3, 4, 0, 2});
  EXPECT_EQ(written.events.codeOffsets,
            (std::map<int32_t, std::vector<int32_t>>{
                {1, {256}}, {2, {512}}, {4, {384}}, {9, {128}}, {11, {0}}}));
  EXPECT_EQ(written.events.targetOffsets, (std::vector<int32_t>{0, 256}));
  EXPECT_EQ(written.events.trialSpans.at(0).endSample, 384);
  EXPECT_EQ(written.events.trialSpans.at(1).beginSample, 384);
}

TEST(BinaryEpochWriter, CodesCollectTheirPositionsAndAbsentCodesHaveNoList) {
  const InputData data = sessionInput({0, 0, 0, 0}, {3, 8, 3, 8}, {0, 1, 0, 1});
  const SessionEvents events = writeSession(data, trialsOf(data)).events;
  EXPECT_EQ(events.codeOffsets,
            (std::map<int32_t, std::vector<int32_t>>{{3, {0, 256}}, {8, {128, 384}}}));
}

TEST(BinaryEpochWriter, EveryLabelOtherThanZeroIsATarget) {
  const InputData data = sessionInput({0, 0, 0, 0}, {0, 1, 2, 3}, {0, -1, 2, 0});
  const SessionEvents events = writeSession(data, trialsOf(data)).events;
  EXPECT_EQ(events.targetOffsets, (std::vector<int32_t>{128, 256}));
  EXPECT_EQ(events.standardOffsets, (std::vector<int32_t>{0, 384}));
}

TEST(BinaryEpochWriter, TrialWithoutStimuliGetsAnEmptySpanAndNoTarget) {
  const InputData data = sessionInput({0, 0, 2}, {0, 1, 2}, {0, 0, 0});
  const TrialMap trials = {{0, {0, 1}}, {1, {}}, {2, {2}}};
  const Written written = writeSession(data, trials);
  EXPECT_EQ(written.events.trialSpans.at(1).beginSample, 256);
  EXPECT_EQ(written.events.trialSpans.at(1).endSample, 256);
  EXPECT_EQ(written.events.trialSpans.at(2).beginSample, 256);
  EXPECT_EQ(written.events.trialTargetRow.count(1), 0u);
  EXPECT_EQ(written.events.trialTargetColumn.count(1), 0u);
  EXPECT_EQ(written.events.trialTargetRow.at(2), 2);
  expectSamples(written.bytes, {0, 1, 2});
}

TEST(BinaryEpochWriter, SessionWithoutEpochsIsTheHeaderAlone) {
  const InputData data = sessionInput({}, {}, {});
  const Written written = writeSession(data, {});
  EXPECT_EQ(written.bytes.size(), 160u);
  EXPECT_EQ(u32At(written.bytes, 20), 0u);
  EXPECT_EQ(written.events.totalSamples, 0);
  EXPECT_TRUE(written.events.trialSpans.empty());
}

TEST(BinaryEpochWriter, SessionLongerThanOneWriteBlock) {
  std::vector<int32_t> trials, codes, labels;
  for (int32_t p = 0; p < 600; ++p) {
    trials.push_back(p / 100);
    codes.push_back(p % 12);
    labels.push_back(p % 6 == 0);
  }
  const InputData data = sessionInput(trials, codes, labels);
  const Written written = writeSession(data, trialsOf(data));
  EXPECT_EQ(u32At(written.bytes, 20), 600u * 128);
  std::vector<int32_t> order(600);
  for (int32_t p = 0; p < 600; ++p) order[static_cast<size_t>(p)] = p;
  expectSamples(written.bytes, order);
  EXPECT_EQ(written.events.trialSpans.at(5).beginSample, 500 * 128);
  EXPECT_EQ(written.events.trialSpans.at(5).endSample, 600 * 128);
}

TEST(BinaryEpochWriter, SpecialSampleValuesAreWrittenAsNarrowed) {
  InputData data = sessionInput({0}, {0}, {0});
  std::vector<double> features(kEpochValues, 0.0);
  features[0] = std::numeric_limits<double>::quiet_NaN();
  features[1] = 1e300;
  features[2] = -1e300;
  features[3] = 1e-320;
  features[4] = -0.0;
  features[5] = 16777217.0;  // rounds to even
  buildEpochMatrix(data.epochs, features, 1);
  const std::string bytes = writeSession(data, trialsOf(data)).bytes;
  const uint32_t nan = sampleBitsAt(bytes, 0, 0);
  EXPECT_EQ(nan & 0x7F800000u, 0x7F800000u);
  EXPECT_NE(nan & 0x007FFFFFu, 0u);
  EXPECT_EQ(sampleBitsAt(bytes, 0, 1), 0x7F800000u);
  EXPECT_EQ(sampleBitsAt(bytes, 0, 2), 0xFF800000u);
  EXPECT_EQ(sampleBitsAt(bytes, 0, 3), 0x00000000u);
  EXPECT_EQ(sampleBitsAt(bytes, 0, 4), 0x80000000u);
  EXPECT_EQ(sampleBitsAt(bytes, 0, 5), bitsOf(16777216.0f));
}

TEST(BinaryEpochWriter, MissingEpochIsReportedNotRead) {
  InputData data = sessionInput({0, 0}, {0, 1}, {0, 0});
  data.epochs = createEpochMatrix(8);
  buildEpochMatrix(data.epochs, std::vector<double>(kEpochValues, 1.0), 1);
  TempDir dir;
  OutputFile file;
  ASSERT_EQ(createOutputFile(dir.file("s.bin"), file), 0);
  SessionEvents events;
  std::string error;
  EXPECT_FALSE(BinaryEpochWriter::write(file, trialsOf(data), data, channelList(), events, error));
  EXPECT_EQ(error, "stimulus 1 has no epoch in the input");
}

TEST(BinaryEpochWriter, WriteFailureGivesTheReason) {
  const InputData data = sessionInput({0}, {0}, {0});
  OutputFile file;
  file.fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(file.fd, 0);
  SessionEvents events;
  std::string error;
  EXPECT_FALSE(BinaryEpochWriter::write(file, trialsOf(data), data, channelList(), events, error));
  EXPECT_EQ(error, "No space left on device");
}

// The file that the writer fills appears under its final name only when complete.
TEST(OutputFile, WrittenUnderAPartialNameAndRenamedOnCommit) {
  TempDir dir;
  const std::string path = dir.file("a.bin");
  OutputFile file;
  ASSERT_EQ(createOutputFile(path, file), 0);
  std::string error;
  ASSERT_TRUE(writeAll(file, "abc", 3, error));
  EXPECT_FALSE(test::exists(path));
  EXPECT_EQ(test::readFile(path + ".partial"), "abc");
  ASSERT_TRUE(commitOutputFile(file, error)) << error;
  EXPECT_EQ(test::readFile(path), "abc");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST(OutputFile, AbandonedFileLeavesTheOldOneIntact) {
  TempDir dir;
  const std::string path = dir.file("a.bin");
  test::writeTextFile(path, "old");
  {
    OutputFile file;
    ASSERT_EQ(createOutputFile(path, file), 0);
    std::string error;
    ASSERT_TRUE(writeAll(file, "new", 3, error));
  }  // dropped without commit
  EXPECT_EQ(test::readFile(path), "old");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST(OutputFile, StalePartialFileIsReplaced) {
  TempDir dir;
  const std::string path = dir.file("a.bin");
  test::writeTextFile(path + ".partial", "left over from a killed run");
  OutputFile file;
  ASSERT_EQ(createOutputFile(path, file), 0);
  std::string error;
  ASSERT_TRUE(writeAll(file, "x", 1, error));
  ASSERT_TRUE(commitOutputFile(file, error));
  EXPECT_EQ(test::readFile(path), "x");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST(OutputFile, DirectoryInTheWayGivesItsErrorNumber) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("a.bin").c_str(), 0777), 0);
  OutputFile file;
  EXPECT_EQ(createOutputFile(dir.file("a.bin"), file), EISDIR);
  EXPECT_FALSE(test::exists(dir.file("a.bin.partial")));
  EXPECT_EQ(createOutputFile(dir.file("missing/a.bin"), file), ENOENT);
}

TEST(OutputFile, EnsureDirectory) {
  TempDir dir;
  std::string error;
  EXPECT_TRUE(ensureDirectory(dir.file("d"), error)) << error;
  EXPECT_TRUE(ensureDirectory(dir.file("d"), error)) << error;  // already there
  test::writeTextFile(dir.file("f"), "");
  EXPECT_FALSE(ensureDirectory(dir.file("f"), error));
  EXPECT_EQ(error, "a file of that name is in the way");
  EXPECT_FALSE(ensureDirectory(dir.file("missing/d"), error));
  EXPECT_EQ(error, "No such file or directory");
}

}  // namespace
}  // namespace erp2npx
