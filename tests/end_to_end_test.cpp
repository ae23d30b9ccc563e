#include <gtest/gtest.h>

#include "test_support.h"

namespace erp2npx::test {
namespace {

TEST(EndToEnd, NoInputFilePrintsEightLinesAndCreatesNothing) {
  TempDir dir;
  const RunResult run = runProgram(converterPath(), dir.path, {"--ignored", "x"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out,
            "Unable to open the file: QUOLMET ERP-BCI.hdf5\n"
            "NumStimuli: 0\nNumSessions: 0\nNumTrials: 0\n"
            "NumDB: 0\nNumSubjects: 0\nNumLayouts: 0\nNumTrials: 0\n");
  EXPECT_TRUE(listTree(dir.path).empty());
}

TEST(EndToEnd, SmallInputWritesOneSession) {
  TempDir dir;
  installConverter(dir.file("bin"));
  TempDir work;
  writeInputFile(work.file("QUOLMET ERP-BCI.hdf5"), smallInput());
  writeTextFile(work.file("DataSets.txt"), "h\nS1\t1\t2\tF\t30\thealthy\t3\n");
  const RunResult run = runProgram(dir.file("bin/erp2npx"), work.path);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "\nFile successfully opened!!!!\n\n"
            "NumStimuli: 6\nNumSessions: 1\nNumTrials: 2\n"
            "Processing DB_00\\\n\tProcessing Subject_01\\\n\t\tProcessing Subj01_01_06_06.bin\n"
            "NumDB: 1\nNumSubjects: 1\nNumLayouts: 1\nNumTrials: 2\n");
  const auto tree = listTree(work.path);
  EXPECT_EQ(tree.at("DB_00/Subject_01/Subj01_01_06_06.bin"), 24736u);
  EXPECT_TRUE(tree.count("DB_00/Subject_01/Subj01_01_06_06.npx"));

  // An encoder file without its Encoder element prints nothing of its own on
  // standard output, but the header lacks its encoder: the run fails.
  writeTextFile(dir.file("bin/6by6_QUOLMET.enc"), "<DOC><Other/></DOC>");
  const RunResult withoutEncoder = runProgram(dir.file("bin/erp2npx"), work.path);
  EXPECT_EQ(withoutEncoder.exitCode, 1);
  EXPECT_EQ(withoutEncoder.out, run.out);
  EXPECT_NE(
      readFile(work.file("DB_00/Subject_01/Subj01_01_06_06.npx")).find("<ControlInterface />"),
      std::string::npos);
}

}  // namespace
}  // namespace erp2npx::test
