// Whole runs of the converter, seen from the input side: what it reads, from
// where, what it reports about it and which exit value that gives.

#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/conversion_run.h"
#include "input/hdf5_handle.h"
#include "input_writer.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

namespace fs = std::filesystem;

const char* const kInput = "QUOLMET ERP-BCI.hdf5";
const char* const kOpened = "\nFile successfully opened!!!!\n\n";
const char* const kDatasets[] = {"/codes",       "/database_ids",   "/erp_labels",  "/features",
                                 "/matrix_dims", "/matrix_indexes", "/run_indexes", "/sequences",
                                 "/subjects",    "/target",         "/trials"};
const char* const kSubjectFile =
    "Study\tSubject\tSessions\tSex\tAge\tCondition\tTrials\n"
    "S1\t1\t1\tF\t30\thealthy\t2\n";

// A run inside the test program looks for the encoder files beside the test
// program, where there are none; those lines are not what it checks.
std::string withoutEncoderLines(const std::string& out) {
  std::istringstream in(out);
  std::string result, line;
  while (std::getline(in, line)) {
    if (line.rfind("Unable to load the Encoder file: ", 0) != 0) result += line + "\n";
  }
  return result;
}

struct Sample {
  int stimuli = -1, databases = -1, subjects = -1, sessions = -1, trials = -1;
};

// Writes the generator's collection into directory and returns its sizes.
Sample generate(const std::string& directory, const std::vector<std::string>& options = {}) {
  std::vector<std::string> arguments = {"--out", directory};
  arguments.insert(arguments.end(), options.begin(), options.end());
  const RunResult run = runProgram(ERP2NPX_GENERATOR, directory, arguments);
  Sample sample;
  const size_t at = run.out.find(".hdf5: ");
  if (run.exitCode != 0 || at == std::string::npos) {
    ADD_FAILURE() << "generator failed: " << run.out;
    return sample;
  }
  std::sscanf(run.out.c_str() + at,
              ".hdf5: %d stimuli, %d databases, %d subjects, %d sessions, "
              "%d trials",
              &sample.stimuli, &sample.databases, &sample.subjects, &sample.sessions,
              &sample.trials);
  return sample;
}

// The output tree below root: every file but the inputs, with its contents.
std::map<std::string, std::string> outputTree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& [name, size] : listTree(root)) {
    if (name == kInput || name == "DataSets.txt") continue;
    files[name] = readFile(root + "/" + name);
  }
  return files;
}

void expectSameTree(const std::string& actualRoot, const std::string& expectedRoot) {
  const auto actual = outputTree(actualRoot);
  const auto expected = outputTree(expectedRoot);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(listTree(actualRoot).size(), listTree(expectedRoot).size());
  for (const auto& [name, contents] : expected) {
    const auto it = actual.find(name);
    if (it == actual.end()) {
      ADD_FAILURE() << name << " is missing";
    } else {
      EXPECT_TRUE(it->second == contents) << name << " differs";
    }
  }
  for (const auto& entry : actual) EXPECT_TRUE(expected.count(entry.first)) << entry.first;
}

// The walk's lines that the files of an output tree imply, in walk order.
std::string processingLinesOf(const std::string& root) {
  std::string lines, database, subject;
  for (const auto& [name, contents] : outputTree(root)) {
    const fs::path path(name);
    const std::string db = path.begin()->string();
    const std::string sub = std::next(path.begin())->string();
    if (db != database) lines += "Processing " + db + "\\\n";
    if (db != database || sub != subject) lines += "\tProcessing " + sub + "\\\n";
    database = db;
    subject = sub;
    if (path.extension() == ".bin") lines += "\t\tProcessing " + path.filename().string() + "\n";
  }
  return lines;
}

std::string counts(uint64_t stimuli, uint64_t sessions, uint64_t trials) {
  return "NumStimuli: " + std::to_string(stimuli) + "\nNumSessions: " + std::to_string(sessions) +
         "\nNumTrials: " + std::to_string(trials) + "\n";
}

std::string closing(uint64_t databases, uint64_t subjects, uint64_t layouts, uint64_t trials) {
  return "NumDB: " + std::to_string(databases) + "\nNumSubjects: " + std::to_string(subjects) +
         "\nNumLayouts: " + std::to_string(layouts) + "\nNumTrials: " + std::to_string(trials) +
         "\n";
}

const std::string kSmallRun = std::string(kOpened) + counts(6, 1, 2) +
                              "Processing DB_00\\\n\tProcessing Subject_01\\\n"
                              "\t\tProcessing Subj01_01_06_06.bin\n" +
                              closing(1, 1, 1, 2);

