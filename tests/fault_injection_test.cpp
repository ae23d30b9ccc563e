// Faults of the output location, of the encoder files, of the samples read
// during the walk and of the threads, end to end: each is named, leaves no
// partial file, and the exit value says whether all output was written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "input/hdf5_handle.h"
#include "output/binary_epoch_writer.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

namespace fs = std::filesystem;

const std::string kSubjects = "h\nS1\t1\t2\tF\t30\thealthy\t3\n";
const std::string kCounts = "NumStimuli: 6\nNumSessions: 1\nNumTrials: 2\n";
const std::string kClosing = "NumDB: 1\nNumSubjects: 1\nNumLayouts: 1\nNumTrials: 2\n";

void writeSmallInput(const TempDir& work) {
  writeInputFile(work.file("QUOLMET ERP-BCI.hdf5"), smallInput());
  writeTextFile(work.file("DataSets.txt"), kSubjects);
}

bool hasPartialFile(const std::string& root) {
  for (const auto& entry : listTree(root)) {
    if (fs::path(entry.first).extension() == ".partial") return true;
  }
  return false;
}

TEST(FaultInjection, ReadOnlyOutputFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  TempDir work;
  writeSmallInput(work);
  TempDir installed;
  installConverter(installed.path);
  // The folder stays readable, so the input is read; nothing can be created in it.
  fs::permissions(work.path, fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  const RunResult run = runAsNobody(installed.file("erp2npx"), work.path);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "\nFile successfully opened!!!!\n\n" + kCounts +
                         "Processing DB_00\\\n"
                         "Unable to create the directory DB_00: Permission denied; its sessions "
                         "are skipped\n" +
                         kClosing);
  EXPECT_FALSE(exists(work.file("DB_00")));
}

TEST(FaultInjection, UnreadableEncoderFileStillGivesAHeader) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  TempDir work;
  writeSmallInput(work);
  TempDir installed;
  installConverter(installed.path);
  fs::permissions(installed.file("6by6_QUOLMET.enc"), fs::perms::none);
  fs::permissions(work.path, fs::perms::all);
  const RunResult run = runAsNobody(installed.file("erp2npx"), work.path);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "\nFile successfully opened!!!!\n\n" + kCounts +
                         "Processing DB_00\\\n\tProcessing Subject_01\\\n"
                         "\t\tProcessing Subj01_01_06_06.bin\n"
                         "Unable to load the Encoder file: 6by6_QUOLMET.enc\n" +
                         kClosing);
  const std::string header = readFile(work.file("DB_00/Subject_01/Subj01_01_06_06.npx"));
  EXPECT_NE(header.find("\t\t<ControlInterface />\n"), std::string::npos);
  EXPECT_FALSE(hasPartialFile(work.path));
}

// Overwrites the stored bytes of one chunk of a dataset, so that reading it
// fails in the decompression filter; or flips one byte of its data, so that
// only a checksum can tell.
void corruptChunk(const std::string& path, const char* name, hsize_t chunkIndex,
                  bool flipOneByte = false) {
  haddr_t address = HADDR_UNDEF;
  hsize_t size = 0;
  {
    const Hid file = fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    const Hid dataset = datasetHandle(H5Dopen2(file.get(), name, H5P_DEFAULT));
    const Hid space = dataspaceHandle(H5Dget_space(dataset.get()));
    hsize_t offset[1] = {0};
    unsigned filterMask = 0;
    ASSERT_GE(H5Dget_chunk_info(dataset.get(), space.get(), chunkIndex, offset, &filterMask,
                                &address, &size),
              0);
  }
  ASSERT_GT(size, 0u);
  std::string garbage(size, '\xA5');
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  if (flipOneByte) {
    garbage.resize(1);
    address += size / 2;
    ASSERT_EQ(pread(fd, garbage.data(), 1, static_cast<off_t>(address)), 1);
    garbage[0] = static_cast<char>(~garbage[0]);
  }
  EXPECT_EQ(pwrite(fd, garbage.data(), garbage.size(), static_cast<off_t>(address)),
            static_cast<ssize_t>(garbage.size()));
  close(fd);
}

