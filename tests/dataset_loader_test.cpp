#include "input/dataset_loader.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/messages.h"
#include "input/hdf5_handle.h"
#include "input/input_file.h"
#include "input/input_reader.h"
#include "input/input_survey.h"
#include "input_writer.h"
#include "test_support.h"

namespace erp2npx {
namespace {

using test::InputFileContents;
using test::smallInput;
using test::TempDir;
using test::writeInputFile;

const char* const kDatasets[] = {"/codes",       "/database_ids",   "/erp_labels",  "/features",
                                 "/matrix_dims", "/matrix_indexes", "/run_indexes", "/sequences",
                                 "/subjects",    "/target",         "/trials"};

std::string missing(const std::string& name) { return "\n\nNOOOO " + name.substr(1) + "!!!!\n\n"; }

std::string tooShort(const std::string& name, uint64_t held, uint64_t needed,
                     const std::string& file) {
  return "The dataset " + name + " holds " + std::to_string(held) + " values where " +
         std::to_string(needed) + " are needed: nothing of " + file + " is converted\n";
}

std::string unreadable(const std::string& name, const std::string& file,
                       const std::string& reason = "its values are not numbers") {
  return "Unable to read the dataset " + name + " of " + file + ": " + reason +
         "; it is treated as missing\n";
}

// Replaces one dataset of an existing input file, stored contiguous or in
// compressed chunks of the given shape. With data == nullptr the new dataset
// gets a dataspace but no storage.
void replaceDataset(const std::string& path, const char* name, hid_t fileType,
                    const std::vector<hsize_t>& dims, hid_t memType, const void* data,
                    const std::vector<hsize_t>& chunk = {}) {
  const Hid file = input_writer::openFile(path);
  if (!file.valid()) throw std::runtime_error("cannot open " + path);
  input_writer::unlink(file.get(), name);
  input_writer::Layout layout;
  layout.dims = dims;
  layout.chunk = chunk;
  if (!chunk.empty()) layout.filters = {{input_writer::Filter::kDeflate, 1}};
  if (!input_writer::writeDataset(file.get(), name, fileType, layout, memType, data).valid()) {
    throw std::runtime_error(std::string("cannot write ") + name);
  }
}

// A dataset of 4-character strings, which cannot be read as numbers.
void replaceWithStrings(const std::string& path, const char* name, size_t count) {
  const Hid type = datatypeHandle(H5Tcopy(H5T_C_S1));
  H5Tset_size(type.get(), 4);
  const std::string text(4 * count, 'x');
  replaceDataset(path, name, type.get(), {count}, type.get(), text.data());
}

struct Loaded {
  bool complete = false;
  std::string out;
  std::vector<std::string> notes;  // for standard error
  InputData data;
  size_t epochs = 0;           // the epochs the load found in "/features"
  std::vector<float> samples;  // all of them, as streamed