// A folder with the small input and a subject file.
void writeSmallInput(const TempDir& dir, const InputFileContents& contents = smallInput()) {
  writeInputFile(dir.file(kInput), contents);
  writeTextFile(dir.file("DataSets.txt"), kSubjectFile);
}

bool holdsOnlyTheInput(const std::string& root) {
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name != kInput && name != "DataSets.txt") return false;
  }
  return true;
}

TEST(InputEndToEnd, CompleteInputReportsInOrder) {
  TempDir work;
  const Sample sample = generate(work.path);
  ASSERT_GT(sample.stimuli, 0);
  const RunResult run = runProgram(converterPath(), work.path);
  EXPECT_EQ(run.exitCode, 0);
  // The generator's layouts are 6x6, 4x5 and 6x7.
  const std::string expected =
      std::string(kOpened) + counts(sample.stimuli, sample.sessions, sample.trials) +
      processingLinesOf(work.path) + closing(sample.databases, sample.subjects, 3, sample.trials);
  EXPECT_EQ(run.out, expected);

  // Every session has its pair of files.
  const auto tree = listTree(work.path);
  int sessions = 0;
  for (const auto& [name, size] : tree) {
    if (fs::path(name).extension() != ".bin") continue;
    ++sessions;
    EXPECT_GT(size, 160u) << name;
    EXPECT_TRUE(tree.count(fs::path(name).replace_extension(".npx").string())) << name;
  }
  EXPECT_EQ(sessions, sample.sessions);
}

TEST(InputEndToEnd, NoInputFile) {
  const std::string eightLines =
      "Unable to open the file: QUOLMET ERP-BCI.hdf5\n" + counts(0, 0, 0) + closing(0, 0, 0, 0);
  {
    TempDir work;
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, eightLines);
    EXPECT_TRUE(fs::is_empty(work.path));
  }
  {
    // A run that converts nothing fails, whatever else is there.
    TempDir work;
    writeTextFile(work.file("DataSets.txt"), kSubjectFile);
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, eightLines);
    EXPECT_EQ(listTree(work.path).size(), 1u);
    EXPECT_TRUE(holdsOnlyTheInput(work.path));
  }
  {
    TempDir work;
    writeTextFile(work.file(kInput), "plain text, not HDF5\n");
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, eightLines);
    EXPECT_TRUE(holdsOnlyTheInput(work.path));
  }
}

TEST(InputEndToEnd, TheLibrarysOwnErrorReportNeverReachesTheUser) {
  // Standard output keeps its fixed lines; the cause is named once on
  // standard error, in the run's own words.
  const std::string eightLines =
      "Unable to open the file: QUOLMET ERP-BCI.hdf5\n" + counts(0, 0, 0) + closing(0, 0, 0, 0);
  {
    TempDir work;
    writeTextFile(work.file(kInput), "plain text, not HDF5\n");
    const RunResult run = runProgramWith(converterPath(), work.path, {});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, eightLines);
    EXPECT_EQ(run.err, "erp2npx: QUOLMET ERP-BCI.hdf5 is not an HDF5 file\n");
  }
  {
    TempDir work;
    writeSmallInput(work);
    ASSERT_EQ(truncate(work.file(kInput).c_str(), 4000), 0);
    const RunResult run = runProgramWith(converterPath(), work.path, {});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, eightLines);
    EXPECT_EQ(run.err,
              "erp2npx: QUOLMET ERP-BCI.hdf5 is truncated: its 4000 bytes are fewer than its own "
              "records say it holds\n");
  }
  {
    // A group where a dataset belongs, and a link into another file.
    TempDir work;
    writeSmallInput(work);
    input_writer::createFile(work.file("other.hdf5"));
    storeDataset(work.file("other.hdf5"), "/target", smallInput().target, Stored{});
    {
      const Hid file = input_writer::openFile(work.file(kInput));
      H5Ldelete(file.get(), "/codes", H5P_DEFAULT);
      H5Gclose(H5Gcreate2(file.get(), "/codes", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
      H5Ldelete(file.get(), "/target", H5P_DEFAULT);
      input_writer::externalLink(file.get(), "/target", "other.hdf5", "/target");
    }
    const RunResult run = runProgramWith(converterPath(), work.path, {});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, std::string(kOpened) + "\n\nNOOOO codes!!!!\n\n" +
                           "Unable to read the dataset /target of QUOLMET ERP-BCI.hdf5: it is "
                           "reached through an external link to the file \"other.hdf5\", "
                           "outside the input file; it is treated as missing\n"
                           "The dataset /codes holds 0 values where 6 are needed: nothing of "
                           "QUOLMET ERP-BCI.hdf5 is converted\n" +
                           counts(6, 1, 0) + closing(0, 0, 1, 0));
    EXPECT_EQ(run.err, "erp2npx: /codes of QUOLMET ERP-BCI.hdf5 is a group, not a dataset\n");
  }
}

