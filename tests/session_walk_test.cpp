#include "driver/session_walk.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

#include "header/speller_layout.h"
#include "output/output_names.h"
#include "test_support.h"

namespace erp2npx {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// (database, subject, session, trial) of one stimulus.
using Place = std::array<int32_t, 4>;

// Stimuli in table order; stimulus p's samples are p * 1024 + i, exact in
// single precision, so an epoch in a file tells which stimulus it is.
InputData dataset(const std::vector<Place>& places, const std::vector<SessionLayout>& layouts,
                  size_t targetCount) {
  InputData data;
  for (size_t p = 0; p < places.size(); ++p) {
    StimulusRecord record;
    record.database = places[p][0];
    record.subject = places[p][1];
    record.session = places[p][2];
    record.trial = places[p][3];
    record.code = static_cast<int32_t>(p % 12);
    record.label = p % 3 == 0;
    data.stimuli.push_back(record);
  }
  data.stimulusCount = places.size();
  data.sessionLayouts = layouts;
  for (size_t t = 0; t < targetCount; ++t) {
    TargetRecord target;
    target.targetRowCode = static_cast<int32_t>(t % 6);
    target.targetColumnCode = static_cast<int32_t>(6 + t % 6);
    data.targets.push_back(target);
  }
  return data;
}

// The epochs of the stimuli of dataset(): stimulus p's samples are p * 1024 + i.
test::InMemoryEpochs epochsOf(const InputData& data) {
  std::vector<double> features(data.stimuli.size() * kEpochValues);
  for (size_t i = 0; i < features.size(); ++i) features[i] = static_cast<double>(i);
  return test::InMemoryEpochs(features, data.stimuli.size());
}

struct WalkResult {
  bool complete = false;
  std::string out;    // the lines reported, each with its line end
  std::string notes;  // the lines beside them, for standard error
};

WalkResult walk(const InputData& data, const std::string& root, const StimulusIndex& index,
                const EpochStream& stream) {
  Console console = Console::collecting();
  WalkResult result;
  result.complete = SessionWalk(index, data, channelList(), console, root).walk(stream);
  for (const std::string& line : console.collected()) result.out += line + "\n";
  for (const std::string& line : console.collectedNotes()) result.notes += line + "\n";
  return result;
}

WalkResult walk(const InputData& data, const std::string& root, const EpochStream& stream = {}) {
  return walk(data, root, buildStimulusIndex(data.stimuli, data.sessionLayouts),
              stream ? stream : epochsOf(data).stream());
}

// Every directory and file below root, relative, with a "/" after directories.
std::set<std::string> tree(const std::string& root) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries.insert(fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
  }
  return entries;
}

// The stimuli whose epochs a binary epoch file holds, in file order.
std::vector<int32_t> epochsIn(const std::string& path) {
  const std::vector<float> values = test::readEpochFile(path).values;
  std::vector<int32_t> stimuli;
  for (size_t first = 0; first + 1024 <= values.size(); first += 1024) {
    stimuli.push_back(static_cast<int32_t>(values[first]) / 1024);
  }
  return stimuli;
}

