// Faults of the output location, of the encoder files and of the samples read
// during the walk, end to end: each is named, leaves no partial file, and the
// exit value says whether all output was written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <filesystem>

#include "input/hdf5_handle.h"
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
// fails in the decompression filter.
void corruptChunk(const std::string& path, const char* name, hsize_t chunkIndex) {
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
  const std::string garbage(size, '\xA5');
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pwrite(fd, garbage.data(), garbage.size(), static_cast<off_t>(address)),
            static_cast<ssize_t>(garbage.size()));
  close(fd);
}

TEST(FaultInjection, SamplesThatCannotBeReadSkipOnlyTheirSession) {
  // Two sessions of three stimuli; "/features" in compressed chunks of 1000
  // values, the sixth of which lies in the second session's epochs.
  InputFileContents contents = smallInput(2, 3);
  contents.matrixDims = {6, 6, 6, 6};
  contents.runIndexes = {0, 0, 0, 1, 1, 1};
  contents.chunkedCompressed = true;
  TempDir work;
  const std::string input = work.file("QUOLMET ERP-BCI.hdf5");
  writeInputFile(input, contents);
  writeTextFile(work.file("DataSets.txt"), kSubjects);
  ASSERT_NO_FATAL_FAILURE(corruptChunk(input, "/features", 5));

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
            "NumDB: 1\nNumSubjects: 1\nNumLayouts: 1\nNumTrials: 2\n");
  // The first session is complete; nothing of the second is left.
  const std::map<std::string, uint64_t> tree = listTree(work.path + "/DB_00");
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree.at("Subject_01/Subj01_01_06_06.bin"), 160u + 3 * 4096);
  EXPECT_EQ(tree.count("Subject_01/Subj01_01_06_06.npx"), 1u);
}

}  // namespace
}  // namespace erp2npx::test