TEST(InputEndToEnd, InputThatIsNotARegularFile) {
  // A FIFO would hold the run until a writer came; neither it nor a
  // directory of that name is opened.
  const std::pair<std::string, std::string> kinds[] = {{"FIFO", "a FIFO"},
                                                       {"directory", "a directory"}};
  for (const auto& [kind, named] : kinds) {
    TempDir work;
    if (kind == "FIFO") {
      ASSERT_EQ(mkfifo(work.file(kInput).c_str(), 0644), 0);
    } else {
      fs::create_directory(work.file(kInput));
    }
    const RunResult run = runProgram("timeout", work.path, {"20", converterPath()});
    EXPECT_EQ(run.exitCode, 1) << kind;
    EXPECT_EQ(run.out,
              "Unable to open the file: QUOLMET ERP-BCI.hdf5\n"
              "The input file QUOLMET ERP-BCI.hdf5 is not read: it is " +
                  named + ", not a regular file\n" + counts(0, 0, 0) + closing(0, 0, 0, 0));
  }
}

// Whether any file of the output tree below root holds these bytes.
bool outputHolds(const std::string& root, const std::string& bytes) {
  for (const auto& [name, contents] : outputTree(root)) {
    if (name.rfind("DB_", 0) == 0 && contents.find(bytes) != std::string::npos) return true;
  }
  return false;
}

std::string bytesOf(float value) { return std::string(reinterpret_cast<char*>(&value), 4); }

TEST(InputEndToEnd, ValuesFromOutsideTheInputFileAreNeverRead) {
  const InputFileContents contents = smallInput();
  const std::string nothingConverted = counts(6, 1, 2) + closing(0, 0, 1, 0);
  const std::string opened = std::string(kOpened) + "Unable to read the dataset ";
  const std::string missingFeatures =
      "; it is treated as missing\nThe dataset /features holds 0 values where 6144 are "
      "needed: nothing of QUOLMET ERP-BCI.hdf5 is converted\n";
  const std::vector<double> foreign(contents.features.size(), 777.25);
  {
    // Raw values in another file: here codes that would name event classes.
    TempDir work;
    writeSmallInput(work);
    Stored external;
    external.external = work.file("foreign.bin");
    storeDataset(work.file(kInput), "/codes", std::vector<int32_t>(6, 0x4E474946), external);
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, opened +
                           "/codes of QUOLMET ERP-BCI.hdf5: its values are stored outside "
                           "the input file, in \"" +
                           work.file("foreign.bin") +
                           "\"; it is treated as missing\nThe dataset /codes holds 0 values "
                           "where 6 are needed: nothing of QUOLMET ERP-BCI.hdf5 is converted\n" +
                           nothingConverted);
    EXPECT_FALSE(outputHolds(work.path, "FIGN"));
  }
  {
    // A link into another file that holds samples of its own.
    TempDir work;
    writeSmallInput(work);
    const std::string other = work.file("other.hdf5");
    input_writer::createFile(other);
    storeDataset(other, "/features", foreign, Stored{});
    {
      const Hid file = input_writer::openFile(work.file(kInput));
      H5Ldelete(file.get(), "/features", H5P_DEFAULT);
      ASSERT_GE(input_writer::externalLink(file.get(), "/features", "other.hdf5", "/features"), 0);
    }
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, opened +
                           "/features of QUOLMET ERP-BCI.hdf5: it is reached through an external "
                           "link to the file \"other.hdf5\", outside the input file" +
                           missingFeatures + nothingConverted);
    EXPECT_FALSE(outputHolds(work.path, bytesOf(777.25f)));
  }
  {
    // A virtual dataset, even of a dataset in the file itself; a soft link
    // inside the file is followed as ever.
    TempDir plain;
    writeSmallInput(plain);
    ASSERT_EQ(runProgram(converterPath(), plain.path).exitCode, 0);
    TempDir work;
    writeSmallInput(work);
    {
      const Hid file = input_writer::openFile(work.file(kInput));
      H5Gclose(H5Gcreate2(file.get(), "/stash", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
      H5Lmove(file.get(), "/features", file.get(), "/stash/features", H5P_DEFAULT, H5P_DEFAULT);
      input_writer::Layout mirror;
      mirror.dims = {contents.features.size()};
      mirror.virtualFile = ".";
      mirror.virtualDataset = "/stash/features";
      input_writer::createDataset(file.get(), "/features", H5T_IEEE_F64LE, mirror);
    }
    RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, opened +
                           "/features of QUOLMET ERP-BCI.hdf5: it is a virtual dataset, whose "
                           "values would come from other datasets" +
                           missingFeatures + nothingConverted);
    {
      const Hid file = input_writer::openFile(work.file(kInput));
      H5Ldelete(file.get(), "/features", H5P_DEFAULT);
      H5Lcreate_soft("/stash/features", file.get(), "/features", H5P_DEFAULT, H5P_DEFAULT);
    }
    run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kSmallRun);
    expectSameTree(work.path, plain.path);
  }
}