TEST(SessionWalk, FirstSessionNamesAndProgressLines) {
  TempDir dir;
  const InputData data = dataset({{0, 0, 0, 0}, {0, 0, 0, 0}}, {{6, 6}}, 1);
  const WalkResult result = walk(data, dir.path);
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n");
  EXPECT_EQ(tree(dir.path), (std::set<std::string>{"DB_00/", "DB_00/Subject_01/",
                                                   "DB_00/Subject_01/Subj01_01_06_06.bin",
                                                   "DB_00/Subject_01/Subj01_01_06_06.npx"}));
  EXPECT_EQ(epochsIn(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin")),
            (std::vector<int32_t>{0, 1}));
}

TEST(SessionWalk, SubjectDirectoriesCarryTheDatasetsSubjectNumber) {
  TempDir dir;
  const InputData data = dataset({{0, 0, 0, 0}, {0, 1, 1, 1}, {1, 2, 2, 2}, {1, 2, 3, 3}},
                                 {{6, 6}, {4, 5}, {6, 7}, {10, 12}}, 4);
  const WalkResult result = walk(data, dir.path);
  EXPECT_FALSE(result.complete);  // no encoder file describes a 10-by-12 speller
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "\tProcessing Subject_02\\\n"
            "\t\tProcessing Subj02_02_04_05.bin\n"
            "Processing DB_01\\\n"
            "\tProcessing Subject_03\\\n"
            "\t\tProcessing Subj03_03_06_07.bin\n"
            "\t\tProcessing Subj03_04_10_12.bin\n"
            "Unable to load the Encoder file: 10by12_QUOLMET.enc\n");
  EXPECT_EQ(test::listTree(dir.path),
            (std::map<std::string, uint64_t>{
                {"DB_00/Subject_01/Subj01_01_06_06.bin", 4256},
                {"DB_00/Subject_01/Subj01_01_06_06.npx",
                 fs::file_size(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx"))},
                {"DB_00/Subject_02/Subj02_02_04_05.bin", 4256},
                {"DB_00/Subject_02/Subj02_02_04_05.npx",
                 fs::file_size(dir.file("DB_00/Subject_02/Subj02_02_04_05.npx"))},
                {"DB_01/Subject_03/Subj03_03_06_07.bin", 4256},
                {"DB_01/Subject_03/Subj03_03_06_07.npx",
                 fs::file_size(dir.file("DB_01/Subject_03/Subj03_03_06_07.npx"))},
                {"DB_01/Subject_03/Subj03_04_10_12.bin", 4256},
                {"DB_01/Subject_03/Subj03_04_10_12.npx",
                 fs::file_size(dir.file("DB_01/Subject_03/Subj03_04_10_12.npx"))},
            }));
}

TEST(SessionWalk, NamesAreReadBackExactlyAsWrittenAndNothingElse) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  for (const auto& [subject, session, layout] :
       {std::make_tuple(0, 0, SessionLayout{6, 6}), std::make_tuple(kMax, 8, SessionLayout{-5, -7}),
        std::make_tuple(99, kMax, SessionLayout{kMin, 0})}) {
    const std::optional<SessionStem> parsed =
        parseSessionStem(sessionStem(subject, session, layout));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::make_tuple(parsed->subject, parsed->session, parsed->layout.rows,
                              parsed->layout.columns),
              std::make_tuple(subject, session, layout.rows, layout.columns));
  }
  EXPECT_EQ(sessionStem(kMax, 0, {-5, -7}), "Subj2147483648_01_-5_-7");
  for (const char* stem :
       {"Subj1_01_06_06", "Subj001_01_06_06", "Subj00_01_06_06", "Subj01_01_-05_06",
        "Subj01_01_+6_06", "Subj2147483649_01_06_06", "Subj01_01_06_2147483648", "Subj01_01_06_06_",
        "Subj01_01_06", "subj01_01_06_06"}) {
    EXPECT_FALSE(parseSessionStem(stem)) << stem;
  }
  EXPECT_EQ(parseDatabaseDirectoryName("DB_00"), 0);
  EXPECT_EQ(parseDatabaseDirectoryName(databaseDirectoryName(kMax)), kMax);
  for (const char* name : {"DB_0", "DB_000", "DB_-1", "DB_+1", "DB_2147483648", "DB_"}) {
    EXPECT_FALSE(parseDatabaseDirectoryName(name)) << name;
  }
}

TEST(SessionWalk, OnlyKeysThatOccurAreVisited) {
  // Database 1, subjects 1 and 2, session 1 and trials 1 to 4 do not occur.
  TempDir dir;
  const InputData data =
      dataset({{2, 5, 4, 6}, {0, 0, 0, 5}, {0, 0, 0, 0}, {0, 3, 3, 7}, {0, 0, 2, 8}, {0, 0, 0, 5}},
              std::vector<SessionLayout>(5, {6, 6}), 9);
  const WalkResult result = walk(data, dir.path);
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "\t\tProcessing Subj01_03_06_06.bin\n"
            "\tProcessing Subject_04\\\n"
            "\t\tProcessing Subj04_04_06_06.bin\n"
            "Processing DB_02\\\n"
            "\tProcessing Subject_06\\\n"
            "\t\tProcessing Subj06_05_06_06.bin\n");
  EXPECT_FALSE(test::exists(dir.file("DB_01")));
  EXPECT_FALSE(test::exists(dir.file("DB_00/Subject_02")));
  // Trial 0 then trial 5; the spans touch with no room for the missing trials.
  const std::string base = dir.file("DB_00/Subject_01/Subj01_01_06_06");
  EXPECT_EQ(epochsIn(base + ".bin"), (std::vector<int32_t>{2, 1, 5}));
  const std::string header = test::readFile(base + ".npx");
  EXPECT_NE(header.find("\t\t<Type Class=\"2\" Mode=\"2\" Name=\"Trial\">\n"
                        "\t\t\t<Event VSB=\"0\" VSE=\"128\" />\n"
                        "\t\t\t<Event VSB=\"128\" VSE=\"384\" />\n"
                        "\t\t</Type>\n"
                        "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"A\">\n"
                        "\t\t\t<Event VSB=\"0\" VSE=\"1\" />\n"
                        "\t\t</Type>\n"
                        "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"9\">\n"
                        "\t\t\t<Event VSB=\"128\" VSE=\"257\" />\n"),
            std::string::npos)
      << header;
}