  // Sample t of stimulus s on channel ch.
  float sample(size_t channel, size_t stimulus, size_t t) const {
    return samples.at(stimulus * kEpochValues + t * 8 + channel);
  }
};

// Loads the file as the converter does and takes its epochs into memory, so
// that the input file is closed again and the test may rewrite it.
Loaded load(const std::string& path) {
  Loaded result;
  Console console = Console::collecting();
  result.complete = DatasetLoader(console).load(path, 8, result.data);
  for (const std::string& text : console.collected()) {
    result.out += text;
    if (text.empty() || text.back() != '\n') result.out += "\n";
  }
  result.notes = console.collectedNotes();
  result.epochs = result.data.epochs.epochCount();
  result.samples = test::streamedValues(result.data.epochs);
  result.data.epochs = StoredEpochs();
  return result;
}

void expectSameInput(const InputData& a, const InputData& b) {
  EXPECT_EQ(a.stimulusCount, b.stimulusCount);
  ASSERT_EQ(a.stimuli.size(), b.stimuli.size());
  for (size_t s = 0; s < a.stimuli.size(); ++s) {
    const StimulusRecord& x = a.stimuli[s];
    const StimulusRecord& y = b.stimuli[s];
    EXPECT_EQ(std::vector<int32_t>(
                  {x.database, x.subject, x.session, x.trial, x.sequence, x.code, x.label}),
              std::vector<int32_t>(
                  {y.database, y.subject, y.session, y.trial, y.sequence, y.code, y.label}))
        << "stimulus " << s;
  }
  ASSERT_EQ(a.sessionLayouts.size(), b.sessionLayouts.size());
  for (size_t i = 0; i < a.sessionLayouts.size(); ++i) {
    EXPECT_EQ(a.sessionLayouts[i].rows, b.sessionLayouts[i].rows);
    EXPECT_EQ(a.sessionLayouts[i].columns, b.sessionLayouts[i].columns);
  }
  ASSERT_EQ(a.targets.size(), b.targets.size());
  for (size_t i = 0; i < a.targets.size(); ++i) {
    EXPECT_EQ(a.targets[i].targetRowCode, b.targets[i].targetRowCode);
    EXPECT_EQ(a.targets[i].targetColumnCode, b.targets[i].targetColumnCode);
  }
}

void expectSameInput(const Loaded& a, const Loaded& b) {
  expectSameInput(a.data, b.data);
  EXPECT_EQ(a.epochs, b.epochs);
  EXPECT_EQ(a.samples, b.samples);
}

class DatasetLoaderTest : public testing::Test {
 protected:
  // The library's own error stack dumps would only bury the test output.
  void SetUp() override {
    H5Eget_auto2(H5E_DEFAULT, &savedFunction_, &savedData_);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  void TearDown() override { H5Eset_auto2(H5E_DEFAULT, savedFunction_, savedData_); }

  std::string input(const InputFileContents& contents) {
    writeInputFile(path, contents);
    return path;
  }

  TempDir dir;
  const std::string path = dir.file("QUOLMET ERP-BCI.hdf5");

 private:
  H5E_auto2_t savedFunction_ = nullptr;
  void* savedData_ = nullptr;
};

TEST_F(DatasetLoaderTest, CompleteFile) {
  InputFileContents contents = smallInput(2, 3);
  contents.matrixDims = {6, 6, 4, 5};
  contents.erpLabels = {1.0, 0.0, -1.0, 0.5, -0.5, 7.9};
  contents.codes = {0, 1, 2, 6, 7, 11};
  contents.sequences = {0, 0, 1, 1, 2, 2};
  contents.subjects = {3, 3, 3, 3, 3, 3};
  contents.databaseIds = {1, 1, 1, 1, 1, 1};
  contents.runIndexes = {0, 0, 0, 1, 1, 1};
  const Loaded loaded = load(input(contents));

  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  const InputData& data = loaded.data;
  EXPECT_EQ(data.stimulusCount, 6u);
  ASSERT_EQ(data.stimuli.size(), 6u);
  const int32_t labels[] = {1, 0, -1, 0, 0, 7};
  for (size_t s = 0; s < 6; ++s) {
    const StimulusRecord& r = data.stimuli[s];
    EXPECT_EQ(r.database, 1);
    EXPECT_EQ(r.subject, 3);
    EXPECT_EQ(r.session, contents.runIndexes[s]);
    EXPECT_EQ(r.trial, contents.trials[s]);
    EXPECT_EQ(r.sequence, contents.sequences[s]);
    EXPECT_EQ(r.code, contents.codes[s]);
    EXPECT_EQ(r.label, labels[s]);
  }
  ASSERT_EQ(data.sessionLayouts.size(), 2u);
  EXPECT_EQ(data.sessionLayouts[1].rows, 4);
  EXPECT_EQ(data.sessionLayouts[1].columns, 5);
  ASSERT_EQ(data.targets.size(), 2u);
  EXPECT_EQ(data.targets[1].column3Value, 1);
  EXPECT_EQ(data.targets[1].targetRowCode, 1);
  EXPECT_EQ(data.targets[1].targetColumnCode, 8);
  ASSERT_EQ(loaded.epochs, 6u);
  for (size_t s = 0; s < 6; ++s) {
    for (size_t ch = 0; ch < 8; ++ch) {
      EXPECT_EQ(loaded.sample(ch, s, 0), s * 1024 + ch + 0.5f);
      EXPECT_EQ(loaded.sample(ch, s, 127), s * 1024 + 127 * 8 + ch + 0.5f);
    }
  }
  EXPECT_TRUE(data.subjectInfos.empty());
}

TEST_F(DatasetLoaderTest, FileThatCannotBeOpened) {
  Loaded loaded = load(path);
  EXPECT_EQ(loaded.out, "Unable to open the file: " + path + "\n");
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 0u);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_TRUE(loaded.data.sessionLayouts.empty());
  EXPECT_TRUE(loaded.data.targets.empty());
  EXPECT_EQ(loaded.epochs, 0u);