TEST(InputEndToEnd, UnwrittenChunksNeverReachTheOutput) {
  // Three sessions of one trial of two stimuli; two epochs to a chunk.
  InputFileContents contents = smallInput(3, 2);
  contents.runIndexes = {0, 0, 1, 1, 2, 2};
  contents.matrixDims = {6, 6, 6, 6, 6, 6};
  const std::string lost = bytesOf(-777.25f);
  {
    TempDir work;
    writeSmallInput(work, contents);
    Stored halfWritten;
    halfWritten.chunk = {2048};
    halfWritten.unwritten = {1};
    halfWritten.fill = -777.25;
    storeDataset(work.file(kInput), "/features", contents.features, halfWritten);
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, std::string(kOpened) +
                           "The dataset /features of QUOLMET ERP-BCI.hdf5 is only partly written "
                           "(2 of 3 chunks): sessions with epochs in the unwritten chunks are not "
                           "converted\n" +
                           counts(6, 3, 3) +
                           "Processing DB_00\\\n\tProcessing Subject_01\\\n"
                           "\t\tProcessing Subj01_01_06_06.bin\n"
                           "Session 1 of subject 0 in database 0 is not converted: some of its "
                           "epochs lie in chunks of /features that were never written\n"
                           "\t\tProcessing Subj01_03_06_06.bin\n" +
                           closing(1, 1, 1, 3));
    EXPECT_FALSE(exists(work.file("DB_00/Subject_01/Subj01_02_06_06.bin")));
    EXPECT_FALSE(outputHolds(work.path, lost));
#ifdef NPXCHECK_EXECUTABLE
    // Nor does the check take the tree for the whole input.
    const RunResult proof = runProgram(NPXCHECK_EXECUTABLE, work.path, {".", "--source", kInput});
    EXPECT_EQ(proof.exitCode, 1);
    EXPECT_NE(proof.out.find("chunks of /features that were never written"), std::string::npos)
        << proof.out;
#endif
  }
  {
    // A per-stimulus table is taken as its values before the first unwritten
    // chunk: too short, nothing is converted.
    TempDir work;
    writeSmallInput(work, contents);
    Stored halfWritten;
    halfWritten.chunk = {2};
    halfWritten.unwritten = {1};
    halfWritten.fill = 7;
    storeDataset(work.file(kInput), "/trials", contents.trials, halfWritten);
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, std::string(kOpened) +
                           "The dataset /trials of QUOLMET ERP-BCI.hdf5 is only partly written (2 "
                           "of 3 chunks): it is taken as its first 2 of 6 values\n"
                           "The dataset /trials holds 2 values where 6 are needed: nothing of "
                           "QUOLMET ERP-BCI.hdf5 is converted\n" +
                           counts(6, 3, 3) + closing(0, 0, 1, 0));
  }
  {
    // The target rows before the unwritten one still serve their sessions.
    TempDir work;
    writeSmallInput(work, contents);
    Stored halfWritten;
    halfWritten.dims = {3, 7};
    halfWritten.chunk = {1, 7};
    halfWritten.unwritten = {2};
    storeDataset(work.file(kInput), "/target", contents.target, halfWritten);
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("The dataset /target of QUOLMET ERP-BCI.hdf5 is only partly written (2 "
                           "of 3 chunks): it is taken as its first 14 of 21 values\n" +
                           counts(6, 3, 2)),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Session 2 of subject 0 in database 0 is not converted: its trial 2 "
                           "has no target in the input (it holds 2)\n"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(exists(work.file("DB_00/Subject_01/Subj01_02_06_06.npx")));
  }
}

