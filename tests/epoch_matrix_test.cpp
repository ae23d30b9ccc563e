#include "input/epoch_matrix.h"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"

namespace erp2npx {
namespace {

constexpr size_t kChannels = 8;

float narrow(double value) {
  float result = -1.0f;
  narrowToFloat(&value, 1, &result);
  return result;
}

uint32_t bitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Source values equal to their own index, so every sample names where it came from.
std::vector<double> indexValues(size_t count) {
  std::vector<double> values(count);
  for (size_t i = 0; i < count; ++i) values[i] = static_cast<double>(i);
  return values;
}

TEST(NarrowToFloat, RoundsToNearestEven) {
  EXPECT_EQ(narrow(0.1), 0.1f);
  EXPECT_EQ(bitsOf(narrow(0.1)), 0x3DCCCCCDu);
  EXPECT_EQ(narrow(-2.5), -2.5f);
  // Exact ties between two floats go to the one with an even last bit.
  EXPECT_EQ(narrow(1.0 + std::ldexp(1.0, -24)), 1.0f);
  EXPECT_EQ(narrow(1.0 + 3 * std::ldexp(1.0, -24)), static_cast<float>(1.0 + std::ldexp(1.0, -22)));
  EXPECT_EQ(narrow(-1.0 - std::ldexp(1.0, -24)), -1.0f);
  // Just above a tie rounds up.
  EXPECT_EQ(narrow(1.0 + std::ldexp(1.0, -24) + std::ldexp(1.0, -40)),
            static_cast<float>(1.0 + std::ldexp(1.0, -23)));
}

TEST(NarrowToFloat, OverflowGivesInfinityAndNaNStays) {
  EXPECT_EQ(narrow(1e300), std::numeric_limits<float>::infinity());
  EXPECT_EQ(narrow(-1e300), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(narrow(std::numeric_limits<double>::infinity()),
            std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(narrow(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_EQ(narrow(FLT_MAX), FLT_MAX);
  // Halfway between the largest float and 2^128 is already infinity.
  EXPECT_EQ(narrow(static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103)),
            std::numeric_limits<float>::infinity());
  EXPECT_EQ(bitsOf(narrow(-0.0)), 0x80000000u);
  EXPECT_EQ(narrow(1e-300), 0.0f);
}

TEST(NarrowToFloat, ConvertsEveryValueOfARun) {
  const std::vector<double> source = {0.5, 1e300, -3.25, 0.1};
  std::vector<float> target(5, 7.0f);
  narrowToFloat(source.data(), source.size(), target.data());
  EXPECT_EQ(target,
            (std::vector<float>{0.5f, std::numeric_limits<float>::infinity(), -3.25f, 0.1f, 7.0f}));
}

TEST(EpochMatrix, StartsWithNoEpochs) {
  const EpochMatrix matrix = createEpochMatrix(kChannels);
  EXPECT_EQ(matrix.channelCount, kChannels);
  EXPECT_EQ(epochCount(matrix), 0u);
  EXPECT_TRUE(matrix.samples.empty());
}

TEST(EpochMatrix, SplitsFeaturesIntoChannelEpochs) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(3 * 1024), 3);
  ASSERT_EQ(epochCount(matrix), 3u);
  ASSERT_EQ(matrix.samples.size(), 3u * 1024);
  for (size_t s = 0; s < 3; ++s) {
    for (size_t ch = 0; ch < kChannels; ++ch) {
      EXPECT_EQ(sampleAt(matrix, ch, s, 0), static_cast<float>(s * 1024 + ch));
      EXPECT_EQ(sampleAt(matrix, ch, s, 1), static_cast<float>(s * 1024 + ch + 8));
      EXPECT_EQ(sampleAt(matrix, ch, s, 2), static_cast<float>(s * 1024 + ch + 16));
      EXPECT_EQ(sampleAt(matrix, ch, s, 127), static_cast<float>(s * 1024 + 127 * 8 + ch));
    }
  }
}

TEST(EpochMatrix, NarrowsEachSample) {
  std::vector<double> features(1024, 0.0);
  features[0] = 0.1;                                          // channel 0, sample 0
  features[9] = 1e300;                                        // channel 1, sample 1
  features[10] = -1e300;                                      // channel 2, sample 1
  features[1023] = std::numeric_limits<double>::quiet_NaN();  // channel 7, sample 127
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, features, 1);
  EXPECT_EQ(sampleAt(matrix, 0, 0, 0), 0.1f);
  EXPECT_EQ(sampleAt(matrix, 1, 0, 1), std::numeric_limits<float>::infinity());
  EXPECT_EQ(sampleAt(matrix, 2, 0, 1), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(sampleAt(matrix, 7, 0, 127)));
}

TEST(EpochMatrix, NoCodesGiveNoEpochs) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(2 * 1024), 0);
  EXPECT_EQ(matrix.channelCount, kChannels);
  EXPECT_EQ(epochCount(matrix), 0u);
  EXPECT_TRUE(matrix.samples.empty());
}

TEST(EpochMatrix, IgnoresValuesBeyondTheCodes) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(3 * 1024 + 17), 2);
  EXPECT_EQ(epochCount(matrix), 2u);
  EXPECT_EQ(matrix.samples.size(), 2u * 1024);
  EXPECT_EQ(sampleAt(matrix, 7, 1, 127), 2047.0f);
}