  test::writeTextFile(path, "not an HDF5 file\n");
  loaded = load(path);
  EXPECT_EQ(loaded.out, "Unable to open the file: " + path + "\n");
  EXPECT_EQ(loaded.data.stimulusCount, 0u);
}

TEST_F(DatasetLoaderTest, OnlyTrialsMissing) {
  InputFileContents contents = smallInput(2, 3);
  contents.omit = {"/trials"};
  contents.subjects.resize(5);  // the count then shows where it came from
  const Loaded loaded = load(input(contents));
  EXPECT_EQ(loaded.out,
            std::string(msg::kFileOpened) + missing("/trials") + tooShort("/trials", 0, 5, path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 5u);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_EQ(loaded.epochs, 0u);
  // The counts that are printed still come from what was read.
  EXPECT_EQ(loaded.data.sessionLayouts.size(), 1u);
  EXPECT_EQ(loaded.data.targets.size(), 2u);
}

TEST_F(DatasetLoaderTest, EachMissingDatasetHasItsMessage) {
  for (const std::string name : kDatasets) {
    SCOPED_TRACE(name);
    InputFileContents contents = smallInput(2, 3);
    contents.omit = {name};
    const Loaded loaded = load(input(contents));
    std::string expected = std::string(msg::kFileOpened) + missing(name);
    bool usable = false;  // whether its stimuli are still converted
    if (name == "/features") {
      expected += tooShort("/features", 0, 6 * 1024, path);
    } else if (name == "/matrix_dims" || name == "/matrix_indexes" || name == "/target") {
      usable = true;
    } else {
      expected += tooShort(name, 0, 6, path);
    }
    EXPECT_EQ(loaded.out, expected);
    EXPECT_FALSE(loaded.complete);
    EXPECT_EQ(loaded.data.stimulusCount, 6u);
    EXPECT_EQ(loaded.data.stimuli.size(), usable ? 6u : 0u);
    EXPECT_EQ(loaded.epochs, usable ? 6u : 0u);
    EXPECT_EQ(loaded.data.sessionLayouts.size(), name == "/matrix_dims" ? 0u : 1u);
    EXPECT_EQ(loaded.data.targets.size(), name == "/target" ? 0u : 2u);
  }
}

TEST_F(DatasetLoaderTest, FileWithoutDatasets) {
  InputFileContents contents;
  contents.omit.insert(std::begin(kDatasets), std::end(kDatasets));
  const Loaded loaded = load(input(contents));
  std::string expected = msg::kFileOpened;
  for (const char* name : kDatasets) expected += missing(name);
  EXPECT_EQ(loaded.out, expected);
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 0u);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_EQ(loaded.epochs, 0u);
}

TEST_F(DatasetLoaderTest, StimulusCountFollowsTheLastCountingDataset) {
  InputFileContents contents = smallInput(2, 3);
  contents.trials.resize(4);
  Loaded loaded = load(input(contents));
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 4u);
  EXPECT_EQ(loaded.data.stimuli.size(), 4u);
  EXPECT_EQ(loaded.epochs, 6u);  // the count of "/codes"

  // With "/trials" and "/subjects" gone, "/sequences" is the last that counts.
  contents = smallInput(2, 3);
  contents.omit = {"/trials", "/subjects"};
  contents.sequences.resize(3);
  loaded = load(input(contents));
  EXPECT_EQ(loaded.data.stimulusCount, 3u);
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + missing("/subjects") + missing("/trials") +
                            tooShort("/subjects", 0, 3, path) + tooShort("/trials", 0, 3, path));
}

TEST_F(DatasetLoaderTest, ShortColumnsAreReportedAndNothingIsKept) {
  InputFileContents contents = smallInput(2, 4);
  contents.trials.push_back(1);  // 9 trials: every other column is one short
  const Loaded loaded = load(input(contents));
  const std::string needs = " values where 9 are needed: nothing of " + path + " is converted\n";
  EXPECT_EQ(loaded.out,
            std::string(msg::kFileOpened) + "The dataset /codes holds 8" + needs +
                "The dataset /database_ids holds 8" + needs + "The dataset /erp_labels holds 8" +
                needs + "The dataset /run_indexes holds 8" + needs +
                "The dataset /sequences holds 8" + needs + "The dataset /subjects holds 8" + needs);
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 9u);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_EQ(loaded.epochs, 0u);
  EXPECT_TRUE(loaded.samples.empty());
}

TEST_F(DatasetLoaderTest, MatrixIndexesAreNotChecked) {
  InputFileContents contents = smallInput(2, 3);
  contents.matrixIndexes.resize(1);
  Loaded loaded = load(input(contents));
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  EXPECT_EQ(loaded.data.stimuli.size(), 6u);

  contents.matrixIndexes.assign(50, 3);
  loaded = load(input(contents));
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_EQ(loaded.data.stimulusCount, 6u);
}

TEST_F(DatasetLoaderTest, FeaturesMustCoverEveryCode) {
  InputFileContents contents = smallInput(2, 3);
  contents.features.pop_back();
  Loaded loaded = load(input(contents));
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + tooShort("/features", 6143, 6144, path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.epochs, 0u);
  EXPECT_TRUE(loaded.data.stimuli.empty());

  // More codes than stimuli: the epochs follow "/codes", so the features must too.
  contents = smallInput(2, 3);
  contents.codes.push_back(0);
  loaded = load(input(contents));
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + tooShort("/features", 6144, 7168, path));
  EXPECT_FALSE(loaded.complete);

  // Values beyond the codes are ignored.
  contents = smallInput(2, 3);
  contents.features.resize(contents.features.size() + 1500, 99.0);
  loaded = load(input(contents));
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  EXPECT_EQ(loaded.epochs, 6u);
  EXPECT_EQ(loaded.sample(7, 5, 127), 6143.5f);
}