TEST(InputEndToEnd, MemoryFollowsWhatIsStored) {
  if (underSanitizer()) GTEST_SKIP() << "the sanitizers reserve address space of their own";
  // 150,000 one-value chunks, all written: the library keeps kilobytes per
  // chunk of one read, so a whole-dataset read needs more than half a
  // gigabyte. A million declared, one written: nothing of it is read.
  TempDir work;
  writeSmallInput(work);
  Stored manyChunks;
  manyChunks.chunk = {1};
  storeDataset(work.file(kInput), "/matrix_indexes", std::vector<int32_t>(150000, 1), manyChunks);
  Stored oneWritten;
  oneWritten.chunk = {1};
  oneWritten.dims = {1000000};
  for (unsigned long long c = 1; c < 1000000; ++c) oneWritten.unwritten.insert(c);
  storeDataset(work.file(kInput), "/sequences", std::vector<int32_t>(1000000, 0), oneWritten);
  const RunResult run =
      runProgram("prlimit", work.path, {"--as=268435456", "timeout", "60", converterPath()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, std::string(kOpened) +
                         "The dataset /sequences of QUOLMET ERP-BCI.hdf5 is only partly written "
                         "(1 of 1000000 chunks): it is taken as its first 1 of 1000000 values\n"
                         "The dataset /sequences holds 1 values where 6 are needed: nothing of "
                         "QUOLMET ERP-BCI.hdf5 is converted\n" +
                         counts(6, 1, 2) + closing(0, 0, 1, 0));
}

TEST(InputEndToEnd, SmallCompleteInput) {
  TempDir work;
  writeSmallInput(work);
  const RunResult run = runProgram(converterPath(), work.path);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kSmallRun);
}

TEST(InputEndToEnd, EachMissingDataset) {
  TempDir complete;
  writeSmallInput(complete);
  ASSERT_EQ(runProgram(converterPath(), complete.path).exitCode, 0);

  for (const std::string name : kDatasets) {
    SCOPED_TRACE(name);
    TempDir work;
    InputFileContents contents = smallInput();
    contents.omit = {name};
    writeSmallInput(work, contents);
    const RunResult run = runProgram(converterPath(), work.path);
    const std::string& out = run.out;
    const std::string opened = std::string(kOpened) + "\n\nNOOOO " + name.substr(1) + "!!!!\n\n";

    if (name == "/matrix_indexes") {
      // Its values are never used, but a dataset of the input is missing.
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(out, opened + kSmallRun.substr(std::string(kOpened).size()));
      expectSameTree(work.path, complete.path);
    } else if (name == "/matrix_dims" || name == "/target") {
      // The tables are read, but their sessions cannot be written.
      const bool dims = name == "/matrix_dims";
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(out.rfind(opened + counts(6, dims ? 0 : 1, dims ? 2 : 0), 0), 0u) << out;
      const std::string end = closing(1, 1, dims ? 0 : 1, 2);
      ASSERT_GE(out.size(), end.size());
      EXPECT_EQ(out.substr(out.size() - end.size()), end);
      EXPECT_TRUE(outputTree(work.path).empty());
    } else {
      // A per-stimulus dataset, or the features: nothing can be converted.
      const std::string needed = name == "/features" ? "6144" : "6";
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(out, opened + "The dataset " + name + " holds 0 values where " + needed +
                         " are needed: nothing of QUOLMET ERP-BCI.hdf5 is converted\n" +
                         counts(6, 1, 2) + closing(0, 0, 1, 0));
      EXPECT_TRUE(holdsOnlyTheInput(work.path));
    }
  }
}

TEST(InputEndToEnd, InconsistentLengthsConvertNothing) {
  TempDir work;
  InputFileContents contents = smallInput();
  contents.subjects.pop_back();
  writeSmallInput(work, contents);
  const RunResult run = runProgram(converterPath(), work.path);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, std::string(kOpened) +
                         "The dataset /subjects holds 5 values where 6 are needed: nothing of "
                         "QUOLMET ERP-BCI.hdf5 is converted\n" +
                         counts(6, 1, 2) + closing(0, 0, 1, 0));
  EXPECT_TRUE(holdsOnlyTheInput(work.path));
}

TEST(InputEndToEnd, StorageVariantsGiveTheSameOutput) {
  // Whatever order the stimuli are stored in, contiguous, chunked and
  // compressed storage give the same tree: the library's read, unpacked
  // chunks and straight reads agree byte for byte.
  for (const std::string order : {"", "--reversed", "--scattered"}) {
    SCOPED_TRACE(order);
    const auto stored = [&](const char* option) {
      std::vector<std::string> options;
      if (option != nullptr) options.push_back(option);
      if (!order.empty()) options.push_back(order);
      return options;
    };
    TempDir plain;
    generate(plain.path, stored(nullptr));
    const RunResult plainRun = runProgram(converterPath(), plain.path);
    ASSERT_EQ(plainRun.exitCode, 0);
    for (const char* option : {"--compress", "--chunked"}) {
      SCOPED_TRACE(option);
      TempDir other;
      generate(other.path, stored(option));
      EXPECT_NE(readFile(other.file(kInput)), readFile(plain.file(kInput)));
      const RunResult run = runProgram(converterPath(), other.path);
      EXPECT_EQ(run.exitCode, 0);
      EXPECT_EQ(run.out, plainRun.out);
      expectSameTree(other.path, plain.path);
    }
  }

  TempDir little, big;
  writeSmallInput(little);
  InputFileContents contents = smallInput();
  contents.bigEndian = true;
  writeSmallInput(big, contents);
  const RunResult littleRun = runProgram(converterPath(), little.path);
  const RunResult bigRun = runProgram(converterPath(), big.path);
  EXPECT_EQ(bigRun.exitCode, 0);
  EXPECT_EQ(bigRun.out, littleRun.out);
  expectSameTree(big.path, little.path);
}

