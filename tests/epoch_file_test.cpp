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

#include "input/epoch_matrix.h"
#include "input/hdf5_handle.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

constexpr size_t kStimuli = 37;

std::vector<double> featureValues() {
  std::vector<double> values(kStimuli * kEpochValues);
  std::mt19937_64 random(7);
  for (double& v : values) v = static_cast<double>(random() % 2000001) / 1000.0 - 1000.0;
  values[5] = 1e300;  // narrows to infinity either way
  return values;
}

struct Layout {
  std::vector<hsize_t> dims;
  bool chunked;
  hid_t fileType;
};

std::string layoutName(const testing::TestParamInfo<Layout>& info) {
  std::string name;
  for (const hsize_t d : info.param.dims) name += (name.empty() ? "" : "x") + std::to_string(d);
  name += info.param.chunked ? "_chunked" : "_contiguous";
  if (info.param.fileType == H5T_IEEE_F64BE) name += "_bigendian";
  if (info.param.fileType == H5T_IEEE_F32LE) name += "_float32";
  return name;
}

void writeFeatures(const std::string& path, const std::vector<double>& values,
                   const Layout& layout) {
  const Hid file = fileHandle(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
  const Hid space = dataspaceHandle(
      H5Screate_simple(static_cast<int>(layout.dims.size()), layout.dims.data(), nullptr));
  const Hid properties = propertyListHandle(H5Pcreate(H5P_DATASET_CREATE));
  if (layout.chunked) {
    std::vector<hsize_t> chunk(layout.dims);
    chunk[0] = std::max<hsize_t>(1, chunk[0] / 5);  // chunks that split epochs
    H5Pset_chunk(properties.get(), static_cast<int>(chunk.size()), chunk.data());
    H5Pset_deflate(properties.get(), 1);
  }
  const Hid dataset =
      datasetHandle(H5Dcreate2(file.get(), "/features", layout.fileType, space.get(), H5P_DEFAULT,
                               properties.get(), H5P_DEFAULT));
  ASSERT_TRUE(dataset.valid());
  ASSERT_GE(
      H5Dwrite(dataset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
}

class EpochFileLayouts : public testing::TestWithParam<Layout> {};

TEST_P(EpochFileLayouts, OnePassInStorageOrderGivesEveryValueAsNarrowed) {
  const std::vector<double> values = featureValues();
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  writeFeatures(path, values, GetParam());
  const std::vector<float> expected =
      streamedValues(InMemoryEpochs(values, kStimuli).stream(), kStimuli);
  const EpochMatrix fromFile = openFeatures(path, kStimuli);
  ASSERT_EQ(fromFile.epochCount(), kStimuli);
  // Every value exactly once, and each as the same float.
  std::vector<int> seen(kStimuli * kEpochValues, 0);
  std::vector<float> actual(seen.size());
  EpochConsumer consumer;
  consumer.values = [&](uint64_t first, const float* run, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      ++seen[first + i];
      actual[first + i] = run[i];
    }
  };
  consumer.failed = [&](uint64_t, uint64_t, const std::string& reason) { ADD_FAILURE() << reason; };
  fromFile.stream(consumer);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(seen.size()));
  EXPECT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)), 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, EpochFileLayouts,
                         testing::Values(Layout{{kStimuli * kEpochValues}, false, H5T_IEEE_F64LE},
                                         Layout{{kStimuli, 128, 8}, false, H5T_IEEE_F64LE},
                                         Layout{{kStimuli * 128, 8}, false, H5T_IEEE_F64LE},
                                         // Rows that do not line up with epochs.
                                         Layout{{256, 4, kStimuli}, false, H5T_IEEE_F64LE},
                                         Layout{{256, 4, kStimuli}, true, H5T_IEEE_F64LE},
                                         Layout{{kStimuli, 1024}, true, H5T_IEEE_F64LE},
                                         Layout{{kStimuli * 128, 8}, true, H5T_IEEE_F64LE},
                                         Layout{{kStimuli, 1024}, false, H5T_IEEE_F64BE},
                                         Layout{{kStimuli, 1024}, false, H5T_IEEE_F32LE}),
                         layoutName);

TEST(EpochFile, EpochsComeThroughTheHandleOfTheLoad) {
  // Replacing the file by name after the load changes nothing.
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  const Layout layout{{kStimuli, 1024}, false, H5T_IEEE_F64LE};
  writeFeatures(path, featureValues(), layout);
  const EpochMatrix matrix = openFeatures(path, kStimuli);
  std::vector<double> other = featureValues();
  for (double& value : other) value = -value;
  ASSERT_EQ(0, std::rename(path.c_str(), dir.file("moved.hdf5").c_str()));
  writeFeatures(path, other, layout);
  EXPECT_EQ(streamedValues(matrix),
            streamedValues(InMemoryEpochs(featureValues(), kStimuli).stream(), kStimuli));
}

TEST(EpochFile, TruncatedFileGivesUpItsEpochsInsteadOfReadingZeros) {
  for (const bool chunked : {false, true}) {
    TempDir dir;
    const std::string path = dir.file("features.hdf5");
    writeFeatures(path, featureValues(), Layout{{kStimuli, 1024}, chunked, H5T_IEEE_F64LE});
    const EpochMatrix matrix = openFeatures(path, kStimuli);
    ASSERT_EQ(0, truncate(path.c_str(), 8192));
    std::set<size_t> failed;
    streamedValues([&](const EpochConsumer& consumer) { matrix.stream(consumer); }, kStimuli,
                   &failed);
    EXPECT_TRUE(failed.count(kStimuli - 1)) << (chunked ? "chunked" : "contiguous");
  }
}

}  // namespace
}  // namespace erp2npx::test