TEST_F(DatasetLoaderTest, CompressedAndBigEndianFilesGiveTheSameTables) {
  InputFileContents contents = smallInput(3, 4);
  contents.features[5] = 0.1;
  contents.features[6] = -1e300;
  contents.erpLabels[2] = -2.75;
  const Loaded plain = load(input(contents));
  ASSERT_EQ(plain.out, msg::kFileOpened);
  const std::pair<bool, bool> variants[] = {{true, false}, {false, true}, {true, true}};
  for (const auto& [compressed, bigEndian] : variants) {
    SCOPED_TRACE(std::string(compressed ? "compressed " : "") + (bigEndian ? "big-endian" : ""));
    contents.chunkedCompressed = compressed;
    contents.bigEndian = bigEndian;
    // A file of its own: the loaded epochs keep reading from the first one.
    const std::string otherPath =
        dir.file(std::to_string(compressed) + std::to_string(bigEndian) + ".hdf5");
    writeInputFile(otherPath, contents);
    const Loaded other = load(otherPath);
    EXPECT_EQ(other.out, plain.out);
    EXPECT_EQ(other.complete, plain.complete);
    expectSameInput(other, plain);
  }
  EXPECT_EQ(plain.sample(5, 0, 0), 0.1f);
  EXPECT_EQ(plain.data.stimuli[2].label, -2);
}

TEST_F(DatasetLoaderTest, StoredShapeAndWidthDoNotMatter) {
  InputFileContents contents = smallInput(2, 3);
  const Loaded plain = load(input(contents));

  const hsize_t n = contents.codes.size();
  replaceDataset(path, "/features", H5T_IEEE_F64LE, {n, 128, 8}, H5T_NATIVE_DOUBLE,
                 contents.features.data());
  replaceDataset(path, "/target", H5T_STD_I32LE, {2, 7}, H5T_NATIVE_INT32, contents.target.data());
  replaceDataset(path, "/matrix_dims", H5T_STD_I32BE, {1, 2}, H5T_NATIVE_INT32,
                 contents.matrixDims.data());
  const std::vector<int64_t> codes(contents.codes.begin(), contents.codes.end());
  replaceDataset(path, "/codes", H5T_STD_I64LE, {n}, H5T_NATIVE_INT64, codes.data());
  const std::vector<int16_t> subjects(contents.subjects.begin(), contents.subjects.end());
  replaceDataset(path, "/subjects", H5T_STD_I16BE, {n}, H5T_NATIVE_INT16, subjects.data());
  const std::vector<float> labels(contents.erpLabels.begin(), contents.erpLabels.end());
  replaceDataset(path, "/erp_labels", H5T_IEEE_F32LE, {n}, H5T_NATIVE_FLOAT, labels.data());

  const Loaded reshaped = load(path);
  EXPECT_EQ(reshaped.out, msg::kFileOpened);
  EXPECT_TRUE(reshaped.complete);
  expectSameInput(reshaped, plain);
}