// Stores chunk chunkIndex of "/features" (1000 values a chunk) again, as it
// is, with filter 0 marked as skipped when it was written.
void rewriteChunkWithFirstFilterSkipped(const std::string& path, const std::vector<double>& values,
                                        hsize_t chunkIndex) {
  const Hid file = fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
  const Hid dataset = datasetHandle(H5Dopen2(file.get(), "/features", H5P_DEFAULT));
  ASSERT_TRUE(dataset.valid());
  const hsize_t offset[1] = {chunkIndex * 1000};
  ASSERT_GE(H5Dwrite_chunk(dataset.get(), H5P_DEFAULT, 1, offset, 1000 * sizeof(double),
                           values.data() + offset[0]),
            0);
}

// Two sessions of three stimuli; "/features" in chunks of 1000 values, the
// sixth of which lies in the second session's epochs.
InputFileContents twoSessions() {
  InputFileContents contents = smallInput(2, 3);
  contents.matrixDims = {6, 6, 6, 6};
  contents.runIndexes = {0, 0, 0, 1, 1, 1};
  return contents;
}

TEST(FaultInjection, SamplesThatCannotBeReadSkipOnlyTheirSession) {
  // A deflated chunk that does not inflate, and a chunk whose fletcher32
  // checksum alone shows a flipped byte.
  for (const bool checksumOnly : {false, true}) {
    const InputFileContents contents = twoSessions();
    TempDir work;
    const std::string input = work.file("QUOLMET ERP-BCI.hdf5");
    writeInputFile(input, contents);
    Stored stored;
    stored.chunk = {1000};
    stored.deflate = checksumOnly ? -1 : 6;
    stored.fletcher32 = checksumOnly;
    storeDataset(input, "/features", contents.features, stored);
    writeTextFile(work.file("DataSets.txt"), kSubjects);
    ASSERT_NO_FATAL_FAILURE(corruptChunk(input, "/features", 5, checksumOnly));

    const RunResult run = runProgram(converterPath(), work.path);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "\nFile successfully opened!!!!\n\n"
              "NumStimuli: 6\nNumSessions: 2\nNumTrials: 2\n"
              "Processing DB_00\\\n\tProcessing Subject_01\\\n"
              "\t\tProcessing Subj01_01_06_06.bin\n"
              "\t\tProcessing Subj01_02_06_06.bin\n"
              "Unable to write the file DB_00/Subject_01/Subj01_02_06_06.bin: reading "
              "the dataset /features failed; the file is removed\n"
              "NumDB: 1\nNumSubjects: 1\nNumLayouts: 1\nNumTrials: 2\n")
        << checksumOnly;
    // The first session is complete; nothing of the second is left.
    const std::map<std::string, uint64_t> tree = listTree(work.path + "/DB_00");
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.at("Subject_01/Subj01_01_06_06.bin"), 160u + 3 * 4096);
    EXPECT_EQ(tree.count("Subject_01/Subj01_01_06_06.npx"), 1u);
  }
}

std::map<std::string, std::string> outputTree(const std::string& root) {
  std::map<std::string, std::string> contents;
  for (const auto& [name, size] : listTree(root)) {
    if (name.rfind("DB_", 0) == 0) contents[name] = readFile(root + "/" + name);
  }
  return contents;
}

TEST(FaultInjection, AChunkWrittenWithAFilterSkippedConvertsAsItsValues) {
  const InputFileContents contents = twoSessions();
  TempDir plain;
  writeInputFile(plain.file("QUOLMET ERP-BCI.hdf5"), contents);
  writeTextFile(plain.file("DataSets.txt"), kSubjects);
  TempDir work;
  const std::string input = work.file("QUOLMET ERP-BCI.hdf5");
  writeInputFile(input, contents);
  writeTextFile(work.file("DataSets.txt"), kSubjects);
  Stored deflated;
  deflated.chunk = {1000};
  deflated.deflate = 6;
  storeDataset(input, "/features", contents.features, deflated);
  // Stored as it is, not deflated, as a writer may do with a chunk that
  // deflate would not make smaller.
  ASSERT_NO_FATAL_FAILURE(rewriteChunkWithFirstFilterSkipped(input, contents.features, 5));

  const RunResult expected = runProgram(converterPath(), plain.path);
  ASSERT_EQ(expected.exitCode, 0);
  const RunResult run = runProgram(converterPath(), work.path);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, expected.out);
  EXPECT_TRUE(outputTree(work.path) == outputTree(plain.path));
}

