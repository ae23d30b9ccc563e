// Epochs read from the input file on demand must equal the epochs built in
// memory from the same values, whatever the storage shape and layout.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <random>

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

TEST_P(EpochFileLayouts, ScatteredRepeatedAndConsecutiveEpochsMatchMemory) {
  const std::vector<double> values = featureValues();
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  writeFeatures(path, values, GetParam());

  EpochMatrix inMemory = createEpochMatrix(8);
  buildEpochMatrix(inMemory, values, kStimuli);
  EpochMatrix fromFile = createEpochMatrix(8);
  ASSERT_TRUE(attachFeatures(fromFile, path, kStimuli));

  // Runs of consecutive stimuli, single ones, repeats and descending order.
  const std::vector<int32_t> orders[] = {
      {0, 1, 2, 3},
      {36, 0, 18, 17, 16, 35},
      {4, 4, 9, 10, 11, 30},
      {},
  };
  for (const std::vector<int32_t>& order : orders) {
    std::vector<float> expected(order.size() * kEpochValues), actual(expected.size());
    std::string error;
    ASSERT_TRUE(readEpochs(inMemory, order.data(), order.size(), expected.data(), error));
    ASSERT_TRUE(readEpochs(fromFile, order.data(), order.size(), actual.data(), error)) << error;
    EXPECT_TRUE(expected.empty() ||
                std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(float)) == 0);
  }
  EXPECT_EQ(sampleAt(fromFile, 3, 20, 100), static_cast<float>(values[(20 * 128 + 100) * 8 + 3]));
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

TEST(EpochFile, StimulusWithoutEpochAndUnreadableFileAreReported) {
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  writeFeatures(path, featureValues(), Layout{{kStimuli, 1024}, false, H5T_IEEE_F64LE});
  EpochMatrix matrix = createEpochMatrix(8);
  ASSERT_TRUE(attachFeatures(matrix, path, kStimuli));
  std::vector<float> out(kEpochValues);
  std::string error;
  const int32_t beyond = kStimuli;
  EXPECT_FALSE(readEpochs(matrix, &beyond, 1, out.data(), error));
  EXPECT_EQ(error, "stimulus 37 has no epoch in the input");

  // The epochs come through the handle of the load: replacing the file by
  // name in between changes nothing.
  const std::vector<float> before = [&] {
    const int32_t first = 0;
    EXPECT_TRUE(readEpochs(matrix, &first, 1, out.data(), error));
    return out;
  }();
  std::vector<double> other = featureValues();
  for (double& value : other) value = -value;
  ASSERT_EQ(0, std::rename(path.c_str(), dir.file("moved.hdf5").c_str()));
  writeFeatures(path, other, Layout{{kStimuli, 1024}, false, H5T_IEEE_F64LE});
  const int32_t first = 0;
  ASSERT_TRUE(readEpochs(matrix, &first, 1, out.data(), error)) << error;
  EXPECT_EQ(out, before);
}

TEST(EpochFile, TruncatedFileFailsInsteadOfReadingZeros) {
  TempDir dir;
  const std::string path = dir.file("features.hdf5");
  writeFeatures(path, featureValues(), Layout{{kStimuli, 1024}, false, H5T_IEEE_F64LE});
  EpochMatrix matrix = createEpochMatrix(8);
  ASSERT_TRUE(attachFeatures(matrix, path, kStimuli));
  std::vector<float> out(kEpochValues);
  std::string error;
  const int32_t first = 0;
  ASSERT_TRUE(readEpochs(matrix, &first, 1, out.data(), error));
  ASSERT_EQ(0, truncate(path.c_str(), 4096));
  const int32_t last = kStimuli - 1;
  EXPECT_FALSE(readEpochs(matrix, &last, 1, out.data(), error));
  EXPECT_EQ(error, "reading the dataset /features failed");
}

}  // namespace
}  // namespace erp2npx::test