TEST_F(DatasetLoaderTest, EpochsAreReadFromAnyStoredShape) {
  InputFileContents contents = smallInput(2, 3);
  // 6400 values: more than the 6 epochs need, so rows cross epoch boundaries.
  std::vector<double> features(6400);
  for (size_t i = 0; i < features.size(); ++i) features[i] = static_cast<double>(i) + 0.5;
  struct Storage {
    std::vector<hsize_t> dims, chunk;
    hid_t type;
  };
  const Storage storages[] = {{{6400}, {}, H5T_IEEE_F64LE},
                              {{6400}, {1000}, H5T_IEEE_F64LE},
                              {{6400}, {}, H5T_IEEE_F64BE},
                              {{6400}, {}, H5T_IEEE_F32LE},
                              {{800, 8}, {}, H5T_IEEE_F64BE},
                              {{800, 8}, {3, 5}, H5T_IEEE_F64LE},
                              {{25, 32, 8}, {2, 7, 5}, H5T_IEEE_F64LE},
                              {{25, 32, 8}, {}, H5T_IEEE_F64BE},
                              {{2, 2, 200, 8}, {1, 1, 150, 8}, H5T_IEEE_F64LE},
                              {{1, 2, 1, 400, 8}, {1, 1, 1, 300, 8}, H5T_IEEE_F64LE},
                              {{6, 128, 8}, {}, H5T_IEEE_F64LE}};
  for (const Storage& storage : storages) {
    std::string shape;
    for (const hsize_t d : storage.dims) shape += std::to_string(d) + " ";
    SCOPED_TRACE(shape + (storage.chunk.empty() ? "contiguous" : "chunked"));
    writeInputFile(path, contents);
    replaceDataset(path, "/features", storage.type, storage.dims, H5T_NATIVE_DOUBLE,
                   features.data(), storage.chunk);
    const Loaded loaded = load(path);
    ASSERT_EQ(loaded.out, msg::kFileOpened);
    ASSERT_EQ(loaded.epochs, 6u);
    size_t wrong = 0;
    for (size_t i = 0; i < 6 * 1024; ++i) {
      if (loaded.samples[i] != static_cast<float>(i) + 0.5f) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(loaded.sample(6, 3, 100), 3072 + 800 + 6 + 0.5f);
  }
}

TEST_F(DatasetLoaderTest, IntegerTablesHold32BitIntegers) {
  // Stored wider or as floats, a value that is no 32-bit integer would be
  // clipped or truncated into another stimulus's number.
  struct Case {
    const char* name;
    hid_t fileType, memType;
    std::vector<hsize_t> dims, chunk;
    std::vector<double> values;  // written through memType
    std::string reason;
  };
  const double big = 4294967296.0;  // 2^32
  const std::vector<Case> cases = {
      {"/subjects",
       H5T_STD_I64LE,
       H5T_NATIVE_INT64,
       {6},
       {},
       {0, 0, 0, big, big + 1, 0},
       "its value 4294967296 at index 3 is not a 32-bit integer"},
      {"/database_ids",
       H5T_STD_U32BE,
       H5T_NATIVE_UINT32,
       {6},
       {},
       {0, 0, 2147483648.0, 2147483649.0, 0, 0},
       "its value 2147483648 at index 2 is not a 32-bit integer"},
      {"/trials",
       H5T_IEEE_F32LE,
       H5T_NATIVE_DOUBLE,
       {6},
       {},
       {0, 0.5, 0, 1, 1, 1},
       "its value 0.5 at index 1 is not a 32-bit integer"},
      {"/codes",
       H5T_IEEE_F64LE,
       H5T_NATIVE_DOUBLE,
       {6},
       {},
       {0, 1, std::nan(""), 3, 4, 5},
       "its value nan at index 2 is not a 32-bit integer"},
      {"/run_indexes",
       H5T_IEEE_F64BE,
       H5T_NATIVE_DOUBLE,
       {6},
       {},
       {0, 0, 0, 0, -HUGE_VAL, 0},
       "its value -inf at index 4 is not a 32-bit integer"},
      {"/sequences",
       H5T_STD_I64BE,
       H5T_NATIVE_INT64,
       {6},
       {},
       {0, 0, 0, 0, 0, -2147483649.0},
       "its value -2147483649 at index 5 is not a 32-bit integer"},
      {"/matrix_indexes",
       H5T_STD_U64LE,
       H5T_NATIVE_UINT64,
       {6},
       {},
       {0, 0, 0, 0, 0, 1e19},
       "its value 10000000000000000000 at index 5 is not a 32-bit integer"},
      {"/matrix_dims",
       H5T_IEEE_F64LE,
       H5T_NATIVE_DOUBLE,
       {2},
       {},
       {6, 6.25},
       "its value 6.25 at index 1 is not a 32-bit integer"},
      {"/target",
       H5T_IEEE_F64LE,
       H5T_NATIVE_DOUBLE,
       {2, 7},
       {1, 7},
       {0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 1, 0, 1, HUGE_VAL},
       "its value inf at index 13 is not a 32-bit integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeInputFile(path, smallInput(2, 3));
    std::vector<unsigned char> bytes(c.values.size() * 8);
    for (size_t i = 0; i < c.values.size(); ++i) {
      const double v = c.values[i];
      if (c.memType == H5T_NATIVE_INT64) {
        const int64_t x = static_cast<int64_t>(v);
        std::memcpy(&bytes[i * 8], &x, 8);
      } else if (c.memType == H5T_NATIVE_UINT64) {
        const uint64_t x = static_cast<uint64_t>(v);
        std::memcpy(&bytes[i * 8], &x, 8);
      } else if (c.memType == H5T_NATIVE_UINT32) {
        const uint32_t x = static_cast<uint32_t>(v);
        std::memcpy(&bytes[i * 4], &x, 4);
      } else {
        std::memcpy(&bytes[i * 8], &v, 8);
      }
    }
    replaceDataset(path, c.name, c.fileType, c.dims, c.memType, bytes.data(), c.chunk);
    const Loaded loaded = load(path);
    std::string expected = std::string(msg::kFileOpened) + unreadable(c.name, path, c.reason);
    const std::string name = c.name;
    const bool table = name == "/matrix_dims" || name == "/target" || name == "/matrix_indexes";
    if (!table) expected += tooShort(c.name, 0, 6, path);
    EXPECT_EQ(loaded.out, expected);
    EXPECT_FALSE(loaded.complete);
    EXPECT_EQ(loaded.data.stimuli.size(), table ? 6u : 0u);
    EXPECT_EQ(loaded.data.sessionLayouts.size(), name == "/matrix_dims" ? 0u : 1u);
    EXPECT_EQ(loaded.data.targets.size(), name == "/target" ? 0u : 2u);
  }

  // Whole floats and wider integers in range are taken as they are.
  writeInputFile(path, smallInput(2, 3));
  const Loaded plain = load(path);
  const double trials[] = {0, 0, -0.0, 1, 1, 1};
  replaceDataset(path, "/trials", H5T_IEEE_F32BE, {6}, H5T_NATIVE_DOUBLE, trials);
  const int64_t subjects[] = {0, 0, 0, 0, 0, 0};
  replaceDataset(path, "/subjects", H5T_STD_I64LE, {6}, H5T_NATIVE_INT64, subjects);
  const uint32_t codes[] = {0, 5, 10, 3, 8, 1};
  replaceDataset(path, "/codes", H5T_STD_U32LE, {6}, H5T_NATIVE_UINT32, codes);
  const Loaded wide = load(path);
  EXPECT_EQ(wide.out, msg::kFileOpened);
  expectSameInput(wide, plain);

  // The first bad value in storage order is named, though the dataset is
  // read in boxes that do not come in that order.
  std::vector<int64_t> many(600, 0);
  many[300] = -5000000000;  // in the first box read
  many[256] = 5000000000;   // in the second
  writeInputFile(path, smallInput(2, 3));
  replaceDataset(path, "/matrix_indexes", H5T_STD_I64LE, {2, 300}, H5T_NATIVE_INT64, many.data(),
                 {2, 1});
  EXPECT_EQ(load(path).out,
            std::string(msg::kFileOpened) +
                unreadable("/matrix_indexes", path,
                           "its value 5000000000 at index 256 is not a 32-bit integer"));
}

TEST_F(DatasetLoaderTest, ShapesThatContradictTheOrderAreRefused) {
  InputFileContents contents = smallInput(2, 3);
  contents.matrixDims = {6, 6, 6, 6, 6, 6};
  writeInputFile(path, contents);
  const Loaded plain = load(path);
  ASSERT_EQ(plain.out, msg::kFileOpened);

  // Channels first, as many EEG tools write epochs, and transposed tables.
  const std::string another = ": its values are in another order";
  replaceDataset(path, "/features", H5T_IEEE_F64LE, {6, 8, 128}, H5T_NATIVE_DOUBLE,
                 contents.features.data());
  replaceDataset(path, "/target", H5T_STD_I32LE, {7, 2}, H5T_NATIVE_INT32, contents.target.data());
  replaceDataset(path, "/matrix_dims", H5T_STD_I32LE, {2, 3}, H5T_NATIVE_INT32,
                 contents.matrixDims.data());
  Loaded loaded = load(path);
  EXPECT_EQ(loaded.out,
            std::string(msg::kFileOpened) +
                unreadable("/features", path,
                           "it has the shape (6, 8, 128), whose last dimension of 128 is neither "
                           "the 8 channel values of one sample nor the 1024 values of one epoch" +
                               another) +
                unreadable("/matrix_dims", path,
                           "it has the shape (2, 3), whose last dimension of 3 is not the 2 values "
                           "(rows, columns) of one session" +
                               another) +
                unreadable("/target", path,
                           "it has the shape (7, 2), whose last dimension of 2 is not the 7 values "
                           "of one trial" +
                               another) +
                tooShort("/features", 0, 6144, path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.epochs, 0u);
  EXPECT_TRUE(loaded.data.sessionLayouts.empty());
  EXPECT_TRUE(loaded.data.targets.empty());
  {
    const std::shared_ptr<InputFile> file = InputFile::open(path).file;
    ASSERT_TRUE(file);
    EXPECT_EQ(surveyDataset(*file, "/features").refusal,
              "it has the shape (6, 8, 128), whose last dimension of 128 is neither the 8 channel "
              "values of one sample nor the 1024 values of one epoch" +
                  another);
    EXPECT_EQ(surveyDataset(*file, "/codes").refusal, "");
  }
  // Channels in rows of their own: samples fastest.
  replaceDataset(path, "/features", H5T_IEEE_F64LE, {48, 128}, H5T_NATIVE_DOUBLE,
                 contents.features.data());
  EXPECT_NE(load(path).out.find("it has the shape (48, 128), whose last dimension of 128"),
            std::string::npos);

  // The documented order, dimensions merged, split or of one entry, converts.
  struct Shape {
    const char* name;
    std::vector<hsize_t> dims;
  };
  const Shape sound[] = {{"/features", {6 * 128, 8}},
                         {"/features", {6, 1024}},
                         {"/features", {3, 2, 128, 8}},
                         {"/features", {1, 6, 128, 8, 1}},
                         {"/features", {6 * 1024, 1}},
                         {"/target", {2, 7}},
                         {"/target", {1, 14}},
                         {"/target", {2, 1, 7}},
                         {"/matrix_dims", {3, 2}},
                         {"/matrix_dims", {1, 3, 2, 1}},
                         {"/codes", {2, 3}},
                         {"/codes", {3, 2}}};
  for (const Shape& shape : sound) {
    SCOPED_TRACE(std::string(shape.name) + " " + shapeTuple(shape.dims));
    writeInputFile(path, contents);
    const std::string name = shape.name;
    if (name == "/features") {
      replaceDataset(path, shape.name, H5T_IEEE_F64LE, shape.dims, H5T_NATIVE_DOUBLE,
                     contents.features.data());
    } else {
      const std::vector<int32_t>& values = name == "/target"        ? contents.target
                                           : name == "/matrix_dims" ? contents.matrixDims
                                                                    : contents.codes;
      replaceDataset(path, shape.name, H5T_STD_I32LE, shape.dims, H5T_NATIVE_INT32, values.data());
    }
    loaded = load(path);
    EXPECT_EQ(loaded.out, msg::kFileOpened);
    expectSameInput(loaded, plain);
  }
}

TEST_F(DatasetLoaderTest, WhatStandsInPlaceOfADatasetIsNamed) {
  writeInputFile(path, smallInput(2, 3));
  {
    const Hid file = fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    H5Ldelete(file.get(), "/codes", H5P_DEFAULT);
    H5Gclose(H5Gcreate2(file.get(), "/codes", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Ldelete(file.get(), "/target", H5P_DEFAULT);
    H5Lcreate_soft("/nowhere", file.get(), "/target", H5P_DEFAULT, H5P_DEFAULT);
    H5Ldelete(file.get(), "/matrix_dims", H5P_DEFAULT);
    const Hid type = datatypeHandle(H5Tcopy(H5T_STD_I32LE));
    H5Tcommit2(file.get(), "/matrix_dims", type.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    H5Ldelete(file.get(), "/trials", H5P_DEFAULT);
  }
  const Loaded loaded = load(path);
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + missing("/codes") +
                            missing("/matrix_dims") + missing("/target") + missing("/trials") +
                            tooShort("/codes", 0, 6, path) + tooShort("/trials", 0, 6, path));
  EXPECT_EQ(loaded.notes,
            (std::vector<std::string>{
                "erp2npx: /codes of " + path + " is a group, not a dataset",
                "erp2npx: /matrix_dims of " + path + " is a named datatype, not a dataset",
                "erp2npx: /target of " + path +
                    " is a soft link to \"/nowhere\", which leads nowhere in the file"}));

  // The file itself: not HDF5 at all, or cut short.
  test::writeTextFile(path, "not an HDF5 file\n");
  EXPECT_EQ(load(path).notes,
            std::vector<std::string>{"erp2npx: " + path + " is not an HDF5 file"});
  writeInputFile(path, smallInput(2, 3));
  ASSERT_EQ(truncate(path.c_str(), 3000), 0);
  EXPECT_EQ(load(path).notes,
            std::vector<std::string>{"erp2npx: " + path +
                                     " is truncated: its 3000 bytes are fewer than its own "
                                     "records say it holds"});
  EXPECT_EQ(load(dir.file("none.hdf5")).notes,
            std::vector<std::string>{"erp2npx: " + dir.file("none.hdf5") +
                                     " cannot be opened: No such file or directory"});
}

// Copies every dataset of an input file into a new file whose data start
// after a user block, as some tools write them.
void copyWithUserBlock(const std::string& from, const std::string& to, hsize_t userBlock) {
  const Hid source = fileHandle(H5Fopen(from.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  const Hid target = input_writer::createFile(to, userBlock);
  if (!source.valid() || !target.valid()) throw std::runtime_error("cannot copy " + from);
  for (const char* name : kDatasets) {
    if (H5Ocopy(source.get(), name, target.get(), name, H5P_DEFAULT, H5P_DEFAULT) < 0) {
      throw std::runtime_error(std::string("cannot copy ") + name);
    }
  }
}

TEST_F(DatasetLoaderTest, FileWithAUserBlock) {
  const InputFileContents contents = smallInput(2, 3);
  writeInputFile(path, contents);
  const Loaded plain = load(path);
  const std::string shifted = dir.file("shifted.hdf5");
  copyWithUserBlock(path, shifted, 4096);
  const Loaded loaded = load(shifted);
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  expectSameInput(loaded, plain);
  EXPECT_EQ(loaded.sample(2, 1, 0), 1026.5f);
}

TEST_F(DatasetLoaderTest, DatasetsInExternalFilesAreRefused) {
  const InputFileContents contents = smallInput(2, 3);
  writeInputFile(path, contents);

  // The external files are named relative to the working directory.
  char before[4096];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  const std::string moved = dir.file("external.hdf5");
  {
    const Hid file = input_writer::createFile(moved);
    const Hid source = fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    for (const char* name : kDatasets) {
      if (std::string(name) != "/features" && std::string(name) != "/trials") {
        H5Ocopy(source.get(), name, file.get(), name, H5P_DEFAULT, H5P_DEFAULT);
      }
    }
    const auto external = [&](const char* name, const char* store, hid_t type, hsize_t count,
                              hid_t memType, const void* data, size_t width) {
      input_writer::Layout layout;
      layout.dims = {count};
      layout.external = store;
      layout.externalBytes = count * width;
      ASSERT_TRUE(
          input_writer::writeDataset(file.get(), name, type, layout, memType, data).valid());
    };
    external("/features", "features.raw", H5T_IEEE_F64LE, contents.features.size(),
             H5T_NATIVE_DOUBLE, contents.features.data(), 8);
    external("/trials", "trials.raw", H5T_STD_I32LE, contents.trials.size(), H5T_NATIVE_INT32,
             contents.trials.data(), 4);
  }
  const Loaded loaded = load(moved);
  ASSERT_EQ(chdir(before), 0);

  // Values kept in other files are never read: the file alone is the input.
  EXPECT_EQ(loaded.out,
            std::string(msg::kFileOpened) +
                unreadable("/features", moved,
                           "its values are stored outside the input file, in \"features.raw\"") +
                unreadable("/trials", moved,
                           "its values are stored outside the input file, in \"trials.raw\"") +
                tooShort("/trials", 0, 6, moved) + tooShort("/features", 0, 6144, moved));
  EXPECT_FALSE(loaded.complete);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_EQ(loaded.epochs, 0u);

  // Access properties that do not take the guard against external links (a
  // file's, not a dataset's): the dataset is refused, never opened unguarded.
  const std::shared_ptr<InputFile> file = InputFile::open(moved).file;
  ASSERT_TRUE(file);
  const Hid fileAccess = propertyListHandle(H5Pcreate(H5P_FILE_ACCESS));
  const OpenedDataset opened = openInputDataset(*file, "/codes", fileAccess.get());
  EXPECT_EQ(opened.found, OpenedDataset::Found::kRefused);
  EXPECT_EQ(opened.refusal, "the library cannot be set to refuse external links on the way to it");
  EXPECT_FALSE(opened.dataset.valid());
}

TEST_F(DatasetLoaderTest, DatasetWithoutStorageCountsZero) {
  InputFileContents contents = smallInput(2, 3);
  writeInputFile(path, contents);
  replaceDataset(path, "/matrix_dims", H5T_STD_I32LE, {2}, H5T_NATIVE_INT32, nullptr);
  replaceDataset(path, "/target", H5T_STD_I32LE, {14}, H5T_NATIVE_INT32, nullptr);
  Loaded loaded = load(path);
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  EXPECT_TRUE(loaded.data.sessionLayouts.empty());
  EXPECT_TRUE(loaded.data.targets.empty());
  EXPECT_EQ(loaded.data.stimulusCount, 6u);

  // "/trials" is the last dataset that sets the stimulus count, even to 0.
  replaceDataset(path, "/trials", H5T_STD_I32LE, {6}, H5T_NATIVE_INT32, nullptr);
  loaded = load(path);
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_TRUE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 0u);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_EQ(loaded.epochs, 6u);

  // Empty datasets count 0 as well.
  contents.trials.clear();
  contents.target.clear();
  loaded = load(input(contents));
  EXPECT_EQ(loaded.out, msg::kFileOpened);
  EXPECT_EQ(loaded.data.stimulusCount, 0u);
  EXPECT_TRUE(loaded.data.targets.empty());
}

TEST_F(DatasetLoaderTest, DatasetThatCannotBeReadIsTreatedAsMissing) {
  writeInputFile(path, smallInput(2, 3));
  replaceWithStrings(path, "/target", 14);
  Loaded loaded = load(path);
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + unreadable("/target", path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_TRUE(loaded.data.targets.empty());
  EXPECT_EQ(loaded.data.stimuli.size(), 6u);
  EXPECT_EQ(loaded.epochs, 6u);
  EXPECT_EQ(loaded.data.sessionLayouts.size(), 1u);

  // Samples that are not numbers give no epochs, whatever their count.
  writeInputFile(path, smallInput(2, 3));
  replaceWithStrings(path, "/features", 6 * 1024);
  loaded = load(path);
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + unreadable("/features", path) +
                            tooShort("/features", 0, 6 * 1024, path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_TRUE(loaded.data.stimuli.empty());
  EXPECT_EQ(loaded.epochs, 0u);

  // Only its count would have been used: the rest of the file loads in full.
  writeInputFile(path, smallInput(2, 3));
  replaceWithStrings(path, "/matrix_indexes", 6);
  loaded = load(path);
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + unreadable("/matrix_indexes", path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 6u);
  EXPECT_EQ(loaded.data.stimuli.size(), 6u);
  EXPECT_EQ(loaded.epochs, 6u);

  // An unreadable counting dataset sets no count; its column is then short.
  writeInputFile(path, smallInput(2, 3));
  replaceWithStrings(path, "/codes", 6);
  replaceWithStrings(path, "/features", 6 * 1024);
  loaded = load(path);
  EXPECT_EQ(loaded.out, std::string(msg::kFileOpened) + unreadable("/codes", path) +
                            unreadable("/features", path) + tooShort("/codes", 0, 6, path));
  EXPECT_FALSE(loaded.complete);
  EXPECT_EQ(loaded.data.stimulusCount, 6u);
  EXPECT_EQ(loaded.epochs, 0u);
}

TEST_F(DatasetLoaderTest, UnreadableDatasetFailsTheRun) {
  writeInputFile(path, smallInput(2, 3));
  replaceWithStrings(path, "/erp_labels", 6);
  const test::RunResult run = test::runProgram(test::converterPath(), dir.path);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, std::string(msg::kFileOpened) +
                         unreadable("/erp_labels", "QUOLMET ERP-BCI.hdf5") +
                         tooShort("/erp_labels", 0, 6, "QUOLMET ERP-BCI.hdf5") +
                         "NumStimuli: 6\nNumSessions: 1\nNumTrials: 2\n"
                         "NumDB: 0\nNumSubjects: 0\nNumLayouts: 1\nNumTrials: 0\n");
  EXPECT_EQ(test::listTree(dir.path).size(), 1u);
}

}  // namespace
}  // namespace erp2npx