TEST(InputEndToEnd, TwentyThousandSessionsUnderALowOpenFileLimit) {
  // Two stimuli per session, every session's first before any second: all
  // sessions are in progress at once, with 16 descriptors for the process.
  constexpr int kSessions = 20000;
  InputFileContents contents;
  for (int s = 0; s < kSessions; ++s) {
    contents.matrixDims.insert(contents.matrixDims.end(), {6, 6});
    contents.target.insert(contents.target.end(), {0, 0, 0, s, 0, 1, 7});
  }
  for (int k = 0; k < 2; ++k) {
    for (int s = 0; s < kSessions; ++s) {
      contents.codes.push_back(k == 0 ? 1 : 7);
      contents.databaseIds.push_back(0);
      contents.erpLabels.push_back(1.0);
      contents.matrixIndexes.push_back(k);
      contents.runIndexes.push_back(s);
      contents.sequences.push_back(0);
      contents.subjects.push_back(s / 200);
      contents.trials.push_back(s);
    }
  }
  contents.omit = {"/features"};
  TempDir work;
  writeSmallInput(work, contents);
  writeSubjectFile(work.file("DataSets.txt"), kSessions / 200);
  // An epoch's samples all equal its stimulus number; deflated, they take
  // little room.
  std::vector<float> features(size_t{2} * kSessions * kEpochValues);
  for (size_t i = 0; i < features.size(); ++i) features[i] = static_cast<float>(i / kEpochValues);
  Stored stored;
  stored.dims = {2 * kSessions, kEpochValues};
  stored.chunk = {64, kEpochValues};
  stored.deflate = 1;
  storeDataset(work.file(kInput), "/features", features, stored);
  features = {};

  const RunResult run = runProgram("prlimit", work.path, {"--nofile=16", converterPath()});
  EXPECT_EQ(run.exitCode, 0) << run.out.substr(0, 2000);
  int binaryFiles = 0;
  for (const auto& [name, size] : listTree(work.path)) {
    binaryFiles += name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0 ? 1 : 0;
  }
  EXPECT_EQ(binaryFiles, kSessions);
  // The last session of the last subject: its stimuli 19999 and 39999.
  const EpochFile file = readEpochFile(work.file("DB_00/Subject_100/Subj100_20000_06_06.bin"));
  ASSERT_EQ(file.size, 160u + 2 * 4096);
  EXPECT_EQ(file.values.front(), 19999.0f);
  EXPECT_EQ(file.values.back(), 39999.0f);
}

TEST(InputEndToEnd, ArgumentsAreIgnored) {
  TempDir without, with;
  generate(without.path);
  generate(with.path);
  const RunResult plainRun = runProgram(converterPath(), without.path);
  const RunResult argumentRun = runProgram(
      converterPath(), with.path, {"--help", "-v", "other.hdf5", "--out", "elsewhere", ""});
  EXPECT_EQ(argumentRun.exitCode, plainRun.exitCode);
  EXPECT_EQ(argumentRun.out, plainRun.out);
  expectSameTree(with.path, without.path);
  EXPECT_FALSE(exists(with.file("elsewhere")));
}

TEST(InputEndToEnd, RunsFromAnotherFolder) {
  TempDir installed;
  installConverter(installed.path);
  // Inputs beside the executable must not be taken for the working directory's.
  writeInputFile(installed.file(kInput), smallInput(1, 1));
  fs::create_directory(installed.file("DataSets.txt"));
  const auto installedBefore = listTree(installed.path);

  TempDir reference, work;
  generate(reference.path);
  generate(work.path);
  const RunResult referenceRun = runProgram(converterPath(), reference.path);
  const RunResult run = runProgram(installed.file("erp2npx"), work.path);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, referenceRun.out);
  expectSameTree(work.path, reference.path);
  EXPECT_EQ(listTree(installed.path), installedBefore);

  // The encoder files beside the executable were found and copied in.
  EXPECT_NE(readFile(work.file("DB_00/Subject_01/Subj01_01_06_06.npx")).find("<Encoder"),
            std::string::npos);
  EXPECT_NE(readFile(work.file("DB_01/Subject_04/Subj04_07_04_05.npx")).find("<Encoder"),
            std::string::npos);
}

