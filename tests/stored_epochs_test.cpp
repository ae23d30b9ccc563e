#include "input/stored_epochs.h"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/work_queue.h"
#include "input/chunk_filters.h"
#include "input/hdf5_handle.h"
#include "test_support.h"

namespace erp2npx {
namespace {

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

TEST(ChunkFilters, DamagedChunksSayWhy) {
  const Hid creation = propertyListHandle(H5Pcreate(H5P_DATASET_CREATE));
  const hsize_t chunk = 4;
  ASSERT_GE(H5Pset_chunk(creation.get(), 1, &chunk), 0);
  ASSERT_GE(H5Pset_deflate(creation.get(), 1), 0);
  ASSERT_GE(H5Pset_fletcher32(creation.get()), 0);
  const std::optional<ChunkFilters> filters = ChunkFilters::of(creation.get());
  ASSERT_TRUE(filters);
  // Undone last first: the checksum, then the deflate.
  Bytes tooShort = {1, 2};
  EXPECT_EQ(filters->decode(tooShort, 0, 32).reason(), "it is too short for its checksum");
  // With the checksum skipped when written (mask bit 1), bytes that do not inflate.
  Bytes garbage = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(filters->decode(garbage, 0b10, 32).reason(), "its data does not inflate");
}

TEST(StoredEpochs, StartsWithNoEpochs) {
  const StoredEpochs empty;
  EXPECT_EQ(empty.epochCount(), 0u);
  EXPECT_TRUE(test::streamedValues(empty).empty());
}

TEST(StoredEpochs, StreamsTheEpochsOfTheFileNarrowedAndNoMore) {
  test::TempDir dir;
  const std::string path = dir.file("input.hdf5");
  test::InputFileContents contents = test::smallInput(2, 2);  // value = index + 0.5
  contents.features[1024 + 3] = 0.1;
  contents.features[1024 + 4] = 1e300;
  test::writeInputFile(path, contents);

  // Three of the four epochs: the fourth is never read.
  const StoredEpochs stored = test::openFeatures(path, 3);
  ASSERT_EQ(stored.epochCount(), 3u);
  const std::vector<float> values = test::streamedValues(stored);
  ASSERT_EQ(values.size(), 3 * kEpochValues);
  for (size_t i = 0; i < values.size(); ++i) {
    if (i == 1024 + 3 || i == 1024 + 4) continue;
    EXPECT_EQ(values[i], static_cast<float>(i) + 0.5f) << i;
  }
  EXPECT_EQ(values[1024 + 3], 0.1f);
  EXPECT_EQ(values[1024 + 4], std::numeric_limits<float>::infinity());
  EXPECT_TRUE(stored.written(2));
}

TEST(StoredEpochs, FileOrDatasetThatCannotBeOpenedGivesNoEpochs) {
  // The library's own error report would only bury the test output.
  const QuietLibraryErrors quiet;
  test::TempDir dir;
  EXPECT_EQ(test::openFeatures(dir.file("absent.hdf5"), 1).epochCount(), 0u);
  test::InputFileContents contents = test::smallInput(1, 1);
  contents.omit = {"/features"};
  test::writeInputFile(dir.file("input.hdf5"), contents);
  EXPECT_EQ(test::openFeatures(dir.file("input.hdf5"), 1).epochCount(), 0u);
}

// 600 epochs in "/features", contiguous (read in blocks of 256 epochs) or
// deflated in chunks of 1000 values; value = index + 0.5.
std::string featuresFile(const test::TempDir& dir, bool chunked) {
  const std::string path = dir.file(chunked ? "chunked.hdf5" : "contiguous.hdf5");
  test::InputFileContents contents = test::smallInput(100, 6);
  contents.chunkedCompressed = chunked;
  test::writeInputFile(path, contents);
  return path;
}

// Threads from the one numbered failing on cannot start.
WorkFaults threadsFailingFrom(size_t failing, std::atomic<size_t>& refused) {
  return {
      [failing, &refused,
       started = std::make_shared<std::atomic<size_t>>(0)](std::function<void()> body) {
        if (++*started > failing) {
          ++refused;
          throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(body));
      },
      {}};
}

TEST(StoredEpochs, EachStorageIsReadTheFastestWayItAllows) {
  test::TempDir dir;
  EXPECT_TRUE(test::openFeatures(featuresFile(dir, false), 600).readBy<ContiguousEpochs>());
  EXPECT_TRUE(test::openFeatures(featuresFile(dir, true), 600).readBy<UnpackedChunkEpochs>());
  // Big-endian values the library converts, contiguous or in chunks.
  test::InputFileContents contents = test::smallInput(1, 2);
  contents.omit = {"/features"};
  test::Stored how;
  how.bigEndian = true;
  for (const bool chunked : {false, true}) {
    const std::string path = dir.file(chunked ? "floats.hdf5" : "doubles.hdf5");
    test::writeInputFile(path, contents);
    if (chunked) {
      how.chunk = {kEpochValues};
      test::storeDataset(path, "/features", std::vector<float>(2 * kEpochValues, 0.5f), how);
    } else {
      test::storeDataset(path, "/features", std::vector<double>(2 * kEpochValues, 0.5), how);
    }
    EXPECT_TRUE(test::openFeatures(path, 2).readBy<LibraryReadEpochs>()) << chunked;
  }
}

TEST(StoredEpochs, OnlyBlocksOfAFewMegabytesAreHeldPastTheirRuns) {
  // Contiguous blocks of 256 epochs, or chunks of 300 epochs, larger than a
  // block: holding those would keep far more than the writer's queue.
  test::TempDir dir;
  test::InputFileContents contents = test::smallInput(1, 2);
  contents.omit = {"/features"};
  const std::string path = dir.file("large-chunks.hdf5");
  test::writeInputFile(path, contents);
  test::Stored how;
  how.chunk = {300 * kEpochValues};
  how.deflate = 1;
  test::storeDataset(path, "/features", std::vector<double>(600 * kEpochValues, 0.5), how);
  for (const std::string& file : {featuresFile(dir, false), path}) {
    const StoredEpochs stored = test::openFeatures(file, 600);
    const bool large = file == path;
    ASSERT_TRUE(large ? stored.readBy<UnpackedChunkEpochs>() : stored.readBy<ContiguousEpochs>());
    size_t held = 0;
    size_t runs = 0;
    EpochConsumer consumer;
    consumer.values = [&](uint64_t, const float*, size_t, const ValuesHold& hold) {
      ++runs;
      held += hold ? 1 : 0;
    };
    consumer.failed = [](uint64_t, uint64_t, const std::string& reason) {
      ADD_FAILURE() << reason;
    };
    stored.stream(consumer);
    EXPECT_GT(runs, 0u);
    EXPECT_EQ(held, large ? 0 : runs) << file;
  }
}

TEST(StoredEpochs, ThreadsThatCannotStartChangeNoValue) {
  test::TempDir dir;
  for (const bool chunked : {false, true}) {
    const StoredEpochs stored = test::openFeatures(featuresFile(dir, chunked), 600);
    const std::vector<float> expected = test::streamedValues(stored);
    ASSERT_EQ(expected.size(), 600 * kEpochValues);
    EXPECT_EQ(expected[1024 * 599 + 5], 1024.0f * 599 + 5.5f);
    for (const size_t failing : {0, 1}) {
      std::atomic<size_t> refused{0};
      const ScopedWorkFaults faults(threadsFailingFrom(failing, refused));
      EXPECT_TRUE(test::streamedValues(stored) == expected) << chunked << failing;
      EXPECT_GT(refused.load(), 0u);
    }
  }
}

TEST(StoredEpochs, AJobThatThrowsCostsOnlyTheEpochsItCovers) {
  test::TempDir dir;
  for (const bool chunked : {false, true}) {
    const StoredEpochs stored = test::openFeatures(featuresFile(dir, chunked), 600);
    const std::vector<float> expected = test::streamedValues(stored);
    // The jobs run one after another on the calling thread. Chunks are read
    // in order, so the third is values 2000 to 2999; blocks of 256 epochs are
    // read from a place for each worker at once, so the third may be any
    // block.
    const auto epochsFrom = [](size_t first, size_t end) {
      std::set<size_t> epochs;
      for (size_t e = first; e < end; ++e) epochs.insert(e);
      return epochs;
    };
    const std::vector<std::set<size_t>> blocks =
        chunked ? std::vector<std::set<size_t>>{{1, 2}}
                : std::vector<std::set<size_t>>{epochsFrom(0, 256), epochsFrom(256, 512),
                                                epochsFrom(512, 600)};
    // The reason names what was thrown, but for want of memory, where the
    // library's own text says nothing more.
    for (const bool outOfMemory : {false, true}) {
      std::atomic<size_t> refused{0};
      WorkFaults faults = threadsFailingFrom(0, refused);
      int jobs = 0;
      faults.beforeJob = [&jobs, outOfMemory] {
        if (++jobs != 3) return;
        if (outOfMemory) throw std::bad_alloc();
        throw std::length_error("vector::_M_realloc_insert");
      };
      const ScopedWorkFaults inForce(faults);
      std::set<size_t> failed;
      std::set<std::string> reasons;
      const std::vector<float> values = test::streamedValues(
          [&](const EpochConsumer& consumer) { stored.stream(consumer); }, 600, &failed, &reasons);
      const auto lostBlock = std::find(blocks.begin(), blocks.end(), failed);
      ASSERT_NE(lostBlock, blocks.end()) << chunked << " " << failed.size();
      const std::set<size_t>& lost = *lostBlock;
      EXPECT_EQ(reasons, std::set<std::string>{std::string("reading the dataset /features failed") +
                                               (outOfMemory ? "" : ": vector::_M_realloc_insert")})
          << chunked;
      for (size_t i = 0; i < values.size(); ++i) {
        if (lost.count(i / kEpochValues) == 0 && values[i] != expected[i]) {
          ADD_FAILURE() << "value " << i << " changed, chunked " << chunked;
          break;
        }
      }
    }
  }
}

}  // namespace
}  // namespace erp2npx
