// Inputs that once broke the converter: each case keeps its fix in place.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "common/config.h"
#include "common/messages.h"
#include "header/npx_header.h"
#include "header/paradigm_section.h"
#include "header/speller_layout.h"
#include "header/xml_text.h"
#include "input/hdf5_handle.h"
#include "output/output_file.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

int xmllint(const std::string& path) {
  const int status = std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Hardening, SparseDatasetLargerThanMemoryIsUnreadableNotAnAbort) {
  TempDir dir;
  const std::string path = dir.file("QUOLMET ERP-BCI.hdf5");
  InputFileContents contents = smallInput(2, 3);
  contents.omit = {"/matrix_indexes"};
  writeInputFile(path, contents);
  {
    // 2^62 elements with one chunk written: more than any vector can hold.
    const Hid file = fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    const hsize_t dims[1] = {hsize_t{1} << 62};
    const hsize_t chunk[1] = {16};
    const Hid space = dataspaceHandle(H5Screate_simple(1, dims, nullptr));
    const Hid properties = propertyListHandle(H5Pcreate(H5P_DATASET_CREATE));
    H5Pset_chunk(properties.get(), 1, chunk);
    const Hid dataset =
        datasetHandle(H5Dcreate2(file.get(), "/matrix_indexes", H5T_STD_I32LE, space.get(),
                                 H5P_DEFAULT, properties.get(), H5P_DEFAULT));
    const int32_t values[16] = {};
    const Hid memory = dataspaceHandle(H5Screate_simple(1, chunk, nullptr));
    const hsize_t start[1] = {0};
    H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, chunk, nullptr);
    ASSERT_GE(
        H5Dwrite(dataset.get(), H5T_NATIVE_INT32, memory.get(), space.get(), H5P_DEFAULT, values),
        0);
  }
  const RunResult run = runProgram(converterPath(), dir.path);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, std::string(msg::kFileOpened) +
                         "Unable to read the dataset /matrix_indexes of QUOLMET ERP-BCI.hdf5: it "
                         "declares 4611686018427387904 values, more than can be addressed; it is "
                         "treated as missing\n"
                         "NumStimuli: 6\nNumSessions: 1\nNumTrials: 2\n"
                         "Processing DB_00\\\n\tProcessing Subject_01\\\n"
                         "\t\tProcessing Subj01_01_06_06.bin\n"
                         "NumDB: 1\nNumSubjects: 1\nNumLayouts: 1\nNumTrials: 2\n");
  EXPECT_TRUE(exists(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx")));
}

SessionEvents oneEpochSession() {
  SessionEvents events;
  events.codeOffsets = {{0, {0}}};
  events.standardOffsets = {0};
  events.trialSpans[0] = TrialSpan{0, 128};
  events.trialTargetRow[0] = 0;
  events.trialTargetColumn[0] = 6;
  events.totalSamples = 128;
  return events;
}

TEST(Hardening, ControlCharactersInSubjectAndEncoderTextsKeepTheHeaderWellFormed) {
  TempDir dir;
  SubjectInfo subject;
  subject.study = std::string(
      "S\x01"
      "1\0x",
      5);  // a stray control byte, an embedded NUL
  subject.condition =
      "a\x0B"
      "b";
  writeTextFile(dir.file("6by6_QUOLMET.enc"),
                "<DOC><Encoder Name=\"a&#1;b\">x&#27;y<S V=\"&#8;\"/></Encoder></DOC>");
  const SessionEvents events = oneEpochSession();
  SessionHeaderInputs inputs;
  inputs.layout = {6, 6};
  inputs.subject = &subject;
  inputs.channels = &channelList();
  inputs.events = &events;
  inputs.encoderPath = dir.file("6by6_QUOLMET.enc");
  const std::string path = dir.file("h.npx");
  ASSERT_TRUE(NpxHeaderBuilder().writeSessionHeader(path, inputs).status.ok());
  const std::string text = readFile(path);
  EXPECT_NE(text.find("Condition=\"a?b\" Study=\"S?1?x\""), std::string::npos) << text;
  EXPECT_NE(text.find("<Encoder Name=\"a?b\">"), std::string::npos) << text;
  EXPECT_NE(text.find("<S V=\"?\" />"), std::string::npos) << text;
  EXPECT_EQ(xmllint(path), 0) << text;
}

TEST(Hardening, DirectoryNamedLikeTheEncoderFileIsNotLoaded) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.file("6by6_QUOLMET.enc").c_str(), 0755));
  pugi::xml_document document;
  pugi::xml_node p2731 = document.append_child("P2731");
  EXPECT_EQ(appendParadigmSection(p2731, SessionLayout{6, 6}, dir.file("6by6_QUOLMET.enc")),
            EncoderCopy::kUnloadable);
  EXPECT_FALSE(p2731.child("ControlInterface").first_child());
}

TEST(Hardening, LeftoverTemporaryNameIsReplacedNotFollowed) {
  TempDir dir;
  TempDir outside;
  const std::string target = outside.file("elsewhere");
  const std::string path = dir.file("Subj01_01_06_06.bin");
  ASSERT_EQ(0, symlink(target.c_str(), (path + kPartialSuffix).c_str()));
  OutputFile file(path);
  ASSERT_TRUE(file.create().ok());
  ASSERT_TRUE(file.write("data", 4).ok());
  ASSERT_TRUE(file.commit().ok());
  struct stat status {};
  ASSERT_EQ(0, lstat(path.c_str(), &status));
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(readFile(path), "data");
  EXPECT_FALSE(exists(target));
  EXPECT_FALSE(exists(path + kPartialSuffix));
}

}  // namespace
}  // namespace erp2npx::test

namespace erp2npx::test {
namespace {

TEST(Hardening, TextsAreKeptAndNamesRepairedForAnIso88591Header) {
  // Not UTF-8: taken as ISO-8859-1. UTF-8 stays as it is.
  EXPECT_EQ(xmlSafeText("Caf\xE9"), "Caf\xC3\xA9");
  EXPECT_EQ(xmlSafeText("Caf\xC3\xA9"), "Caf\xC3\xA9");
  EXPECT_EQ(xmlSafeText("\xC0\xAF"), "\xC3\x80\xC2\xAF");  // an overlong form is no UTF-8
  EXPECT_EQ(xmlSafeName("\xC4\x80x"), "_x");               // U+0100 has no ISO-8859-1 form
  EXPECT_EQ(xmlSafeName("\xC3\x97"), "_");                 // U+00D7 is no name character
  EXPECT_EQ(xmlSafeName("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");

  TempDir dir;
  SubjectInfo subject;
  subject.study = "Caf\xE9";
  writeTextFile(dir.file("6by6_QUOLMET.enc"),
                "<DOC><Encoder \xC4\x80=\"1\"><\xC4\x80x/><![CDATA[a]]\xFF>b]]></Encoder></DOC>");
  const SessionEvents events = oneEpochSession();
  SessionHeaderInputs inputs;
  inputs.layout = {6, 6};
  inputs.subject = &subject;
  inputs.channels = &channelList();
  inputs.events = &events;
  inputs.encoderPath = dir.file("6by6_QUOLMET.enc");
  const std::string path = dir.file("h.npx");
  ASSERT_TRUE(NpxHeaderBuilder().writeSessionHeader(path, inputs).status.ok());
  const std::string text = readFile(path);
  EXPECT_NE(text.find("Study=\"Caf\xE9\""), std::string::npos) << text;
  EXPECT_NE(text.find("<Encoder _=\"1\">"), std::string::npos) << text;
  EXPECT_EQ(xmllint(path), 0) << text;
}

}  // namespace
}  // namespace erp2npx::test
