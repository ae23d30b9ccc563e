#include "output/binary_epoch_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "output/binary_epoch_file.h"
#include "output/files_in_progress.h"
#include "output/output_file.h"
#include "output/session_plan.h"
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
struct Session {
  InputData data;
  std::vector<double> features;
};

Session sessionInput(const std::vector<int32_t>& trials, const std::vector<int32_t>& codes,
                     const std::vector<int32_t>& labels) {
  Session session;
  InputData& data = session.data;
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
  session.features.resize(trials.size() * kEpochValues);
  for (size_t i = 0; i < session.features.size(); ++i) {
    session.features[i] = sourceValue(i / kEpochValues, i % kEpochValues);
  }
  return session;
}

// The trial map of the single session, as the grouping index builds it.
TrialMap trialsOf(const InputData& data) {
  return buildStimulusIndex(data.stimuli, data.sessionLayouts).hierarchy.at(0).at(0).at(0);
}

struct Written {
  std::string bytes;
  test::EpochFile file;
  SessionEvents events;
  Status status = Status::done();
};

// Writes one session's file as the walk does: the epochs placed in file order
// and streamed, in the given storage order, straight to their places.
Written writeSession(const Session& session, const TrialMap& trials,
                     const ChannelList& channels = channelList(),
                     std::vector<size_t> storageOrder = {}, std::set<size_t> failing = {}) {
  TempDir dir;
  const std::string path = dir.file("session.bin");
  BinaryEpochWriter writer(channels);
  const uint32_t slot = writer.add(path, static_cast<uint32_t>(epochCountOf(trials)));
  EpochPlacement placement(session.data.stimuli.size());
  uint32_t epoch = 0;
  forEachEpochInFileOrder(trials,
                          [&](int32_t stimulus) { placement.place(stimulus, slot, epoch++); });
  EpochConsumer consumer;
  consumer.values = [&](uint64_t first, const float* values, size_t count, const ValuesHold& hold) {
    placeValues(placement, first, values, count,
                [&](uint64_t, uint32_t to, uint64_t at, const float* run, size_t length) {
                  writer.write(to, at, run, length, hold);
                });
  };
  consumer.failed = [&](uint64_t first, uint64_t, const std::string& reason) {
    if (placement.placed(first / kEpochValues)) writer.fail(slot, reason);
  };
  test::InMemoryEpochs(session.features, session.data.stimuli.size())
      .stream(std::move(storageOrder), std::move(failing))(consumer);
  Written written;
  written.status = writer.finish(slot);
  written.events = buildSessionEvents(trials, session.data);
  written.bytes = test::readFile(path);
  written.file = test::readEpochFile(path);
  return written;
}

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Channel c at position p of the data block, for 8 channels.
uint32_t sampleBitsAt(const test::EpochFile& file, size_t position, size_t channel) {
  return bitsOf(file.values.at(8 * position + channel));
}