TEST(FaultInjection, ABackgroundWriteThatFailsCostsOnlyItsFile) {
  // The samples say which file they are for: 1 the sound one, 2 one whose
  // write fails, 3 one whose write throws.
  TempDir work;
  BinaryEpochWriter writer(channelList(),
                           [](int fd, uint64_t offset, const void* data, size_t size) {
                             float first;
                             std::memcpy(&first, data, sizeof first);
                             if (first == 2.0f) return Status::failed(std::strerror(EIO));
                             if (first == 3.0f) throw std::runtime_error("injected");
                             return writeAllAt(fd, offset, data, size);
                           });
  std::vector<uint32_t> slots;
  for (const char* name : {"sound.bin", "failing.bin", "throwing.bin"}) {
    slots.push_back(writer.add(work.file(name), 1));
  }
  for (uint32_t slot = 0; slot < 3; ++slot) {
    const std::vector<float> samples(kEpochValues, static_cast<float>(slot + 1));
    writer.write(slot, 0, samples.data(), samples.size());
  }
  const Status failing = writer.finish(slots[1]);
  EXPECT_FALSE(failing.ok());
  EXPECT_EQ(failing.reason(), std::strerror(EIO));
  const Status throwing = writer.finish(slots[2]);
  EXPECT_FALSE(throwing.ok());
  EXPECT_EQ(throwing.reason(), "injected");
  EXPECT_TRUE(writer.finish(slots[0]).ok());
  EXPECT_EQ(listTree(work.path), (std::map<std::string, uint64_t>{{"sound.bin", 160 + 4096}}));
}

// Runs the program as a user of its own (so that no other test's processes
// count), with the given per-user limit on processes and threads.
RunResult runWithThreadLimit(const std::string& program, const std::string& workingDirectory,
                             int limit, const std::vector<std::string>& arguments = {}) {
  fs::permissions(fs::path(program).parent_path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  // The leak check of a sanitizer build needs a thread of its own.
  std::vector<std::string> command = {"ASAN_OPTIONS=detect_leaks=0:abort_on_error=1",
                                      "/usr/bin/prlimit",
                                      "--nproc=" + std::to_string(limit),
                                      "/usr/bin/setpriv",
                                      "--reuid=61017",
                                      "--regid=61017",
                                      "--clear-groups",
                                      program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runProgram("/usr/bin/env", workingDirectory, command);
}

TEST(FaultInjection, ThreadsThatCannotStartGiveTheSameOutput) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  if (underSanitizer()) GTEST_SKIP() << "the sanitizer's own thread needs the limit";
  TempDir installed;
  installConverter(installed.path);
  TempDir probe;
  fs::permissions(probe.path, fs::perms::all);
  if (runWithThreadLimit("/bin/sh", probe.path, 1, {"-c", "/bin/true"}).exitCode == 0) {
    GTEST_SKIP() << "the limit on processes does not hold here";
  }
  // Contiguous samples read on the workers, and deflated chunks unpacked there.
  for (const std::string storage : {"--scattered", "--compress"}) {
    TempDir work;
    ASSERT_EQ(0, runProgram(ERP2NPX_GENERATOR, work.path, {"--stimuli", "1000", storage}).exitCode);
    fs::permissions(work.path, fs::perms::all);
    const RunResult expected = runProgram(installed.file("erp2npx"), work.path);
    ASSERT_EQ(expected.exitCode, 0);
    const std::map<std::string, std::string> tree = outputTree(work.path);
    const RunResult proven =
        runProgram(NPXCHECK_EXECUTABLE, work.path, {".", "--source", "QUOLMET ERP-BCI.hdf5"});
    ASSERT_EQ(proven.exitCode, 0);
    // No thread at all, then one for writing alone, then too few for both.
    for (const int limit : {1, 2, 4}) {
      fs::remove_all(work.file("DB_00"));
      fs::remove_all(work.file("DB_01"));
      const RunResult run = runWithThreadLimit(installed.file("erp2npx"), work.path, limit);
      EXPECT_EQ(run.exitCode, 0) << storage << limit;
      EXPECT_EQ(run.out, expected.out) << storage << limit;
      EXPECT_TRUE(outputTree(work.path) == tree) << storage << limit;
      if (limit != 1) continue;
      const RunResult check = runWithThreadLimit(NPXCHECK_EXECUTABLE, work.path, limit,
                                                 {".", "--source", "QUOLMET ERP-BCI.hdf5"});
      EXPECT_EQ(check.exitCode, 0) << storage << limit;
      EXPECT_EQ(check.out, proven.out) << storage << limit;
    }
  }
}

}  // namespace
}  // namespace erp2npx::test