TEST(InputEndToEnd, WorkingDirectoryIsUnchanged) {
  TempDir work;
  writeSmallInput(work);
  char before[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  ASSERT_EQ(chdir(work.path.c_str()), 0);
  char started[PATH_MAX];
  ASSERT_NE(getcwd(started, sizeof started), nullptr);

  testing::internal::CaptureStdout();
  const int exitValue = runConversion();
  const std::string out = testing::internal::GetCapturedStdout();
  char after[PATH_MAX];
  const bool known = getcwd(after, sizeof after) != nullptr;
  ASSERT_EQ(chdir(before), 0);

  EXPECT_EQ(exitValue, 0);
  EXPECT_EQ(withoutEncoderLines(out), kSmallRun);
  ASSERT_TRUE(known);
  EXPECT_EQ(std::string(after), std::string(started));
  EXPECT_TRUE(exists(work.file("DB_00/Subject_01/Subj01_01_06_06.bin")));
}

// Standard error when the sessions of the subjects have headers without metadata.
std::string withoutMetadata(const std::string& subjects) {
  return "erp2npx: the sessions of " + subjects +
         " have headers without metadata (Age=\"0\", empty Sex, Condition and Study): the "
         "conversion is not complete\n";
}

TEST(InputEndToEnd, EverySubjectWithoutMetadataIsNamedAndFailsTheRun) {
  // Two subjects of one session each; standard output is that of a complete
  // subject file in every case.
  InputFileContents contents = smallInput();
  contents.subjects = {0, 0, 0, 1, 1, 1};
  const std::string line1 = "S1\t1\t1\tF\t30\thealthy\t2";
  const std::string line2 = "S2\t1\t1\tM\t40\tALS\t2";
  TempDir complete;
  writeInputFile(complete.file(kInput), contents);
  writeTextFile(complete.file("DataSets.txt"), "h\n" + line1 + "\n" + line2 + "\n");
  const RunResult sound = runProgramWith(converterPath(), complete.path, {});
  ASSERT_EQ(sound.exitCode, 0);
  EXPECT_EQ(sound.err, "");
  const std::string ages = "Age=\"30\"|Age=\"40\"";
  const auto agesOf = [](const TempDir& work) {
    const auto age = [&](const char* file) {
      const std::string text = readFile(work.file(file));
      const size_t at = text.find("Age=");
      return at == std::string::npos ? std::string() : text.substr(at, text.find(' ', at) - at);
    };
    return age("DB_00/Subject_01/Subj01_01_06_06.npx") + "|" +
           age("DB_00/Subject_02/Subj02_01_06_06.npx");
  };
  EXPECT_EQ(agesOf(complete), ages);

  struct Case {
    const char* what;
    std::string text;  // none: no file
    int exitCode;
    std::string err, ages;
  };
  const Case cases[] = {
      {"CR line ends", "h\r" + line1 + "\r" + line2 + "\r", 0, "", ages},
      {"CR line ends, no last one", "h\r" + line1 + "\r" + line2, 0, "", ages},
      {"no file", "", 1,
       "erp2npx: DataSets.txt is missing: no subject has metadata\n" +
           withoutMetadata("subjects 0, 1"),
       "Age=\"0\"|Age=\"0\""},
      {"a short file", "h\n" + line1 + "\n\n", 1,
       "erp2npx: DataSets.txt ends after 1 data line: no line for subject 1\n" +
           withoutMetadata("subject 1"),
       "Age=\"30\"|Age=\"0\""},
      {"the header alone", "h\r\n", 1,
       "erp2npx: DataSets.txt ends after 0 data lines: no line for subjects 0, 1\n" +
           withoutMetadata("subjects 0, 1"),
       "Age=\"0\"|Age=\"0\""},
      {"a bad line", "h\nS1\t1\n" + line2 + "\n", 1, withoutMetadata("subject 0"),
       "Age=\"0\"|Age=\"40\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir work;
    writeInputFile(work.file(kInput), contents);
    if (std::string(c.what) != "no file") writeTextFile(work.file("DataSets.txt"), c.text);
    const RunResult run = runProgramWith(converterPath(), work.path, {});
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.err, c.err);
    if (std::string(c.what) == "a bad line") {
      // Reported on standard output where it is, as ever.
      const std::string reported =
          "DataSets.txt line 2: 2 fields where 7 are needed; subject 0 has no metadata\n";
      EXPECT_EQ(run.out, std::string(kOpened) + reported + sound.out.substr(strlen(kOpened)));
    } else {
      EXPECT_EQ(run.out, sound.out);
    }
    EXPECT_EQ(agesOf(work), c.ages);
  }
}

TEST(InputEndToEnd, SubjectFileProblems) {
  {
    TempDir work;
    writeInputFile(work.file(kInput), smallInput());
    fs::create_directory(work.file("DataSets.txt"));
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              std::string(kOpened) +
                  "Unable to read DataSets.txt: Is a directory; no subject has metadata\n" +
                  kSmallRun.substr(std::string(kOpened).size()));
    EXPECT_TRUE(exists(work.file("DB_00/Subject_01/Subj01_01_06_06.npx")));
  }
  {
    TempDir work;
    writeInputFile(work.file(kInput), smallInput());
    // Only the line of the one subject the input has is read: the broken one
    // after it is no concern of this run.
    writeTextFile(work.file("DataSets.txt"), "h\r\nS1\t1\t1\tF\tthirty\thealthy\t2\r\nS2\t1\r\n");
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              std::string(kOpened) +
                  "DataSets.txt line 2: field 5 \"thirty\" is not a 32-bit number; subject 0 "
                  "has no metadata\n" +
                  kSmallRun.substr(std::string(kOpened).size()));
    EXPECT_TRUE(exists(work.file("DB_00/Subject_01/Subj01_01_06_06.npx")));
  }
  {
    // A FIFO would hold the run, a device would never end: neither is read.
    TempDir work;
    writeInputFile(work.file(kInput), smallInput());
    ASSERT_EQ(mkfifo(work.file("DataSets.txt").c_str(), 0644), 0);
    RunResult run = runProgram("timeout", work.path, {"20", converterPath()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, std::string(kOpened) +
                           "Unable to read DataSets.txt: it is a FIFO, not a regular file; no "
                           "subject has metadata\n" +
                           kSmallRun.substr(std::string(kOpened).size()));
    fs::remove(work.file("DataSets.txt"));
    fs::create_symlink("/dev/urandom", work.file("DataSets.txt"));
    run = runProgram("timeout", work.path, {"20", converterPath()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("Unable to read DataSets.txt: it is a device or socket, not a regular "
                           "file; no subject has metadata\n"),
              std::string::npos);
  }
  {
    // Only the line of the subject the input has is read, however long the
    // file: the broken lines before it and the flood after it are not.
    TempDir work;
    InputFileContents contents = smallInput();
    contents.subjects.assign(contents.subjects.size(), 29999);
    writeInputFile(work.file(kInput), contents);
    writeTextFile(work.file("DataSets.txt"), "h\n" + std::string(29999, '\n') +
                                                 std::string(200000, 'x') + "\n" +
                                                 std::string(5000000, '\n') + "S\t1\n");
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.substr(0, run.out.find("NumStimuli")),
              std::string(kOpened) +
                  "DataSets.txt line 30001: longer than 65536 bytes; subject 29999 has no "
                  "metadata\n");
  }
  {
    // Without an input file no subject needs a line: the file is not read.
    TempDir work;
    writeTextFile(work.file("DataSets.txt"), "h\nS1\t1\n");
    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.out, "Unable to open the file: QUOLMET ERP-BCI.hdf5\n" + counts(0, 0, 0) +
                           closing(0, 0, 0, 0));
  }
}