// Every sample of the file against the source value it came from; fileOrder
// lists the stimuli of the file's epochs.
void expectSamples(const test::EpochFile& file, const std::vector<int32_t>& fileOrder) {
  ASSERT_EQ(file.size, 160 + 4096 * fileOrder.size());
  size_t mismatches = 0;
  for (size_t k = 0; k < fileOrder.size(); ++k) {
    for (size_t m = 0; m < 128; ++m) {
      for (size_t c = 0; c < 8; ++c) {
        const float expected =
            static_cast<float>(sourceValue(static_cast<size_t>(fileOrder[k]), 8 * m + c));
        if (sampleBitsAt(file, 128 * k + m, c) != bitsOf(expected) && ++mismatches <= 5) {
          ADD_FAILURE() << "epoch " << k << " (stimulus " << fileOrder[k] << ") sample " << m
                        << " channel " << c;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(BinaryEpochWriter, TwoTrialsOfThreeStimuli) {
  const Session data = sessionInput({0, 0, 0, 1, 1, 1}, {2, 7, 5, 3, 8, 3}, {1, 1, 0, 0, 1, 0});
  const Written written = writeSession(data, trialsOf(data.data));

  EXPECT_EQ(written.bytes.size(), 24736u);
  EXPECT_EQ(written.file.header.positions, 768u);
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
  expectSamples(written.file, {0, 1, 2, 3, 4, 5});
}

TEST(BinaryEpochWriter, FixedHeaderAndChannelNames) {
  const Session data = sessionInput({0, 0, 0, 1, 1, 1}, {0, 1, 2, 3, 4, 5}, {0, 0, 0, 0, 0, 0});
  const std::string bytes = writeSession(data, trialsOf(data.data)).bytes;
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
  const EpochFileHeader decoded = decodeEpochFileHeader(header);
  EXPECT_EQ(decoded.headerLength, 80);  // 16 * (4 + 1)
  EXPECT_EQ(decoded.positions, 256);
  EXPECT_EQ(decoded.channelCount, 4);
  // Cut names are stored as the names cut short would be.
  EXPECT_EQ(header, encodeEpochFileHeader(
                        {"ABCDEFGHIJKLMNO", "123456789012345", "123456789012345", ""}, 256));
}

TEST(BinaryEpochWriter, LongChannelNameInAWrittenFile) {
  // The data block still follows 160 bytes in: the cut name keeps its field width.
  ChannelList channels = channelList();
  channels[0] = "Twenty_characters_xx";
  const Session data = sessionInput({0}, {4}, {1});
  const test::EpochFile file = writeSession(data, trialsOf(data.data), channels).file;
  channels[0] = "Twenty_characte";
  EXPECT_EQ(test::fieldsOf(file.header), test::fieldsOf(expectedEpochFileHeader(channels, 128)));
  expectSamples(file, {0});
}

TEST(BinaryEpochWriter, EpochsFollowTrialThenTableOrderNotCodeOrder) {
  // Table order: trial 1 first, codes descending within trial 0.
  const Session data = sessionInput({1, 0, 1, 0, 0}, {4, 11, 2, 9, 1}, {0, 1, 0, 0, 1});
  const Written written = writeSession(data, trialsOf(data.data));
  expectSamples(written.file, {1, 3, 4, 0, 2});
  EXPECT_EQ(written.events.codeOffsets,
            (std::map<int32_t, std::vector<int32_t>>{
                {1, {256}}, {2, {512}}, {4, {384}}, {9, {128}}, {11, {0}}}));
  EXPECT_EQ(written.events.targetOffsets, (std::vector<int32_t>{0, 256}));
  EXPECT_EQ(written.events.trialSpans.at(0).endSample, 384);
  EXPECT_EQ(written.events.trialSpans.at(1).beginSample, 384);
}

TEST(BinaryEpochWriter, CodesCollectTheirPositionsAndAbsentCodesHaveNoList) {
  const Session data = sessionInput({0, 0, 0, 0}, {3, 8, 3, 8}, {0, 1, 0, 1});
  const SessionEvents events = writeSession(data, trialsOf(data.data)).events;
  EXPECT_EQ(events.codeOffsets,
            (std::map<int32_t, std::vector<int32_t>>{{3, {0, 256}}, {8, {128, 384}}}));
}

TEST(BinaryEpochWriter, EveryLabelOtherThanZeroIsATarget) {
  const Session data = sessionInput({0, 0, 0, 0}, {0, 1, 2, 3}, {0, -1, 2, 0});
  const SessionEvents events = writeSession(data, trialsOf(data.data)).events;
  EXPECT_EQ(events.targetOffsets, (std::vector<int32_t>{128, 256}));
  EXPECT_EQ(events.standardOffsets, (std::vector<int32_t>{0, 384}));
}

TEST(BinaryEpochWriter, TrialWithoutStimuliGetsAnEmptySpanAndNoTarget) {
  const Session data = sessionInput({0, 0, 2}, {0, 1, 2}, {0, 0, 0});
  const TrialMap trials = {{0, {0, 1}}, {1, {}}, {2, {2}}};
  const Written written = writeSession(data, trials);
  EXPECT_EQ(written.events.trialSpans.at(1).beginSample, 256);
  EXPECT_EQ(written.events.trialSpans.at(1).endSample, 256);
  EXPECT_EQ(written.events.trialSpans.at(2).beginSample, 256);
  EXPECT_EQ(written.events.trialTargetRow.count(1), 0u);
  EXPECT_EQ(written.events.trialTargetColumn.count(1), 0u);
  EXPECT_EQ(written.events.trialTargetRow.at(2), 2);
  expectSamples(written.file, {0, 1, 2});
}

TEST(BinaryEpochWriter, SessionWithoutEpochsIsTheHeaderAlone) {
  const Session data = sessionInput({}, {}, {});
  const Written written = writeSession(data, {});
  EXPECT_EQ(written.bytes.size(), 160u);
  EXPECT_EQ(written.file.header.positions, 0u);
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
  const Session data = sessionInput(trials, codes, labels);
  const Written written = writeSession(data, trialsOf(data.data));
  EXPECT_EQ(written.file.header.positions, 600u * 128);
  std::vector<int32_t> order(600);
  for (int32_t p = 0; p < 600; ++p) order[static_cast<size_t>(p)] = p;
  expectSamples(written.file, order);
  EXPECT_EQ(written.events.trialSpans.at(5).beginSample, 500 * 128);
  EXPECT_EQ(written.events.trialSpans.at(5).endSample, 600 * 128);
}

TEST(BinaryEpochWriter, SpecialSampleValuesAreWrittenAsNarrowed) {
  Session data = sessionInput({0}, {0}, {0});
  data.features.assign(kEpochValues, 0.0);
  data.features[0] = std::numeric_limits<double>::quiet_NaN();
  data.features[1] = 1e300;
  data.features[2] = -1e300;
  data.features[3] = 1e-320;
  data.features[4] = -0.0;
  data.features[5] = 16777217.0;  // rounds to even
  const test::EpochFile file = writeSession(data, trialsOf(data.data)).file;
  const uint32_t nan = sampleBitsAt(file, 0, 0);
  EXPECT_EQ(nan & 0x7F800000u, 0x7F800000u);
  EXPECT_NE(nan & 0x007FFFFFu, 0u);
  EXPECT_EQ(sampleBitsAt(file, 0, 1), 0x7F800000u);
  EXPECT_EQ(sampleBitsAt(file, 0, 2), 0xFF800000u);
  EXPECT_EQ(sampleBitsAt(file, 0, 3), 0x00000000u);
  EXPECT_EQ(sampleBitsAt(file, 0, 4), 0x80000000u);
  EXPECT_EQ(sampleBitsAt(file, 0, 5), bitsOf(16777216.0f));
}

TEST(BinaryEpochWriter, EpochsStoredInAnyOrderLandInFileOrder) {
  const Session data = sessionInput({1, 0, 1, 0, 0, 2}, {4, 11, 2, 9, 1, 0}, {0, 1, 0, 0, 1, 0});
  for (const std::vector<size_t>& storage :
       {std::vector<size_t>{5, 4, 3, 2, 1, 0}, std::vector<size_t>{2, 5, 0, 4, 1, 3}}) {
    const Written written = writeSession(data, trialsOf(data.data), channelList(), storage);
    EXPECT_TRUE(written.status.ok());
    expectSamples(written.file, {1, 3, 4, 0, 2, 5});
  }
}

TEST(BinaryEpochWriter, FileWithAnEpochThatFailedOrNeverCameIsRemoved) {
  const Session data = sessionInput({0, 0, 1}, {0, 1, 2}, {0, 0, 0});
  Written written = writeSession(data, trialsOf(data.data), channelList(), {}, {1});
  EXPECT_EQ(written.status.reason(), "reading the epochs failed");
  EXPECT_TRUE(written.bytes.empty());
  written = writeSession(data, trialsOf(data.data), channelList(), {0, 2});
  EXPECT_EQ(written.status.reason(), "some of its epochs never came");
  EXPECT_TRUE(written.bytes.empty());
}

TEST(BinaryEpochWriter, ManySessionsAtOnceHoldFewDescriptors) {
  // Epochs of 100 files interleaved: every file stays in progress to the end.
  // The second time, the process runs out of descriptors after the writer
  // has counted on 32: it holds fewer instead of failing files.
  size_t openBefore = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++openBefore;
  }
  for (const bool starved : {false, true}) {
    SCOPED_TRACE(starved ? "descriptors run out" : "descriptors to spare");
    TempDir dir;
    BinaryEpochWriter writer(channelList());
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = openBefore + 10;
    if (starved) {
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    }
    std::vector<float> epoch(kEpochValues);
    for (uint32_t f = 0; f < 100; ++f) writer.add(dir.file(std::to_string(f) + ".bin"), 3);
    for (uint32_t e = 0; e < 3; ++e) {
      for (uint32_t f = 0; f < 100; ++f) {
        std::fill(epoch.begin(), epoch.end(), static_cast<float>(100 * e + f));
        writer.write(f, uint64_t{e} * kEpochValues, epoch.data(), epoch.size());
      }
    }
    size_t open = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      const std::string target = std::filesystem::read_symlink(entry.path()).string();
      open += target.rfind(dir.path, 0) == 0 ? 1 : 0;
    }
    EXPECT_LE(open, starved ? 10u : 32u);
    for (uint32_t f = 0; f < 100; ++f) EXPECT_TRUE(writer.finish(f).ok()) << f;
    setrlimit(RLIMIT_NOFILE, &saved);
    const test::EpochFile file = test::readEpochFile(dir.file("57.bin"));
    ASSERT_EQ(file.size, 160u + 3 * 4096);
    EXPECT_EQ(sampleBitsAt(file, 2 * 128 + 5, 3), bitsOf(257.0f));
  }
}

TEST(BinaryEpochWriter, WriteFailureGivesTheReasonAndRemovesTheFile) {
  // Files may not grow past 1000 bytes: the first epoch cannot be written.
  TempDir dir;
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  BinaryEpochWriter writer(channelList());
  const uint32_t slot = writer.add(dir.file("s.bin"), 1);
  std::vector<float> epoch(kEpochValues, 1.0f);
  writer.write(slot, 0, epoch.data(), epoch.size());
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_TRUE(writer.settled(slot));
  EXPECT_EQ(writer.finish(slot).reason(), "File too large");
  EXPECT_FALSE(test::exists(dir.file("s.bin")));
  EXPECT_FALSE(test::exists(dir.file("s.bin.partial")));
  // Released, the slot serves the next file with nothing of the last.
  writer.release(slot);
  ASSERT_EQ(writer.add(dir.file("t.bin"), 1), slot);
  writer.write(slot, 0, epoch.data(), epoch.size());
  EXPECT_TRUE(writer.finish(slot).ok());
  EXPECT_EQ(test::readFile(dir.file("t.bin")).size(), 160u + 4096);
}

TEST(BinaryEpochWriter, ValuesThatFollowOnInTheirFileGoOutAsOneRun) {
  // Stimuli 0, 1 and 3 are epochs 0 to 2 of slot 5, stimulus 4 slot 6's
  // epoch 3; stimulus 2 goes nowhere, so stimulus 3 does not follow on.
  EpochPlacement placement(5);
  placement.place(0, 5, 0);
  placement.place(1, 5, 1);
  placement.place(3, 5, 2);
  placement.place(4, 6, 3);
  const std::vector<float> values(5 * kEpochValues);
  std::vector<std::array<uint64_t, 4>> runs;
  placeValues(placement, 0, values.data(), values.size(),
              [&](uint64_t stimulus, uint32_t slot, uint64_t at, const float* run, size_t length) {
                runs.push_back({stimulus, slot, at, static_cast<uint64_t>(run - values.data())});
                EXPECT_EQ(length, runs.size() == 1 ? 2 * kEpochValues : kEpochValues);
              });
  EXPECT_EQ(runs,
            (std::vector<std::array<uint64_t, 4>>{{0, 5, 0, 0},
                                                  {3, 5, 2 * kEpochValues, 3 * kEpochValues},
                                                  {4, 6, 3 * kEpochValues, 4 * kEpochValues}}));
}

TEST(BinaryEpochWriter, LongRunGoesToTheBackgroundInPiecesOfAMebibyteAtMost) {
  // Larger pieces would grow every queued batch past its reserve.
  TempDir dir;
  std::atomic<size_t> largest{0};
  BinaryEpochWriter writer(channelList(),
                           [&](int fd, uint64_t offset, const void* data, size_t size) {
                             size_t seen = largest.load();
                             while (size > seen && !largest.compare_exchange_weak(seen, size)) {
                             }
                             return writeAllAt(fd, offset, data, size);
                           });
  const uint32_t slot = writer.add(dir.file("s.bin"), 1024);
  std::vector<float> epochs(size_t{1024} * kEpochValues);
  for (size_t v = 0; v < epochs.size(); ++v) epochs[v] = static_cast<float>(v / kEpochValues);
  writer.write(slot, 0, epochs.data(), epochs.size());
  EXPECT_TRUE(writer.finish(slot).ok());
  EXPECT_LE(largest.load(), size_t{1} << 20);
  const test::EpochFile file = test::readEpochFile(dir.file("s.bin"));
  ASSERT_EQ(file.size, 160u + 1024 * 4096);
  EXPECT_EQ(sampleBitsAt(file, 1023 * 128 + 127, 7), bitsOf(1023.0f));
}

TEST(BinaryEpochWriter, HeldValuesAreWrittenFromWhereTheyAreAndLetGoOnceWritten) {
  TempDir dir;
  auto values = std::make_shared<std::vector<float>>(2 * kEpochValues, 3.0f);
  const std::weak_ptr<std::vector<float>> watch = values;
  std::mutex mutex;
  std::vector<const void*> sources;
  std::atomic<bool> heldWhileWritten{true};
  BinaryEpochWriter writer(channelList(),
                           [&](int fd, uint64_t offset, const void* data, size_t size) {
                             if (watch.expired()) heldWhileWritten = false;
                             {
                               const std::lock_guard<std::mutex> lock(mutex);
                               sources.push_back(data);
                             }
                             return writeAllAt(fd, offset, data, size);
                           });
  const uint32_t slot = writer.add(dir.file("s.bin"), 2);
  const float* first = values->data();
  writer.write(slot, 0, first, kEpochValues, values);
  writer.write(slot, kEpochValues, first + kEpochValues, kEpochValues, values);
  values.reset();  // the writer's hold is the last
  EXPECT_TRUE(writer.finish(slot).ok());
  EXPECT_TRUE(heldWhileWritten);
  EXPECT_TRUE(watch.expired());
  // One write, joined, straight from the caller's memory.
  EXPECT_EQ(sources, std::vector<const void*>{first});
  const test::EpochFile file = test::readEpochFile(dir.file("s.bin"));
  ASSERT_EQ(file.size, 160u + 2 * 4096);
  EXPECT_EQ(sampleBitsAt(file, 128 + 127, 7), bitsOf(3.0f));
}

// The file that the writer fills appears under its final name only when complete.
TEST(OutputFile, WrittenUnderAPartialNameAndRenamedOnCommit) {
  TempDir dir;
  const std::string path = dir.file("a.bin");
  OutputFile file(path);
  ASSERT_TRUE(file.create().ok());
  ASSERT_TRUE(file.write("ab", 2).ok());
  // Put down and taken up again, as for files in progress beyond the
  // descriptors held.
  file.putDown();
  ASSERT_TRUE(file.takeUp().ok());
  ASSERT_TRUE(writeAllAt(file.descriptor(), 2, "c", 1).ok());
  EXPECT_FALSE(test::exists(path));
  EXPECT_EQ(test::readFile(path + ".partial"), "abc");
  ASSERT_TRUE(file.commit().ok());
  EXPECT_EQ(test::readFile(path), "abc");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST(OutputFile, AbandonedFileLeavesTheOldOneIntact) {
  TempDir dir;
  const std::string path = dir.file("a.bin");
  test::writeTextFile(path, "old");
  {
    OutputFile file(path);
    ASSERT_TRUE(file.create().ok());
    ASSERT_TRUE(file.write("new", 3).ok());
  }  // dropped without commit
  EXPECT_EQ(test::readFile(path), "old");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST(OutputFile, StalePartialFileIsReplaced) {
  TempDir dir;
  const std::string path = dir.file("a.bin");
  test::writeTextFile(path + ".partial", "left over from a killed run");
  OutputFile file(path);
  ASSERT_TRUE(file.create().ok());
  ASSERT_TRUE(file.write("x", 1).ok());
  ASSERT_TRUE(file.commit().ok());
  EXPECT_EQ(test::readFile(path), "x");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST(OutputFile, DirectoryInTheWayGivesItsErrorNumber) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("a.bin").c_str(), 0777), 0);
  const Status inTheWay = OutputFile(dir.file("a.bin")).create();
  EXPECT_EQ(inTheWay.errorNumber(), EISDIR);
  EXPECT_EQ(inTheWay.reason(), std::strerror(EISDIR));
  EXPECT_FALSE(test::exists(dir.file("a.bin.partial")));
  const Status missing = OutputFile(dir.file("missing/a.bin")).create();
  EXPECT_EQ(missing.errorNumber(), ENOENT);
  EXPECT_EQ(missing.reason(), std::strerror(ENOENT));
  // The writer gives the file up at its first samples, or at the end for a
  // header alone, with the number and the reason.
  BinaryEpochWriter writer(channelList());
  const uint32_t slot = writer.add(dir.file("a.bin"), 1);
  const std::vector<float> epoch(kEpochValues);
  writer.write(slot, 0, epoch.data(), epoch.size());
  EXPECT_TRUE(writer.settled(slot));
  EXPECT_EQ(writer.creationError(slot), EISDIR);
  EXPECT_EQ(writer.finish(slot).reason(), std::strerror(EISDIR));
  const uint32_t headerAlone = writer.add(dir.file("a.bin"), 0);
  EXPECT_EQ(writer.finish(headerAlone).reason(), std::strerror(EISDIR));
  EXPECT_EQ(writer.creationError(headerAlone), EISDIR);
}

TEST(OutputFile, InterruptWaitsWhileHeldThenRemovesOnlyFilesInProgress) {
  TempDir dir;
  const pid_t pid = fork();
  if (pid == 0) {
    removePartialFilesOnInterrupt();
    OutputFile pending(dir.file("pending.bin"));
    OutputFile bin(dir.file("a.bin"));
    OutputFile npx(dir.file("a.npx"));
    if (!pending.create().ok() || !bin.create().ok() || !npx.create().ok()) _exit(2);
    {
      const InterruptsHeld held;
      raise(SIGTERM);
      // A file and its header go into place together.
      if (!bin.commit().ok() || !npx.commit().ok()) _exit(2);
    }
    _exit(3);  // the interrupt strikes before
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(test::exists(dir.file("a.bin")));
  EXPECT_TRUE(test::exists(dir.file("a.npx")));
  EXPECT_FALSE(test::exists(dir.file("pending.bin.partial")));
}

TEST(OutputFile, EnsureDirectory) {
  TempDir dir;
  EXPECT_TRUE(ensureDirectory(dir.file("d")).ok());
  EXPECT_TRUE(ensureDirectory(dir.file("d")).ok());  // already there
  test::writeTextFile(dir.file("f"), "");
  EXPECT_EQ(ensureDirectory(dir.file("f")).reason(), "a file of that name is in the way");
  EXPECT_EQ(ensureDirectory(dir.file("missing/d")).reason(), "No such file or directory");
}

}  // namespace
}  // namespace erp2npx