TEST(SessionWalk, TrialNumberOfTwoSessionsKeepsTheirEpochsApart) {
  TempDir dir;
  const InputData data = dataset({{0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0}, {0, 1, 2, 0}},
                                 {{6, 6}, {6, 6}, {6, 6}}, 1);
  EXPECT_TRUE(walk(data, dir.path).complete);
  EXPECT_EQ(epochsIn(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin")),
            (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(epochsIn(dir.file("DB_00/Subject_01/Subj01_02_06_06.bin")), (std::vector<int32_t>{1}));
  EXPECT_EQ(epochsIn(dir.file("DB_00/Subject_02/Subj02_03_06_06.bin")), (std::vector<int32_t>{3}));
}

TEST(SessionWalk, EmptyIndexCreatesAndPrintsNothing) {
  TempDir dir;
  const WalkResult result = walk(dataset({}, {{6, 6}}, 0), dir.path);
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(tree(dir.path).empty());
}

TEST(SessionWalk, EmptyRootIsTheWorkingDirectoryWhichIsNeverChanged) {
  TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path);
  const WalkResult result = walk(dataset({{0, 0, 0, 0}}, {{6, 6}}, 1), "");
  const fs::path during = fs::current_path();
  fs::current_path(before);
  EXPECT_EQ(during, fs::path(dir.path));
  EXPECT_TRUE(result.complete);
  EXPECT_TRUE(test::exists(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin")));
  EXPECT_TRUE(test::exists(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx")));
}

TEST(SessionWalk, SessionsWithInvalidNumbersAreSkippedAndReported) {
  TempDir dir;
  const InputData data = dataset(
      {
          {-1, 0, 0, 0},  // negative database
          {0, -2, 1, 1},  // negative subject
          {0, 0, -3, 2},  // negative session
          {0, 0, 0, 3},   // fine
          {0, 0, 5, 4},   // no layout for session 5
          {0, 0, 1, -4},  // negative trial
          {0, 0, 1, 5},
          {0, 0, 2, 9},  // no target for trial 9
          {0, 0, 2, 4},
          {0, 1, 3, 0},  // fine, after the failures
      },
      {{6, 6}, {6, 6}, {6, 6}, {4, 5}}, 6);
  const WalkResult result = walk(data, dir.path);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Session 0 of subject 0 in database -1 is not converted: "
            "the database number -1 is negative\n"
            "Processing DB_00\\\n"
            "Session 1 of subject -2 in database 0 is not converted: "
            "the subject number -2 is negative\n"
            "\tProcessing Subject_01\\\n"
            "Session -3 of subject 0 in database 0 is not converted: "
            "the session number is negative\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "Session 1 of subject 0 in database 0 is not converted: "
            "its trial number -4 is negative\n"
            "Session 2 of subject 0 in database 0 is not converted: "
            "its trial 9 has no target in the input (it holds 6)\n"
            "Session 5 of subject 0 in database 0 is not converted: "
            "the input has no matrix size for it (it holds 4)\n"
            "\tProcessing Subject_02\\\n"
            "\t\tProcessing Subj02_04_04_05.bin\n");
  EXPECT_EQ(tree(dir.path),
            (std::set<std::string>{
                "DB_00/", "DB_00/Subject_01/", "DB_00/Subject_02/",
                "DB_00/Subject_01/Subj01_01_06_06.bin", "DB_00/Subject_01/Subj01_01_06_06.npx",
                "DB_00/Subject_02/Subj02_04_04_05.bin", "DB_00/Subject_02/Subj02_04_04_05.npx"}));
}

TEST(SessionWalk, SessionBeyondThirtyTwoBitPositionsIsSkipped) {
  // 2^24 epochs of 128 positions is one past the largest 32-bit position.
  TempDir dir;
  InputData data = dataset({}, {{6, 6}}, 1);
  StimulusIndex index;
  index.hierarchy[0][0][0] = TrialMap{{0, std::vector<int32_t>(size_t{1} << 24, 0)}};
  const WalkResult result = walk(data, dir.path, index, epochsOf(data).stream());
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "Session 0 of subject 0 in database 0 is not converted: its 16777216 epochs exceed "
            "the 32-bit sample positions\n");
  EXPECT_EQ(tree(dir.path), (std::set<std::string>{"DB_00/", "DB_00/Subject_01/"}));
}

TEST(SessionWalk, BinaryFileBlockedByADirectoryIsReportedAndSkipped) {
  TempDir dir;
  fs::create_directories(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin"));
  const InputData data = dataset({{0, 0, 0, 0}, {0, 0, 1, 1}}, {{6, 6}, {6, 6}}, 2);
  const WalkResult result = walk(data, dir.path);
  // Reported in the converter's own words, and a failure of the run.
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tError 21 creating fileSubj01_01_06_06.bin\n"
            "\t\tProcessing Subj01_02_06_06.bin\n");
  EXPECT_TRUE(fs::is_empty(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin")));
  EXPECT_FALSE(test::exists(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx")));
  EXPECT_FALSE(test::exists(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin.partial")));
  EXPECT_TRUE(test::exists(dir.file("DB_00/Subject_01/Subj01_02_06_06.npx")));
}

TEST(SessionWalk, FileInPlaceOfADatabaseDirectory) {
  TempDir dir;
  test::writeTextFile(dir.file("DB_00"), "not a directory");
  const InputData data = dataset({{0, 0, 0, 0}, {1, 1, 1, 1}}, {{6, 6}, {6, 6}}, 2);
  const WalkResult result = walk(data, dir.path);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "Unable to create the directory " +
                dir.file("DB_00") +
                ": a file of that name is in the way; its sessions are skipped\n"
                "Processing DB_01\\\n"
                "\tProcessing Subject_02\\\n"
                "\t\tProcessing Subj02_02_06_06.bin\n");
  EXPECT_EQ(test::readFile(dir.file("DB_00")), "not a directory");
  EXPECT_TRUE(test::exists(dir.file("DB_01/Subject_02/Subj02_02_06_06.npx")));
}

TEST(SessionWalk, FileInPlaceOfASubjectDirectory) {
  TempDir dir;
  fs::create_directories(dir.file("DB_00"));
  test::writeTextFile(dir.file("DB_00/Subject_01"), "");
  const InputData data = dataset({{0, 0, 0, 0}, {0, 1, 1, 1}}, {{6, 6}, {6, 6}}, 2);
  const WalkResult result = walk(data, dir.path);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "Unable to create the directory " +
                dir.file("DB_00/Subject_01") +
                ": a file of that name is in the way; its sessions are skipped\n"
                "\tProcessing Subject_02\\\n"
                "\t\tProcessing Subj02_02_06_06.bin\n");
  EXPECT_TRUE(test::exists(dir.file("DB_00/Subject_02/Subj02_02_06_06.npx")));
}

TEST(SessionWalk, HeaderBlockedByADirectory) {
  TempDir dir;
  fs::create_directories(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx"));
  const InputData data = dataset({{0, 0, 0, 0}, {0, 0, 1, 1}}, {{6, 6}, {6, 6}}, 2);
  const WalkResult result = walk(data, dir.path);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "Unable to save the header file " +
                dir.file("DB_00/Subject_01/Subj01_01_06_06.npx") +
                ": Is a directory\n"
                "\t\tProcessing Subj01_02_06_06.bin\n");
  EXPECT_EQ(fs::file_size(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin")), 4256u);
  EXPECT_FALSE(test::exists(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx.partial")));
  EXPECT_TRUE(test::exists(dir.file("DB_00/Subject_01/Subj01_02_06_06.npx")));
}

TEST(SessionWalk, UnreadableEpochsRemoveTheFile) {
  TempDir dir;
  InputData data = dataset({{0, 0, 0, 0}, {0, 0, 1, 1}}, {{6, 6}, {6, 6}}, 2);
  // The samples of both sessions cannot be read when the walk comes to them.
  const WalkResult result = walk(data, dir.path, epochsOf(data).stream({}, {0, 1}));
  EXPECT_FALSE(result.complete);
  const std::string stem = dir.file("DB_00/Subject_01/Subj01_0");
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "Unable to write the file " +
                stem +
                "1_06_06.bin: reading the epochs failed; "
                "the file is removed\n"
                "\t\tProcessing Subj01_02_06_06.bin\n"
                "Unable to write the file " +
                stem +
                "2_06_06.bin: reading the epochs failed; "
                "the file is removed\n");
  EXPECT_EQ(tree(dir.path), (std::set<std::string>{"DB_00/", "DB_00/Subject_01/"}));
}

TEST(SessionWalk, SubjectWithoutMetadataGetsEmptySubjectAttributes) {
  TempDir dir;
  InputData data = dataset({{0, 0, 0, 0}, {0, 1, 1, 1}, {0, 2, 2, 2}}, {{6, 6}, {6, 6}, {6, 6}}, 3);
  SubjectInfo first;
  first.study = "S1";
  first.sex = "F";
  first.condition = "healthy";
  first.age = 30;
  data.subjectInfos = {{0, first}};  // subjects 1 and 2 have no usable line
  ASSERT_TRUE(walk(data, dir.path).complete);
  EXPECT_NE(test::readFile(dir.file("DB_00/Subject_01/Subj01_01_06_06.npx"))
                .find("\t<Subject Age=\"30\" Sex=\"F\" Condition=\"healthy\" Study=\"S1\" />\n"),
            std::string::npos);
  for (const char* header :
       {"DB_00/Subject_02/Subj02_02_06_06.npx", "DB_00/Subject_03/Subj03_03_06_06.npx"}) {
    EXPECT_NE(test::readFile(dir.file(header))
                  .find("\t<Subject Age=\"0\" Sex=\"\" Condition=\"\" Study=\"\" />\n"),
              std::string::npos)
        << header;
  }
}

TEST(SessionWalk, SecondWalkOverwritesWithTheSameFiles) {
  TempDir dir;
  const InputData data = dataset({{0, 0, 0, 0}, {0, 0, 0, 1}, {0, 1, 1, 2}}, {{6, 6}, {4, 5}}, 3);
  ASSERT_TRUE(walk(data, dir.path).complete);
  std::map<std::string, std::string> first;
  for (const auto& [name, size] : test::listTree(dir.path)) {
    first[name] = test::readFile(dir.file(name));
  }
  // Spoil one file; the second walk replaces it.
  test::writeTextFile(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin"), "spoilt");
  ASSERT_TRUE(walk(data, dir.path).complete);
  std::map<std::string, std::string> second;
  for (const auto& [name, size] : test::listTree(dir.path)) {
    second[name] = test::readFile(dir.file(name));
  }
  EXPECT_EQ(first.size(), 4u);
  EXPECT_TRUE(first == second);
}

TEST(SessionWalk, LinkedDirectoryNeverOverwritesAFileOfThisRun) {
  TempDir dir;
  fs::create_directories(dir.file("DB_00"));
  fs::create_directory_symlink("DB_00", dir.file("DB_01"));
  // The same subject and session in both databases, their epochs interleaved.
  const InputData data = dataset({{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 0, 0}}, {{6, 6}}, 1);
  const WalkResult result = walk(data, dir.path);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "Processing DB_01\\\n"
            "\tProcessing Subject_01\\\n"
            "Session 0 of subject 0 in database 1 is not converted: its file " +
                dir.file("DB_01/Subject_01/Subj01_01_06_06.bin") + " is " +
                dir.file("DB_00/Subject_01/Subj01_01_06_06.bin") +
                ", which this run writes for another session\n");
  EXPECT_EQ(epochsIn(dir.file("DB_00/Subject_01/Subj01_01_06_06.bin")),
            (std::vector<int32_t>{0, 2}));
  EXPECT_TRUE(fs::is_symlink(dir.file("DB_01")));
  EXPECT_EQ(tree(dir.file("DB_00")),
            (std::set<std::string>{"Subject_01/", "Subject_01/Subj01_01_06_06.bin",
                                   "Subject_01/Subj01_01_06_06.npx"}));
}

TEST(SessionWalk, SessionNotWrittenOnARerunLeavesNoEarlierFile) {
  TempDir dir;
  // Subject 0 with four one-epoch sessions.
  InputData data = dataset({{0, 0, 0, 0}, {0, 0, 1, 1}, {0, 0, 2, 2}, {0, 0, 3, 3}},
                           {{6, 6}, {6, 6}, {6, 6}, {6, 6}}, 4);
  ASSERT_TRUE(walk(data, dir.path).complete);
  const std::string subject = dir.file("DB_00/Subject_01/");
  // The rerun cannot write session 1: a directory stands in its file's place.
  fs::remove(subject + "Subj01_02_06_06.bin");
  fs::create_directory(subject + "Subj01_02_06_06.bin");
  // Session 2's header cannot be saved: its file alone is left.
  fs::create_directories(subject + "Subj01_03_06_06.npx.partial/in the way");
  // An earlier input gave session 3 another matrix size; other files stay.
  test::writeTextFile(subject + "Subj01_04_04_05.npx", "earlier");
  test::writeTextFile(subject + "notes.txt", "mine");
  // Session 0's epoch cannot be read, session 3's trial has no target.
  data.targets.pop_back();
  const WalkResult result = walk(data, dir.path, epochsOf(data).stream({}, {0}));
  EXPECT_FALSE(result.complete);
  const auto removed = [&](const std::string& name) {
    return "erp2npx: the file " + subject + name +
           " of an earlier run is removed, so that it is not taken for this input's\n";
  };
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "Unable to write the file " +
                subject +
                "Subj01_01_06_06.bin: reading the epochs failed; the file is removed\n"
                "\t\tError 21 creating fileSubj01_02_06_06.bin\n"
                "\t\tProcessing Subj01_03_06_06.bin\n"
                "Unable to save the header file " +
                subject +
                "Subj01_03_06_06.npx: Is a directory\n"
                "Session 3 of subject 0 in database 0 is not converted: its trial 3 has no target "
                "in the input (it holds 3)\n");
  EXPECT_EQ(result.notes, removed("Subj01_01_06_06.bin") + removed("Subj01_01_06_06.npx") +
                              removed("Subj01_02_06_06.npx") + removed("Subj01_03_06_06.npx") +
                              removed("Subj01_04_04_05.npx") + removed("Subj01_04_06_06.bin") +
                              removed("Subj01_04_06_06.npx"));
  EXPECT_EQ(tree(dir.path),
            (std::set<std::string>{"DB_00/", "DB_00/Subject_01/", "DB_00/Subject_01/notes.txt",
                                   "DB_00/Subject_01/Subj01_02_06_06.bin/",
                                   "DB_00/Subject_01/Subj01_03_06_06.bin",
                                   "DB_00/Subject_01/Subj01_03_06_06.npx.partial/",
                                   "DB_00/Subject_01/Subj01_03_06_06.npx.partial/in the way/"}));
}

TEST(SessionWalk, DirectoryThatCannotBeSearchedForEarlierFilesIsReported) {
  TempDir dir;
  const InputData data = dataset({{0, 0, 0, 0}}, {{6, 6}}, 1);
  // The subject directory goes while the session's epoch is being read.
  const EpochStream stream = [&](const EpochConsumer& consumer) {
    fs::rename(dir.file("DB_00/Subject_01"), dir.file("elsewhere"));
    consumer.failed(0, kEpochValues, "reading the epochs failed");
  };
  const WalkResult result = walk(data, dir.path, stream);
  EXPECT_FALSE(result.complete);
  const std::string subject = dir.file("DB_00/Subject_01");
  EXPECT_EQ(result.out,
            "Processing DB_00\\\n"
            "\tProcessing Subject_01\\\n"
            "\t\tProcessing Subj01_01_06_06.bin\n"
            "Unable to write the file " +
                subject +
                "/Subj01_01_06_06.bin: reading the epochs failed; the file is "
                "removed\n");
  EXPECT_EQ(result.notes, "erp2npx: unable to read the directory " + subject +
                              " for files of an earlier run: No such file or directory; any "
                              "there do not come from this input\n");
}

}  // namespace
}  // namespace erp2npx