// Root reads any file, so unreadable inputs are tried as an unprivileged user,
// with a copy of the converter that this user can reach wherever the build is.
TEST(InputEndToEnd, UnreadableInputFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  {
    TempDir work;
    writeSmallInput(work);
    fs::permissions(work.file("DataSets.txt"), fs::perms::none);
    TempDir installed;
    installConverter(installed.path);
    fs::permissions(work.path, fs::perms::all);
    const RunResult run = runAsNobody(installed.file("erp2npx"), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, std::string(kOpened) +
                           "Unable to read DataSets.txt: Permission denied; no subject has "
                           "metadata\n" +
                           kSmallRun.substr(std::string(kOpened).size()));
    EXPECT_TRUE(exists(work.file("DB_00/Subject_01/Subj01_01_06_06.npx")));
  }
  {
    TempDir work;
    writeSmallInput(work);
    fs::permissions(work.file(kInput), fs::perms::none);
    TempDir installed;
    installConverter(installed.path);
    fs::permissions(work.path, fs::perms::all);
    const RunResult run = runAsNobody(installed.file("erp2npx"), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Unable to open the file: QUOLMET ERP-BCI.hdf5\n" + counts(0, 0, 0) +
                           closing(0, 0, 0, 0));
    EXPECT_TRUE(holdsOnlyTheInput(work.path));
  }
}

}  // namespace
}  // namespace erp2npx::test
