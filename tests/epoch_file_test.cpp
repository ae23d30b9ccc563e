// Epochs streamed from the input file must equal the same values narrowed in
// memory, whatever the storage shape and layout.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <set>

#include "input/hdf5_handle.h"
#include "input/stored_epochs.h"
#include "input_writer.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

constexpr size_t kStimuli = 37;

// Values with the cases a narrowing can get wrong: overflow, NaN payloads,
// signalling NaN, subnormals, negative zero, ties.
std::vector<double> featureValues() {
  std::vector<double> values(kStimuli * kEpochValues);
  std::mt19937_64 random(7);
  for (double& v : values) v = static_cast<double>(random() % 2000001) / 1000.0 - 1000.0;
  const uint64_t specials[] = {0x7ff0000000000123, 0xfff8000000004567, 0x0000000000000001,
                               0x8000000000000000, 0x3ff0000010000000, 0x7e37e43c8800759c};
  for (size_t i = 0; i < std::size(specials); ++i) {
    std::memcpy(&values[i * 997 + 3], &specials[i], sizeof(double));
  }
  values[5] = 1e300;  // narrows to infinity
  return values;
}

// The same values stored as float32, with a signalling NaN among them.
std::vector<float> featureFloats() {
  const std::vector<double> values = featureValues();
  std::vector<float> floats(values.size());
  narrowToFloat(values.data(), values.size(), floats.data());
  const uint32_t signalling = 0x7f800021;
  std::memcpy(&floats[1500], &signalling, sizeof(float));
  return floats;
}

struct Layout {
  std::string name;
  std::vector<unsigned long long> dims;
  Stored stored;
  bool float32 = false;
};

std::string layoutName(const testing::TestParamInfo<Layout>& info) { return info.param.name; }
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

void writeFeatures(const std::string& path, const Layout& layout) {
  input_writer::createFile(path);
  Stored stored = layout.stored;
  stored.dims = layout.dims;
  if (layout.float32) {
    storeDataset(path, "/features", featureFloats(), stored);
  } else {
    storeDataset(path, "/features", featureValues(), stored);
  }
}

// The epochs as the library's own read and conversion to double give them,
// narrowed: what any path through the file must give, bit for bit.
std::vector<float> libraryValues(const StoredEpochs& matrix, std::set<size_t>& failed) {
  std::vector<float> values(matrix.epochCount() * kEpochValues, 0.0f);
  StoredValueConsumer consumer;
  consumer.values = [&](uint64_t first, const double* run, size_t count) {
    narrowToFloat(run, count, values.data() + first);
  };
  consumer.failed = [&](uint64_t first, uint64_t count, const std::string&) {
    for (uint64_t v = first; v < first + count; v += kEpochValues) failed.insert(v / kEpochValues);
    failed.insert((first + count - 1) / kEpochValues);
  };
  matrix.streamAsStored(consumer);
  return values;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class EpochFileLayouts : public testing::TestWithParam<Layout> {};

TEST_P(EpochFileLayouts, OnePassInStorageOrderGivesEveryValueAsTheLibraryReadsIt) {
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  writeFeatures(path, GetParam());
  const StoredEpochs fromFile = openFeatures(path, kStimuli);
  ASSERT_EQ(fromFile.epochCount(), kStimuli);
  // Every value exactly once, and each as the same float.
  std::vector<int> seen(kStimuli * kEpochValues, 0);
  std::vector<float> actual(seen.size());
  EpochConsumer consumer;
  consumer.values = [&](uint64_t first, const float* run, size_t count, const ValuesHold&) {
    for (size_t i = 0; i < count; ++i) {
      ++seen[first + i];
      actual[first + i] = run[i];
    }
  };
  consumer.failed = [&](uint64_t, uint64_t, const std::string& reason) { ADD_FAILURE() << reason; };
  fromFile.stream(consumer);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(seen.size()));
  std::set<size_t> failed;
  EXPECT_TRUE(sameBits(actual, libraryValues(fromFile, failed)));
  EXPECT_TRUE(failed.empty());
  if (!GetParam().float32) {
    EXPECT_TRUE(sameBits(
        actual, streamedValues(InMemoryEpochs(featureValues(), kStimuli).stream(), kStimuli)));
  }
}

