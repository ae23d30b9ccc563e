// Faults of the output location and of the encoder files, end to end: each is
// named, leaves no partial file, and the exit value says whether all output
// was written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

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
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "\nFile successfully opened!!!!\n\n" + kCounts +
                         "Processing DB_00\\\n\tProcessing Subject_01\\\n"
                         "\t\tProcessing Subj01_01_06_06.bin\n"
                         "Unable to load the Encoder file: 6by6_QUOLMET.enc\n" +
                         kClosing);
  const std::string header = readFile(work.file("DB_00/Subject_01/Subj01_01_06_06.npx"));
  EXPECT_NE(header.find("\t\t<ControlInterface />\n"), std::string::npos);
  EXPECT_FALSE(hasPartialFile(work.path));
}

}  // namespace
}  // namespace erp2npx::test
