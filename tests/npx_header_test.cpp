#include "header/npx_header.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "header/npx_reader.h"
#include "header/speller_layout.h"
#include "output/binary_epoch_file.h"
#include "test_support.h"

namespace erp2npx {
namespace {

using test::TempDir;

class NpxHeader : public ::testing::Test {
 protected:
  TempDir dir;
  // No encoder file: "ControlInterface" stays empty.
  std::string missingEncoder() const { return dir.file("missing.enc"); }
};

// The session of the event section's worked example: one trial of three
// epochs with codes 2, 7, 5 and labels 1, 1, 0, target row 2 column 7.
SessionEvents threeEpochs() { return test::workedExampleEvents(); }

SubjectInfo subjectInfo(const std::string& study, const std::string& sex,
                        const std::string& condition, int32_t age) {
  SubjectInfo info;
  info.study = study;
  info.sex = sex;
  info.condition = condition;
  info.age = age;
  return info;
}

struct Header {
  std::string text;
  EncoderCopy encoder;
};

Header buildHeader(const SessionHeaderInputs& inputs) {
  Header header;
  header.text = NpxHeaderBuilder::headerText(inputs, &header.encoder);
  return header;
}

SessionHeaderInputs inputsFor(const SubjectInfo* subject, const SessionEvents& events,
                              const std::string& encoderPath) {
  SessionHeaderInputs inputs;
  inputs.layout = {6, 6};
  inputs.subject = subject;
  inputs.channels = &channelList();
  inputs.events = &events;
  inputs.encoderPath = encoderPath;
  return inputs;
}

// 0 when xmllint accepts the file, -1 when xmllint cannot be run.
int xmllint(const std::string& path) {
  const int status = std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return -1;
  return WEXITSTATUS(status);
}

TEST_F(NpxHeader, WorkedExample) {
  const SubjectInfo subject = subjectInfo("S1", "F", "healthy", 30);
  const SessionEvents events = threeEpochs();
  const Header header = buildHeader(inputsFor(&subject, events, missingEncoder()));
  EXPECT_EQ(header.encoder, EncoderCopy::kUnloadable);
  EXPECT_EQ(header.text,
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<DOC>\n"
            "\t<FileInfo>\n"
            "\t\t<Format>NPX</Format>\n"
            "\t\t<Version>17</Version>\n"
            "\t\t<VersionMaj>0</VersionMaj>\n"
            "\t\t<VersionMin>17</VersionMin>\n"
            "\t\t<MultiRate>N</MultiRate>\n"
            "\t\t<DataTypeMode>0</DataTypeMode>\n"
            "\t\t<Epoched>1</Epoched>\n"
            "\t</FileInfo>\n"
            "\t<Owner>\n"
            "\t\t<FirstName>First Name</FirstName>\n"
            "\t\t<LastName>Last Name</LastName>\n"
            "\t\t<BirthDay>1//1//1900</BirthDay>\n"
            "\t\t<Source>Vantoris</Source>\n"
            "\t\t<DataSet>QUOLMET</DataSet>\n"
            "\t\t<DataTypeMode>0</DataTypeMode>\n"
            "\t\t<Epoched>1</Epoched>\n"
            "\t</Owner>\n"
            "\t<Generator Program=\"QUOLMET Converter\" VersionMaj=\"0\" VersionMin=\"91\" />\n"
            "\t<Format DataMode=\"Real4\" FileMode=\"Binary\" LinkMode=\"External\" "
            "SortMode=\"BySample\" />\n"
            "\t<Recording>\n"
            "\t\t<BaseSR>128</BaseSR>\n"
            "\t\t<Samples>384</Samples>\n"
            "\t\t<Epoched>1</Epoched>\n"
            "\t</Recording>\n"
            "\t<Subject Age=\"30\" Sex=\"F\" Condition=\"healthy\" Study=\"S1\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"Fz\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"Cz\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"Pz\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"P3\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"P4\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"PO7\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"PO8\" Type=\"EEG\" />\n"
            "\t<Sensor ADBits=\"16\" Gain=\"1\" Name=\"Oz\" Type=\"EEG\" />\n" +
                std::string(test::kWorkedExampleEventsText) + test::kParadigmLines +
                "\t\t<ControlInterface />\n"
                "\t\t<Transducer Type=\"EEG\" Signal=\"Electrical\">\n"
                "\t\t\t<Reference Name=\"\" X=\"0\" Y=\"0\" Z=\"0\" />\n"
                "\t\t\t<Ground Name=\"\" X=\"0\" Y=\"0\" Z=\"0\" />\n"
                "\t\t</Transducer>\n"
                "\t</P2731>\n"
                "</DOC>\n");
}

TEST_F(NpxHeader, SubjectTextsAreEscaped) {
  const SubjectInfo subject = subjectInfo("A&B", "<F>", "say \"hi\" & 'bye'", -1);
  const SessionEvents events = threeEpochs();
  const std::string text = buildHeader(inputsFor(&subject, events, missingEncoder())).text;
  EXPECT_NE(text.find("\t<Subject Age=\"-1\" Sex=\"&lt;F>\" "
                      "Condition=\"say &quot;hi&quot; &amp; 'bye'\" Study=\"A&amp;B\" />\n"),
            std::string::npos)
      << text;
}

TEST_F(NpxHeader, SubjectWithoutMetadataHasZeroAgeAndEmptyTexts) {
  const SessionEvents events = threeEpochs();
  const std::string text = buildHeader(inputsFor(nullptr, events, missingEncoder())).text;
  EXPECT_NE(text.find("\t<Subject Age=\"0\" Sex=\"\" Condition=\"\" Study=\"\" />\n"),
            std::string::npos)
      << text;
}

TEST_F(NpxHeader, SamplesAreTheSessionsPositionCount) {
  SessionEvents events = threeEpochs();
  events.totalSamples = 768;
  EXPECT_NE(buildHeader(inputsFor(nullptr, events, missingEncoder()))
                .text.find("\t\t<Samples>768</Samples>\n"),
            std::string::npos);
  events.totalSamples = 180 * 128;
  EXPECT_NE(buildHeader(inputsFor(nullptr, events, missingEncoder()))
                .text.find("\t\t<Samples>23040</Samples>\n"),
            std::string::npos);
}

TEST_F(NpxHeader, LoadedEncoderSitsInsideControlInterfaceBeforeTransducer) {
  test::writeTextFile(dir.file("e.enc"), "<DOC><Encoder Rows=\"6\"><S T=\"A\" /></Encoder></DOC>");
  const SessionEvents events = threeEpochs();
  const Header header = buildHeader(inputsFor(nullptr, events, dir.file("e.enc")));
  EXPECT_EQ(header.encoder, EncoderCopy::kCopied);
  EXPECT_NE(header.text.find("\t\t</Paradigm>\n"
                             "\t\t<ControlInterface>\n"
                             "\t\t\t<Encoder Rows=\"6\">\n"
                             "\t\t\t\t<S T=\"A\" />\n"
                             "\t\t\t</Encoder>\n"
                             "\t\t</ControlInterface>\n"
                             "\t\t<Transducer Type=\"EEG\" Signal=\"Electrical\">\n"),
            std::string::npos)
      << header.text;
}

TEST_F(NpxHeader, SavedFileIsTheSerializedTextAndWellFormed) {
  const SubjectInfo subject = subjectInfo("A&B", "F", "healthy", 30);
  const SessionEvents events = threeEpochs();
  const SessionHeaderInputs inputs = inputsFor(&subject, events, missingEncoder());
  const std::string path = dir.file("Subj01_01_06_06.npx");
  test::writeTextFile(path, std::string(100000, 'x'));  // an older, longer header
  const NpxHeaderBuilder::Saved saved = NpxHeaderBuilder().writeSessionHeader(path, inputs);
  ASSERT_TRUE(saved.status.ok()) << saved.status.reason();
  EXPECT_EQ(saved.encoder, EncoderCopy::kUnloadable);
  EXPECT_EQ(test::readFile(path), buildHeader(inputs).text);
  EXPECT_FALSE(test::exists(path + ".partial"));
  const int lint = xmllint(path);
  if (lint < 0) GTEST_SKIP() << "xmllint is not available";
  EXPECT_EQ(lint, 0);
}

TEST_F(NpxHeader, Latin1TextIsWrittenAsSingleBytes) {
  // "é" arrives as UTF-8 from the subject file and leaves as ISO-8859-1.
  const SubjectInfo subject = subjectInfo("Caf\xC3\xA9", "F", "\xC3\xA9t\xC3\xA9", 30);
  const SessionEvents events = threeEpochs();
  const std::string path = dir.file("h.npx");
  ASSERT_TRUE(NpxHeaderBuilder()
                  .writeSessionHeader(path, inputsFor(&subject, events, missingEncoder()))
                  .status.ok());
  const std::string text = test::readFile(path);
  EXPECT_NE(text.find("Condition=\"\xE9t\xE9\" Study=\"Caf\xE9\" />"), std::string::npos) << text;
  EXPECT_EQ(text.find("\xC3"), std::string::npos);
  const int lint = xmllint(path);
  if (lint < 0) GTEST_SKIP() << "xmllint is not available";
  EXPECT_EQ(lint, 0);
}

TEST_F(NpxHeader, DirectoryInTheWayIsReported) {
  const SessionEvents events = threeEpochs();
  const std::string path = dir.file("h.npx");
  ASSERT_EQ(mkdir(path.c_str(), 0777), 0);
  EXPECT_EQ(NpxHeaderBuilder()
                .writeSessionHeader(path, inputsFor(nullptr, events, missingEncoder()))
                .status.reason(),
            "Is a directory");
  EXPECT_FALSE(test::exists(path + ".partial"));
}

TEST_F(NpxHeader, OtherMatrixSizesUseTheirOwnEncoderName) {
  const SessionEvents events = threeEpochs();
  SessionHeaderInputs inputs = inputsFor(nullptr, events, missingEncoder());
  inputs.layout = {4, 5};
  const Header header = buildHeader(inputs);
  EXPECT_EQ(header.encoder, EncoderCopy::kUnloadable);
  // Codes of a 4-row session: 2 is the third row, 5 and 7 are columns.
  EXPECT_NE(header.text.find("Name=\"Row3\""), std::string::npos);
  EXPECT_NE(header.text.find("Name=\"Col2\""), std::string::npos);
  EXPECT_NE(header.text.find("Name=\"Col4\""), std::string::npos);
  EXPECT_NE(header.text.find("Name=\"Row3-Col4\""), std::string::npos);
}

TEST_F(NpxHeader, ReaderReportsRepeatedAttributesAndElementsTheConverterNeverWrites) {
  const SessionEvents events = threeEpochs();
  const std::string path = dir.file("h.npx");
  const std::string text = buildHeader(inputsFor(nullptr, events, missingEncoder())).text;
  const auto readWith = [&](const std::string& what, const std::string& with) {
    std::string changed = text;
    changed.replace(changed.find(what), what.size(), with);
    test::writeTextFile(path, changed);
    return readNpxFile(path);
  };
  EXPECT_TRUE(readWith("", "").problems.empty());
  const NpxFile repeated = readWith("Name=\"Cz\"", "Name=\"Cz\" Name=\"Cy\"");
  EXPECT_EQ(repeated.problems,
            std::vector<std::string>{"is not well-formed XML: duplicate attribute at byte " +
                                     std::to_string(text.find("Name=\"Cz\"") + 10)});
  EXPECT_FALSE(repeated.wellFormed);
  // An empty file ends at its first byte.
  test::writeTextFile(path, "");
  EXPECT_EQ(readNpxFile(path).problems.back(),
            "is not well-formed XML: no element found at byte 0");

  // Inside "Events", a "Type" and an "Event"; what the encoder copy holds is
  // not judged.
  const NpxFile extra =
      readWith("<Event VSB=\"128\" />", "<Event VSB=\"128\"><Why /></Event><Note>x</Note>");
  const size_t at = text.find("<Event VSB=\"128\" />") + 17;
  EXPECT_EQ(extra.problems,
            std::vector<std::string>{"holds an element <Why> inside <Event> at byte " +
                                     std::to_string(at) +
                                     ", where the converter writes none (2 such elements)"});
  EXPECT_TRUE(extra.wellFormed);
  ASSERT_EQ(extra.classes.size(), 7u);
  EXPECT_EQ(readWith("<ControlInterface />", "<ControlInterface><Any /></ControlInterface>")
                .problems.size(),
            0u);
}

#ifdef NPXCHECK_EXECUTABLE
TEST_F(NpxHeader, HugeHeaderIsWrittenAndReadInBoundedMemory) {
  if (test::underSanitizer()) GTEST_SKIP() << "the sanitizers reserve address space of their own";
  // 400,000 one-epoch trials: a 75 MB header, which a whole document tree
  // would need well over half a gigabyte to hold, to write or to read. The
  // binary file is sparse.
  constexpr int32_t kTrials = 400000;
  SessionEvents events;
  for (int32_t t = 0; t < kTrials; ++t) {
    const int32_t at = t * kEpochSamples;
    events.codeOffsets[t % 12].push_back(at);
    (t % 6 == 0 ? events.targetOffsets : events.standardOffsets).push_back(at);
    events.trialSpans[t] = TrialSpan{at, at + kEpochSamples};
    events.trialTargetRow[t] = t % 6;
    events.trialTargetColumn[t] = 6 + t % 6;
  }
  events.totalSamples = kTrials * kEpochSamples;
  const std::string folder = dir.file("DB_00/Subject_01");
  std::filesystem::create_directories(folder);
  // Written with 64 MB of address space to spare beyond what is in use, with
  // the encoder file beside the test program.
  const pid_t writer = fork();
  if (writer == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit =
        static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) + (rlim_t{64} << 20);
    const rlimit bound{limit, limit};
    const bool saved =
        setrlimit(RLIMIT_AS, &bound) == 0 &&
        NpxHeaderBuilder()
            .writeSessionHeader(folder + "/Subj01_01_06_06.npx", inputsFor(nullptr, events, ""))
            .status.ok();
    _exit(saved ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::vector<uint8_t> head = encodeEpochFileHeader(channelList(), events.totalSamples);
  const std::string bin = folder + "/Subj01_01_06_06.bin";
  std::ofstream(bin, std::ios::binary)
      .write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  ASSERT_EQ(
      truncate(bin.c_str(), static_cast<off_t>(announcedFileSize(decodeEpochFileHeader(head)))), 0);
  const test::RunResult run = test::runProgram(
      "prlimit", dir.path, {"--as=536870912", "timeout", "120", NPXCHECK_EXECUTABLE, "."});
  EXPECT_EQ(run.out, "2 files, 400000 epochs, 0 problems\n");
  EXPECT_EQ(run.exitCode, 0);
}
#endif

}  // namespace
}  // namespace erp2npx