Stored chunks(std::vector<unsigned long long> chunk, int deflate = 1, bool shuffle = false,
              bool fletcher32 = false) {
  Stored stored;
  stored.chunk = std::move(chunk);
  stored.deflate = deflate;
  stored.shuffle = shuffle;
  stored.fletcher32 = fletcher32;
  return stored;
}

Stored bigEndian(Stored stored) {
  stored.bigEndian = true;
  return stored;
}

Stored writtenInOrder(Stored stored, std::vector<unsigned long long> rowOrder) {
  stored.rowOrder = std::move(rowOrder);
  return stored;
}

std::vector<unsigned long long> reversedRows(size_t rows) {
  std::vector<unsigned long long> order(rows);
  std::iota(order.rbegin(), order.rend(), 0);
  return order;
}

std::vector<unsigned long long> shuffledRows(size_t rows) {
  std::vector<unsigned long long> order(rows);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(11));
  return order;
}

const unsigned long long kS = kStimuli;

INSTANTIATE_TEST_SUITE_P(
    Storage, EpochFileLayouts,
    testing::Values(
        Layout{"flat", {kS * kEpochValues}, {}},
        Layout{"epochs_in_two_dimensions", {kS, 128, 8}, {}},
        Layout{"rows_across_epochs", {kS * 128, 8}, {}},
        Layout{"rows_not_lined_up_with_epochs", {2, kS * 64, 8}, {}},
        Layout{"big_endian", {kS, 1024}, bigEndian({})}, Layout{"float32", {kS, 1024}, {}, true},
        Layout{"float32_big_endian", {kS, 1024}, bigEndian({}), true},
        // Chunks larger than an epoch, the last one cut short by the edge.
        Layout{"deflate_seven_epochs", {kS, 1024}, chunks({7, 1024})},
        Layout{"deflate_one_epoch", {kS, 1024}, chunks({1, 1024}, 9)},
        Layout{"deflate_flat", {kS * kEpochValues}, chunks({1000})},
        Layout{"deflate_rows_not_lined_up", {2, kS * 64, 8}, chunks({1, 943, 8})},
        // Chunk boundaries inside epochs, in both dimensions.
        Layout{
            "shuffle_deflate_small_big_endian", {kS, 1024}, bigEndian(chunks({1, 100}, 4, true))},
        Layout{
            "fletcher_shuffle_deflate_float32", {kS, 1024}, chunks({2, 1024}, 6, true, true), true},
        Layout{"fletcher_deflate", {kS, 1024}, chunks({3, 1024}, 1, false, true)},
        Layout{"deflate_float32_big_endian", {kS, 1024}, bigEndian(chunks({5, 1024})), true},
        // Chunks written in another order than the grid's.
        Layout{"deflate_split_reversed",
               {kS, 128, 8},
               writtenInOrder(chunks({3, 40, 8}), reversedRows(13))},
        Layout{"unfiltered_shuffled",
               {kS * 128, 8},
               writtenInOrder(chunks({100, 8}, -1), shuffledRows(48))},
        Layout{"shuffle_only_reversed",
               {kS, 1024},
               writtenInOrder(chunks({4, 512}, -1, true), reversedRows(10))}),
    layoutName);