TEST(EpochMatrix, EpochsWithoutSourceValuesStayZero) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(1024 + 3), 2);
  ASSERT_EQ(epochCount(matrix), 2u);
  EXPECT_EQ(sampleAt(matrix, 2, 1, 0), 1026.0f);
  EXPECT_EQ(sampleAt(matrix, 3, 1, 0), 0.0f);
  EXPECT_EQ(sampleAt(matrix, 7, 1, 127), 0.0f);
}

TEST(EpochMatrix, RebuildingReplacesEarlierEpochs) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(3 * 1024), 3);
  buildEpochMatrix(matrix, std::vector<double>(1024, 5.0), 1);
  EXPECT_EQ(epochCount(matrix), 1u);
  EXPECT_EQ(matrix.samples, std::vector<float>(1024, 5.0f));
}

TEST(EpochMatrix, ReadEpochsCopiesWholeEpochsInTheGivenOrder) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(3 * 1024), 3);
  const int32_t stimuli[] = {2, 0, 2};
  std::vector<float> out(3 * 1024, -1.0f);
  std::string error;
  ASSERT_TRUE(readEpochs(matrix, stimuli, 3, out.data(), error)) << error;
  for (size_t i = 0; i < 1024; ++i) {
    EXPECT_EQ(out[i], static_cast<float>(2048 + i));
    EXPECT_EQ(out[1024 + i], static_cast<float>(i));
    EXPECT_EQ(out[2048 + i], static_cast<float>(2048 + i));
  }
}

TEST(EpochMatrix, ReadEpochsRefusesStimuliWithoutAnEpoch) {
  EpochMatrix matrix = createEpochMatrix(kChannels);
  buildEpochMatrix(matrix, indexValues(2 * 1024), 2);
  std::vector<float> out(1024);
  for (const int32_t stimulus : {2, -1, INT32_MIN, INT32_MAX}) {
    std::string error;
    EXPECT_FALSE(readEpochs(matrix, &stimulus, 1, out.data(), error)) << stimulus;
    EXPECT_EQ(error, "stimulus " + std::to_string(stimulus) + " has no epoch in the input");
  }
  const EpochMatrix empty = createEpochMatrix(kChannels);
  const int32_t first = 0;
  std::string error;
  EXPECT_FALSE(readEpochs(empty, &first, 1, out.data(), error));
  EXPECT_TRUE(readEpochs(empty, nullptr, 0, out.data(), error));
}

TEST(EpochMatrix, ReadsAttachedEpochsFromTheFile) {
  test::TempDir dir;
  const std::string path = dir.file("input.hdf5");
  test::InputFileContents contents = test::smallInput(2, 2);  // value = index + 0.5
  contents.features[1024 + 3] = 0.1;
  contents.features[1024 + 4] = 1e300;
  test::writeInputFile(path, contents);

  EpochMatrix matrix = createEpochMatrix(kChannels);
  ASSERT_TRUE(test::attachFeatures(matrix, path, 3));
  EXPECT_EQ(epochCount(matrix), 3u);
  const int32_t stimuli[] = {3, 1, 0, 1};
  std::vector<float> out(4 * 1024, -1.0f);
  std::string error;
  // Stimulus 3 is beyond the count given: nothing is read.
  EXPECT_FALSE(readEpochs(matrix, stimuli, 4, out.data(), error));
  EXPECT_EQ(error, "stimulus 3 has no epoch in the input");
  ASSERT_TRUE(readEpochs(matrix, stimuli + 1, 3, out.data(), error)) << error;
  for (size_t i = 0; i < 1024; ++i) {
    if (i == 3 || i == 4) continue;
    EXPECT_EQ(out[i], static_cast<float>(1024 + i) + 0.5f);
    EXPECT_EQ(out[1024 + i], static_cast<float>(i) + 0.5f);
    EXPECT_EQ(out[2048 + i], static_cast<float>(1024 + i) + 0.5f);
  }
  EXPECT_EQ(out[3], 0.1f);
  EXPECT_EQ(out[4], std::numeric_limits<float>::infinity());
  EXPECT_EQ(sampleAt(matrix, 3, 1, 0), 0.1f);
  EXPECT_EQ(sampleAt(matrix, 7, 2, 127), 3071.5f);
  EXPECT_TRUE(matrix.samples.empty());

  // Building in memory replaces the file.
  buildEpochMatrix(matrix, std::vector<double>(1024, 2.0), 1);
  EXPECT_EQ(sampleAt(matrix, 0, 0, 0), 2.0f);
}

TEST(EpochMatrix, AttachedFileThatCannotBeRead) {
  // The library's own error report would only bury the test output.
  H5E_auto2_t reporter = nullptr;
  void* reporterData = nullptr;
  H5Eget_auto2(H5E_DEFAULT, &reporter, &reporterData);
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  test::TempDir dir;
  EpochMatrix matrix = createEpochMatrix(kChannels);
  EXPECT_FALSE(test::attachFeatures(matrix, dir.file("absent.hdf5"), 1));
  test::InputFileContents contents = test::smallInput(1, 1);
  contents.omit = {"/features"};
  test::writeInputFile(dir.file("input.hdf5"), contents);
  EXPECT_FALSE(test::attachFeatures(matrix, dir.file("input.hdf5"), 1));
  EXPECT_EQ(epochCount(matrix), 0u);
  H5Eset_auto2(H5E_DEFAULT, reporter, reporterData);
}

}  // namespace
}  // namespace erp2npx