// The stored bytes of the chunk at origin, located in the file.
void damageChunk(const std::string& path, std::vector<hsize_t> origin, uint8_t fill, size_t bytes) {
  haddr_t address = HADDR_UNDEF;
  hsize_t size = 0;
  {
    const Hid file = fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    const Hid dataset = datasetHandle(H5Dopen2(file.get(), "/features", H5P_DEFAULT));
    unsigned mask = 0;
    ASSERT_GE(H5Dget_chunk_info_by_coord(dataset.get(), origin.data(), &mask, &address, &size), 0);
  }
  ASSERT_NE(address, HADDR_UNDEF);
  const std::vector<uint8_t> damage(std::min<size_t>(bytes, size), fill);
  FILE* file = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  std::fseek(file, static_cast<long>(address + size / 2 - damage.size() / 2), SEEK_SET);
  std::fwrite(damage.data(), 1, damage.size(), file);
  std::fclose(file);
}

TEST(EpochFile, DamagedChunkCostsItsOwnEpochsAloneOnEveryPath) {
  const QuietLibraryErrors quiet;
  struct Case {
    const char* name;
    Stored stored;
    uint8_t fill;
    size_t bytes;
  };
  const Case cases[] = {
      {"checksum that does not match", chunks({3, 1024}, 1, true, true), 0x55, 4},
      {"data that does not inflate", chunks({3, 1024}, 1), 0xff, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("features.hdf5");
    writeFeatures(path, Layout{"", {kS, 1024}, c.stored});
    damageChunk(path, {6, 0}, c.fill, c.bytes);
    const StoredEpochs matrix = openFeatures(path, kStimuli);
    std::set<size_t> failed, failedByLibrary;
    const std::vector<float> values = streamedValues(
        [&](const EpochConsumer& consumer) { matrix.stream(consumer); }, kStimuli, &failed);
    const std::vector<float> library = libraryValues(matrix, failedByLibrary);
    EXPECT_EQ(failed, (std::set<size_t>{6, 7, 8}));
    EXPECT_EQ(failedByLibrary, failed);
    const std::vector<float> expected =
        streamedValues(InMemoryEpochs(featureValues(), kStimuli).stream(), kStimuli);
    for (size_t s = 0; s < kStimuli; ++s) {
      if (failed.count(s) != 0) continue;
      EXPECT_EQ(std::memcmp(&values[s * kEpochValues], &expected[s * kEpochValues],
                            kEpochValues * sizeof(float)),
                0)
          << s;
    }
  }
}

TEST(EpochFile, EpochsComeThroughTheHandleOfTheLoad) {
  // Replacing the file by name after the load changes nothing.
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  writeFeatures(path, Layout{"", {kS, 1024}, {}});
  const StoredEpochs matrix = openFeatures(path, kStimuli);
  std::vector<double> other = featureValues();
  for (double& value : other) value = -value;
  ASSERT_EQ(0, std::rename(path.c_str(), dir.file("moved.hdf5").c_str()));
  writeFeatures(path, Layout{"", {kS, 1024}, {}});
  storeDataset(path, "/features", other, Stored{});
  EXPECT_TRUE(
      sameBits(streamedValues(matrix),
               streamedValues(InMemoryEpochs(featureValues(), kStimuli).stream(), kStimuli)));
}

TEST(EpochFile, TruncatedFileGivesUpItsEpochsInsteadOfReadingZeros) {
  // Past its end the library reads zeros, which must not pass for samples.
  const QuietLibraryErrors quiet;
  for (const Stored& stored : {Stored{}, bigEndian({}), chunks({1, 1024}, -1), chunks({1, 1024}),
                               chunks({1, 1024}, 1, true, true)}) {
    TempDir dir;
    const std::string path = dir.file("features.hdf5");
    writeFeatures(path, Layout{"", {kS, 1024}, stored});
    const StoredEpochs matrix = openFeatures(path, kStimuli);
    ASSERT_EQ(0, truncate(path.c_str(), 8192));
    std::set<size_t> failed;
    streamedValues([&](const EpochConsumer& consumer) { matrix.stream(consumer); }, kStimuli,
                   &failed);
    EXPECT_TRUE(failed.count(kStimuli - 1))
        << stored.chunk.size() << stored.deflate << stored.bigEndian;
  }
}

}  // namespace
}  // namespace erp2npx::test
