// The converter run as a program over whole input collections: the output
// tree, its files and the console report, including the failure cases.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "input/dataset_loader.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInputName = "QUOLMET ERP-BCI.hdf5";

// Own encoder files, one per matrix size, that say where they were found.
void writeEncoders(const std::string& directory, const std::string& where) {
  for (const char* size : {"6by6", "4by5", "6by7"}) {
    writeTextFile(
        directory + "/" + size + "_QUOLMET.enc",
        std::string("<DOC><Encoder Size=\"") + size + "\" Where=\"" + where + "\" /></DOC>\n");
  }
}

// The converter with our own encoder files beside it.
std::string installWithOwnEncoders(const std::string& directory) {
  installConverter(directory);
  writeEncoders(directory, "beside");
  return directory + "/erp2npx";
}

void removeEncoders(const std::string& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".enc") fs::remove(entry.path());
  }
}

// (database, subject, session, trial) of one stimulus.
using Place = std::array<int32_t, 4>;

// An input of the given stimuli in table order, all sessions 6 by 6 unless
// layouts says otherwise.
InputFileContents collection(const std::vector<Place>& places, std::vector<int32_t> matrixDims,
                             int32_t targetCount) {
  InputFileContents c;
  c.matrixDims = std::move(matrixDims);
  for (int32_t t = 0; t < targetCount; ++t) {
    c.target.insert(c.target.end(), {0, 0, 0, t, 0, t % 6, 6 + t % 6});
  }
  for (size_t p = 0; p < places.size(); ++p) {
    c.databaseIds.push_back(places[p][0]);
    c.subjects.push_back(places[p][1]);
    c.runIndexes.push_back(places[p][2]);
    c.trials.push_back(places[p][3]);
    c.codes.push_back(static_cast<int32_t>(p % 12));
    c.erpLabels.push_back(p % 4 == 0 ? 1.0 : 0.0);
    c.matrixIndexes.push_back(static_cast<int32_t>(p));
    c.sequences.push_back(0);
  }
  c.features.resize(places.size() * 1024);
  for (size_t i = 0; i < c.features.size(); ++i) c.features[i] = static_cast<double>(i) * 0.25;
  return c;
}

std::string inputCounts(size_t stimuli, size_t sessions, size_t trials) {
  return "\nFile successfully opened!!!!\n\nNumStimuli: " + std::to_string(stimuli) +
         "\nNumSessions: " + std::to_string(sessions) + "\nNumTrials: " + std::to_string(trials) +
         "\n";
}

std::string closingCounts(size_t databases, size_t subjects, size_t layouts, size_t trials) {
  return "NumDB: " + std::to_string(databases) + "\nNumSubjects: " + std::to_string(subjects) +
         "\nNumLayouts: " + std::to_string(layouts) + "\nNumTrials: " + std::to_string(trials) +
         "\n";
}

uint32_t u32At(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// 0 when xmllint accepts the file, -1 when xmllint cannot be run.
int xmllint(const std::string& path) {
  const int status = std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return -1;
  return WEXITSTATUS(status);
}

std::string printed(pugi::xml_node node) {
  std::ostringstream out;
  node.print(out, "", pugi::format_raw);
  return out.str();
}

std::map<std::string, std::string> treeContents(const std::string& root) {
  std::map<std::string, std::string> contents;
  for (const auto& [name, size] : listTree(root)) contents[name] = readFile(root + "/" + name);
  return contents;
}

// A small filesystem mounted for one test, to run out of space on purpose.
struct SmallFilesystem {
  explicit SmallFilesystem(const std::string& directory) : path(directory) {
    fs::create_directories(path);
    mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~SmallFilesystem() {
    if (mounted) umount(path.c_str());
  }
  std::string path;
  bool mounted = false;
};

// Regular files below root, relative; the symbolic link to the input is not output.
std::set<std::string> outputFiles(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      files.insert(fs::relative(entry.path(), root).string());
    }
  }
  return files;
}

// ---------------------------------------------------------------------------
// A generated collection: three databases with 6x6, 4x5 and 6x7 sessions.

class GeneratedCollection : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult generated =
        runProgram(ERP2NPX_GENERATOR, work.path,
                   {"--out", work.path, "--databases", "3", "--subjects-per-db", "2",
                    "--sessions-per-subject", "2", "--trials-per-session", "2"});
    ASSERT_EQ(generated.exitCode, 0) << generated.out;
    Console console = Console::collecting();
    DatasetLoader(console).load(work.file(kInputName), 8, data);
    samples = streamedValues(data.epochs);
    data.epochs = StoredEpochs();
    ASSERT_GT(data.stimuli.size(), 0u);
    for (size_t p = 0; p < data.stimuli.size(); ++p) {
      const StimulusRecord& s = data.stimuli[p];
      sessions[s.database][s.subject][s.session][s.trial].push_back(static_cast<int32_t>(p));
    }
  }

  // The file stem of a session, e.g. "DB_01/Subject_03/Subj03_05_04_05".
  std::string stem(int32_t database, int32_t subject, int32_t session) const {
    const SessionLayout& layout = data.sessionLayouts.at(static_cast<size_t>(session));
    char name[128];
    std::snprintf(name, sizeof name, "DB_%02d/Subject_%02d/Subj%02d_%02d_%02d_%02d", database,
                  subject + 1, subject + 1, session + 1, layout.rows, layout.columns);
    return name;
  }

  // Everything the run prints, given what a session's encoder lookup prints.
  template <typename EncoderLine>
  std::string expectedOutput(EncoderLine encoderLine) const {
    std::set<int32_t> subjects, trials;
    std::set<std::pair<int32_t, int32_t>> layouts;
    for (const StimulusRecord& s : data.stimuli) {
      subjects.insert(s.subject);
      trials.insert(s.trial);
    }
    for (const SessionLayout& l : data.sessionLayouts) layouts.insert({l.rows, l.columns});
    std::string out =
        inputCounts(data.stimuli.size(), data.sessionLayouts.size(), data.targets.size());
    char line[128];
    for (const auto& [database, bySubject] : sessions) {
      std::snprintf(line, sizeof line, "Processing DB_%02d\\\n", database);
      out += line;
      for (const auto& [subject, bySession] : bySubject) {
        std::snprintf(line, sizeof line, "\tProcessing Subject_%02d\\\n", subject + 1);
        out += line;
        for (const auto& entry : bySession) {
          const std::string name = fs::path(stem(database, subject, entry.first)).filename();
          out += "\t\tProcessing " + name + ".bin\n";
          out += encoderLine(data.sessionLayouts.at(static_cast<size_t>(entry.first)));
        }
      }
    }
    return out + closingCounts(sessions.size(), subjects.size(), layouts.size(), trials.size());
  }

  TempDir work;
  TempDir install;
  InputData data;
  std::vector<float> samples;  // every epoch of the input, as the converter reads it
  std::map<int32_t, std::map<int32_t, std::map<int32_t, std::map<int32_t, std::vector<int32_t>>>>>
      sessions;
};

TEST_F(GeneratedCollection, EverySessionIsWrittenAndDescribedByItsHeader) {
  installConverter(install.path);
  const RunResult run = runProgram(install.file("erp2npx"), work.path);
  EXPECT_EQ(run.exitCode, 0);
  const auto encoderLine = [](const SessionLayout& l) {
    const std::string name =
        std::to_string(l.rows) + "by" + std::to_string(l.columns) + "_QUOLMET.enc";
    return exists(std::string(ERP2NPX_DATA_DIR) + "/" + name)
               ? std::string()
               : "Unable to load the Encoder file: " + name + "\n";
  };
  EXPECT_EQ(run.out, expectedOutput(encoderLine));

  // Subject metadata as the generator wrote it: study, -, -, sex, age, condition.
  std::vector<std::vector<std::string>> subjectLines;
  {
    std::istringstream lines(readFile(work.file("DataSets.txt")));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      subjectLines.push_back(fields);
    }
  }

  std::set<std::string> expectedFiles = {"DataSets.txt", kInputName};
  bool lintAvailable = true;
  for (const auto& [database, bySubject] : sessions) {
    for (const auto& [subject, bySession] : bySubject) {
      for (const auto& [session, byTrial] : bySession) {
        const std::string base = stem(database, subject, session);
        SCOPED_TRACE(base);
        expectedFiles.insert(base + ".bin");
        expectedFiles.insert(base + ".npx");

        std::vector<int32_t> order;
        for (const auto& entry : byTrial) {
          order.insert(order.end(), entry.second.begin(), entry.second.end());
        }
        const std::string bin = readFile(work.file(base + ".bin"));
        ASSERT_EQ(bin.size(), 160 + 4096 * order.size());
        EXPECT_EQ(u32At(bin, 20), 128 * order.size());
        for (size_t k = 0; k < order.size(); ++k) {
          EXPECT_EQ(std::memcmp(bin.data() + 160 + 4096 * k,
                                samples.data() + static_cast<size_t>(order[k]) * 1024, 4096),
                    0);
        }

        const std::string headerPath = work.file(base + ".npx");
        pugi::xml_document header;
        ASSERT_TRUE(header.load_file(headerPath.c_str()));
        const pugi::xml_node doc = header.child("DOC");
        EXPECT_EQ(doc.child("Recording").child("Samples").text().as_uint(), u32At(bin, 20));
        size_t targetAndStandard = 0;
        size_t trialEvents = 0;
        for (pugi::xml_node type : doc.child("Events").children("Type")) {
          const std::string name = type.attribute("Name").value();
          const size_t events = static_cast<size_t>(
              std::distance(type.children("Event").begin(), type.children("Event").end()));
          if (name == "Target" || name == "Standard") targetAndStandard += events;
          if (name == "Trial") trialEvents = events;
        }
        EXPECT_EQ(targetAndStandard, order.size());
        EXPECT_EQ(trialEvents, byTrial.size());

        const std::vector<std::string>& info = subjectLines.at(static_cast<size_t>(subject));
        const pugi::xml_node subjectNode = doc.child("Subject");
        EXPECT_EQ(subjectNode.attribute("Study").value(), info.at(0));
        EXPECT_EQ(subjectNode.attribute("Sex").value(), info.at(3));
        EXPECT_EQ(subjectNode.attribute("Age").value(), info.at(4));
        EXPECT_EQ(subjectNode.attribute("Condition").value(), info.at(5));

        const SessionLayout& layout = data.sessionLayouts.at(static_cast<size_t>(session));
        const std::string encoderFile = std::string(ERP2NPX_DATA_DIR) + "/" +
                                        std::to_string(layout.rows) + "by" +
                                        std::to_string(layout.columns) + "_QUOLMET.enc";
        const pugi::xml_node control = doc.child("P2731").child("ControlInterface");
        pugi::xml_document encoder;
        if (encoder.load_file(encoderFile.c_str())) {
          EXPECT_EQ(printed(control.first_child()), printed(encoder.child("DOC").child("Encoder")));
        } else {
          EXPECT_FALSE(control.first_child());
        }

        const int lint = xmllint(headerPath);
        lintAvailable = lint >= 0;
        if (lintAvailable) {
          EXPECT_EQ(lint, 0);
        }
      }
    }
  }
  std::set<std::string> files;
  for (const auto& entry : listTree(work.path)) files.insert(entry.first);
  EXPECT_EQ(files, expectedFiles);
  if (!lintAvailable) GTEST_SKIP() << "xmllint is not available";
}

TEST_F(GeneratedCollection, SecondRunGivesTheSameFiles) {
  const std::string converter = installWithOwnEncoders(install.path);
  const RunResult first = runProgram(converter, work.path);
  ASSERT_EQ(first.exitCode, 0);
  const auto before = treeContents(work.path);
  const RunResult second = runProgram(converter, work.path);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, first.out);
  EXPECT_TRUE(treeContents(work.path) == before);
}

TEST_F(GeneratedCollection, EncoderFilesAreFoundBesideTheExecutableOnly) {
  const std::string converter = installWithOwnEncoders(install.path);
  writeEncoders(work.path, "working directory");
  const RunResult run = runProgram(converter, work.path);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, expectedOutput([](const SessionLayout&) { return std::string(); }));
  for (const auto& [database, bySubject] : sessions) {
    for (const auto& [subject, bySession] : bySubject) {
      for (const auto& entry : bySession) {
        const SessionLayout& l = data.sessionLayouts.at(static_cast<size_t>(entry.first));
        const std::string header =
            readFile(work.file(stem(database, subject, entry.first) + ".npx"));
        EXPECT_NE(header.find("\t\t<ControlInterface>\n\t\t\t<Encoder Size=\"" +
                              std::to_string(l.rows) + "by" + std::to_string(l.columns) +
                              "\" Where=\"beside\" />\n\t\t</ControlInterface>\n"),
                  std::string::npos)
            << header;
      }
    }
  }

  // Without files beside the executable, those in the working directory are ignored.
  removeEncoders(install.path);
  const RunResult without = runProgram(converter, work.path);
  EXPECT_EQ(without.exitCode, 1);
  EXPECT_EQ(without.out, expectedOutput([](const SessionLayout& l) {
              return "Unable to load the Encoder file: " + std::to_string(l.rows) + "by" +
                     std::to_string(l.columns) + "_QUOLMET.enc\n";
            }));
  EXPECT_EQ(readFile(work.file(stem(0, 0, 0) + ".npx")).find("Encoder"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Hand-built collections for the failure cases.

class OutputRun : public ::testing::Test {
 protected:
  void SetUp() override { converter = installWithOwnEncoders(install.path); }
  RunResult run() const { return runProgram(converter, work.path); }
  TempDir install;
  TempDir work;
  std::string converter;
};

// Subject 0 has sessions 0 (two epochs) and 1 (three); subject 1 session 2 (one).
InputFileContents threeSessions() {
  return collection(
      {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 1, 1}, {0, 1, 2, 2}},
      {6, 6, 6, 6, 6, 6}, 3);
}

const char kThreeSessionsWalk[] =
    "Processing DB_00\\\n"
    "\tProcessing Subject_01\\\n"
    "\t\tProcessing Subj01_01_06_06.bin\n"
    "\t\tProcessing Subj01_02_06_06.bin\n"
    "\tProcessing Subject_02\\\n"
    "\t\tProcessing Subj02_03_06_06.bin\n";

TEST_F(OutputRun, BinaryFileBlockedByADirectoryFailsTheRun) {
  writeInputFile(work.file(kInputName), threeSessions());
  fs::create_directories(work.file("DB_00/Subject_01/Subj01_01_06_06.bin"));
  const RunResult result = run();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(6, 3, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tError 21 creating fileSubj01_01_06_06.bin\n"
                            "\t\tProcessing Subj01_02_06_06.bin\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tProcessing Subj02_03_06_06.bin\n" +
                            closingCounts(1, 2, 1, 3));
  EXPECT_EQ(listTree(work.path),
            (std::map<std::string, uint64_t>{
                {kInputName, fs::file_size(work.file(kInputName))},
                {"DB_00/Subject_01/Subj01_02_06_06.bin", 160 + 3 * 4096},
                {"DB_00/Subject_01/Subj01_02_06_06.npx",
                 fs::file_size(work.file("DB_00/Subject_01/Subj01_02_06_06.npx"))},
                {"DB_00/Subject_02/Subj02_03_06_06.bin", 160 + 4096},
                {"DB_00/Subject_02/Subj02_03_06_06.npx",
                 fs::file_size(work.file("DB_00/Subject_02/Subj02_03_06_06.npx"))},
            }));
}

TEST_F(OutputRun, ReadOnlyFileStopsAnUnprivilegedUser) {
  writeInputFile(work.file(kInputName), threeSessions());
  const std::string subjectDir = work.file("DB_00/Subject_01");
  fs::create_directories(subjectDir);
  writeTextFile(subjectDir + "/Subj01_01_06_06.bin", "old");
  chmod((subjectDir + "/Subj01_01_06_06.bin").c_str(), 0444);
  for (const std::string& d : {work.path, work.file("DB_00"), subjectDir}) chmod(d.c_str(), 0777);
  chmod(install.path.c_str(), 0755);
  chmod(work.file(kInputName).c_str(), 0644);

  const RunResult result = runProgram(
      "setpriv", work.path, {"--reuid=65534", "--regid=65534", "--clear-groups", converter});
  if (result.exitCode == -1 || result.out.empty()) GTEST_SKIP() << "cannot run as another user";
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(6, 3, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tError 13 creating fileSubj01_01_06_06.bin\n"
                            "\t\tProcessing Subj01_02_06_06.bin\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tProcessing Subj02_03_06_06.bin\n" +
                            closingCounts(1, 2, 1, 3));
  EXPECT_EQ(readFile(subjectDir + "/Subj01_01_06_06.bin"), "old");
  EXPECT_FALSE(exists(subjectDir + "/Subj01_01_06_06.npx"));
  EXPECT_FALSE(exists(subjectDir + "/Subj01_01_06_06.bin.partial"));
  EXPECT_TRUE(exists(subjectDir + "/Subj01_02_06_06.npx"));
}

TEST_F(OutputRun, FileWhereADirectoryBelongs) {
  writeInputFile(work.file(kInputName),
                 collection({{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 2, 2}, {2, 3, 3, 3}},
                            {6, 6, 6, 6, 6, 6, 6, 6}, 4));
  writeTextFile(work.file("DB_00"), "");
  fs::create_directories(work.file("DB_02"));
  writeTextFile(work.file("DB_02/Subject_03"), "");
  const RunResult result = run();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(4, 4, 4) +
                            "Processing DB_00\\\n"
                            "Unable to create the directory DB_00: a file of that name is in the "
                            "way; its sessions are skipped\n"
                            "Processing DB_01\\\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tProcessing Subj02_02_06_06.bin\n"
                            "Processing DB_02\\\n"
                            "\tProcessing Subject_03\\\n"
                            "Unable to create the directory DB_02/Subject_03: a file of that name "
                            "is in the way; its sessions are skipped\n"
                            "\tProcessing Subject_04\\\n"
                            "\t\tProcessing Subj04_04_06_06.bin\n" +
                            closingCounts(3, 4, 1, 4));
  EXPECT_TRUE(exists(work.file("DB_01/Subject_02/Subj02_02_06_06.npx")));
  EXPECT_TRUE(exists(work.file("DB_02/Subject_04/Subj04_04_06_06.npx")));
}

TEST_F(OutputRun, FullDiskLeavesNoPartialFile) {
  // The input lives elsewhere; the working directory is a 64 KB filesystem
  // that holds the small sessions but not the 40-epoch one.
  std::vector<Place> places = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  for (int i = 0; i < 40; ++i) places.push_back({0, 0, 1, 1});
  places.push_back({0, 1, 2, 2});
  writeInputFile(install.file(kInputName), collection(places, {6, 6, 6, 6, 6, 6}, 3));

  SmallFilesystem small(work.file("small"));
  if (!small.mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  fs::create_symlink(install.file(kInputName), small.path + "/" + kInputName);
  const RunResult result = runProgram(converter, small.path);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(43, 3, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tProcessing Subj01_01_06_06.bin\n"
                            "\t\tProcessing Subj01_02_06_06.bin\n"
                            "Unable to write the file DB_00/Subject_01/Subj01_02_06_06.bin: No "
                            "space left on device; the file is removed\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tProcessing Subj02_03_06_06.bin\n" +
                            closingCounts(1, 2, 1, 3));
  EXPECT_EQ(outputFiles(small.path),
            (std::set<std::string>{
                "DB_00/Subject_01/Subj01_01_06_06.bin", "DB_00/Subject_01/Subj01_01_06_06.npx",
                "DB_00/Subject_02/Subj02_03_06_06.bin", "DB_00/Subject_02/Subj02_03_06_06.npx"}));
  EXPECT_EQ(fs::file_size(small.path + "/DB_00/Subject_01/Subj01_01_06_06.bin"), 160u + 2 * 4096);
}

TEST_F(OutputRun, FullDiskWhileSavingTheHeader) {
  SmallFilesystem small(work.file("small"));
  if (!small.mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  struct statvfs space {};
  ASSERT_EQ(statvfs(small.path.c_str(), &space), 0);
  if (space.f_bsize != 4096) GTEST_SKIP() << "sized for 4 KB blocks";
  // The binary file takes every free block: one per epoch and one more for
  // its 160-byte header, which leaves none for the NPX header.
  const size_t epochs = space.f_bavail - 1;
  writeInputFile(install.file(kInputName),
                 collection(std::vector<Place>(epochs, Place{0, 0, 0, 0}), {6, 6}, 1));
  fs::create_symlink(install.file(kInputName), small.path + "/" + kInputName);
  const RunResult result = runProgram(converter, small.path);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(epochs, 1, 1) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tProcessing Subj01_01_06_06.bin\n"
                            "Unable to save the header file DB_00/Subject_01/Subj01_01_06_06.npx: "
                            "No space left on device\n" +
                            closingCounts(1, 1, 1, 1));
  EXPECT_EQ(outputFiles(small.path),
            (std::set<std::string>{"DB_00/Subject_01/Subj01_01_06_06.bin"}));
  EXPECT_EQ(fs::file_size(small.path + "/DB_00/Subject_01/Subj01_01_06_06.bin"),
            160 + 4096 * epochs);
}

TEST_F(OutputRun, HeaderBlockedByADirectory) {
  writeInputFile(work.file(kInputName), threeSessions());
  fs::create_directories(work.file("DB_00/Subject_01/Subj01_01_06_06.npx"));
  const RunResult result = run();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(6, 3, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tProcessing Subj01_01_06_06.bin\n"
                            "Unable to save the header file DB_00/Subject_01/Subj01_01_06_06.npx: "
                            "Is a directory\n"
                            "\t\tProcessing Subj01_02_06_06.bin\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tProcessing Subj02_03_06_06.bin\n" +
                            closingCounts(1, 2, 1, 3));
  EXPECT_TRUE(exists(work.file("DB_00/Subject_01/Subj01_02_06_06.npx")));
  EXPECT_TRUE(exists(work.file("DB_00/Subject_02/Subj02_03_06_06.npx")));
}

TEST_F(OutputRun, SessionWithoutMatrixSizeIsReportedAndTheRestWritten) {
  InputFileContents contents = threeSessions();
  contents.matrixDims = {6, 6, 4, 5};  // nothing for session 2
  writeInputFile(work.file(kInputName), contents);
  const RunResult result = run();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(6, 2, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tProcessing Subj01_01_06_06.bin\n"
                            "\t\tProcessing Subj01_02_04_05.bin\n"
                            "\tProcessing Subject_02\\\n"
                            "Session 2 of subject 1 in database 0 is not converted: the input has "
                            "no matrix size for it (it holds 2)\n" +
                            closingCounts(1, 2, 2, 3));
  EXPECT_FALSE(exists(work.file("DB_00/Subject_02/Subj02_03_06_06.bin")));
}

TEST_F(OutputRun, SubjectMetadataInHeaders) {
  writeInputFile(work.file(kInputName), threeSessions());
  // UTF-8 "é" in the study; only subject 0 has a line, so the run is not complete.
  writeTextFile(work.file("DataSets.txt"),
                "Study\tSubject\tSessions\tSex\tAge\tCondition\tTrials\n"
                "Caf\xC3\xA9 & co\t1\t2\tF\t30\thealthy\t2\n");
  const RunResult result = run();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, inputCounts(6, 3, 3) + kThreeSessionsWalk + closingCounts(1, 2, 1, 3));
  const std::string first = work.file("DB_00/Subject_01/Subj01_01_06_06.npx");
  const std::string other = work.file("DB_00/Subject_02/Subj02_03_06_06.npx");
  EXPECT_NE(readFile(first).find("\t<Subject Age=\"30\" Sex=\"F\" Condition=\"healthy\" "
                                 "Study=\"Caf\xE9 &amp; co\" />\n"),
            std::string::npos)
      << readFile(first);
  EXPECT_NE(readFile(other).find("\t<Subject Age=\"0\" Sex=\"\" Condition=\"\" Study=\"\" />\n"),
            std::string::npos);
  const int lint = xmllint(first);
  if (lint < 0) GTEST_SKIP() << "xmllint is not available";
  EXPECT_EQ(lint, 0);
}

// The files below root with their contents, "/" after directories.
std::map<std::string, std::string> everything(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    entries[entry.is_directory() ? name + "/" : name] =
        entry.is_regular_file() ? readFile(entry.path().string()) : std::string();
  }
  return entries;
}

// Every .bin below root has its .npx and no .partial file is left.
void expectOnlyPairs(const std::string& root) {
  for (const auto& [name, size] : listTree(root)) {
    const fs::path path(name);
    EXPECT_NE(path.extension(), ".partial") << name;
    if (path.extension() == ".bin") {
      EXPECT_TRUE(exists(root + "/" + fs::path(name).replace_extension(".npx").string())) << name;
    }
  }
}

TEST_F(OutputRun, SecondRunInTheSameFolderIsRefusedAndTouchesNothing) {
  writeInputFile(work.file(kInputName), threeSessions());
  writeSubjectFile(work.file("DataSets.txt"), 2);
  // What a first run has in progress.
  fs::create_directories(work.file("DB_00/Subject_01"));
  writeTextFile(work.file("DB_00/Subject_01/Subj01_01_06_06.bin.partial"), "in progress");
  writeTextFile(work.file("DB_00/Subject_01/Subj01_01_06_06.bin"), "written");
  const auto before = everything(work.path);
  {
    const int folder = open(work.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    const RunResult refused = run();
    close(folder);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "erp2npx: another conversion is running in this directory: this one stops and "
              "leaves its files alone\n");
    EXPECT_TRUE(everything(work.path) == before);
  }
  // Once the first is gone, a run converts, its lock leaving nothing behind.
  const RunResult result = run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, inputCounts(6, 3, 3) + kThreeSessionsWalk + closingCounts(1, 2, 1, 3));
  EXPECT_EQ(outputFiles(work.path).size(), 8u);  // with the inputs
  expectOnlyPairs(work.path);
}

// Subject 0 session 0 of two epochs, session 1 of 40, subject 1 session 2 of one.
InputFileContents oneLargeSession() {
  std::vector<Place> places = {{0, 0, 0, 0}, {0, 0, 0, 0}};
  for (int i = 0; i < 40; ++i) places.push_back({0, 0, 1, 1});
  places.push_back({0, 1, 2, 2});
  return collection(places, {6, 6, 6, 6, 6, 6}, 3);
}

TEST_F(OutputRun, FileSizeLimitFailsTheLargeSessionOnlyAndItsEarlierPairGoes) {
  writeInputFile(work.file(kInputName), oneLargeSession());
  writeSubjectFile(work.file("DataSets.txt"), 2);
  ASSERT_EQ(run().exitCode, 0);
  // Rerun where no file may grow past 64 KB: the 40-epoch file cannot be.
  RunSetup limited;
  limited.fileSizeLimit = 64 * 1024;
  const RunResult result = runProgramWith(converter, work.path, limited);
  EXPECT_EQ(result.killedBy, 0);
  EXPECT_EQ(result.exitCode, 1);
  const std::string large = "DB_00/Subject_01/Subj01_02_06_06";
  EXPECT_EQ(result.out, inputCounts(43, 3, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tProcessing Subj01_01_06_06.bin\n"
                            "\t\tProcessing Subj01_02_06_06.bin\n"
                            "Unable to write the file " +
                            large +
                            ".bin: File too large; the file is removed\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tProcessing Subj02_03_06_06.bin\n" +
                            closingCounts(1, 2, 1, 3));
  const auto removed = [&](const std::string& extension) {
    return "erp2npx: the file " + large + extension +
           " of an earlier run is removed, so that it is not taken for this input's\n";
  };
  EXPECT_EQ(result.err, removed(".bin") + removed(".npx"));
  EXPECT_EQ(outputFiles(work.path),
            (std::set<std::string>{
                kInputName, "DataSets.txt", "DB_00/Subject_01/Subj01_01_06_06.bin",
                "DB_00/Subject_01/Subj01_01_06_06.npx", "DB_00/Subject_02/Subj02_03_06_06.bin",
                "DB_00/Subject_02/Subj02_03_06_06.npx"}));
}

TEST_F(OutputRun, StandardOutputThatFailsIsReportedAndTheTreeStillWhole) {
  writeInputFile(work.file(kInputName), oneLargeSession());
  writeSubjectFile(work.file("DataSets.txt"), 2);
  TempDir reference;
  writeInputFile(reference.file(kInputName), oneLargeSession());
  writeSubjectFile(reference.file("DataSets.txt"), 2);
  ASSERT_EQ(runProgram(converter, reference.path).exitCode, 0);
  const auto expected = treeContents(reference.path);
  const std::string noted =
      "erp2npx: unable to write to standard output: %s; the conversion went on, but its report "
      "is incomplete\n";
  char message[256];
  {
    // A pipe whose reader is gone, as after "| head": every write fails.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    RunSetup setup;
    setup.standardOutput = ends[1];
    const RunResult result = runProgramWith(converter, work.path, setup);
    close(ends[1]);
    EXPECT_EQ(result.killedBy, 0);
    EXPECT_EQ(result.exitCode, 1);
    std::snprintf(message, sizeof message, noted.c_str(), std::strerror(EPIPE));
    EXPECT_EQ(result.err, message);
    expectOnlyPairs(work.path);
    EXPECT_TRUE(treeContents(work.path) == expected);
  }
  fs::remove_all(work.file("DB_00"));
  {
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    RunSetup setup;
    setup.standardOutput = full;
    const RunResult result = runProgramWith(converter, work.path, setup);
    close(full);
    EXPECT_EQ(result.exitCode, 1);
    std::snprintf(message, sizeof message, noted.c_str(), std::strerror(ENOSPC));
    EXPECT_EQ(result.err, message);
    EXPECT_TRUE(treeContents(work.path) == expected);
  }
}

TEST_F(OutputRun, EarlierFilesThatCannotBeRemovedAreNamed) {
  writeInputFile(work.file(kInputName), threeSessions());
  writeSubjectFile(work.file("DataSets.txt"), 2);
  ASSERT_EQ(run().exitCode, 0);
  // An unprivileged rerun in folders it cannot write, with the first
  // session's earlier files its to write, not to remove.
  for (const char* name : {"Subj01_01_06_06.bin", "Subj01_01_06_06.npx"}) {
    chmod(work.file(std::string("DB_00/Subject_01/") + name).c_str(), 0666);
  }
  for (const std::string& d : {work.path, work.file("DB_00"), work.file("DB_00/Subject_01"),
                               work.file("DB_00/Subject_02")}) {
    chmod(d.c_str(), 0755);
  }
  const RunResult result = runAsNobody(converter, work.path);
  if (result.out.empty()) GTEST_SKIP() << "cannot run as another user";
  EXPECT_EQ(result.exitCode, 1);
  const auto notRemoved = [](const std::string& name) {
    return "erp2npx: unable to remove the file DB_00/Subject_01/" + name +
           " of an earlier run: Permission denied; it does not come from this input\n";
  };
  EXPECT_EQ(result.out, inputCounts(6, 3, 3) +
                            "Processing DB_00\\\n"
                            "\tProcessing Subject_01\\\n"
                            "\t\tError 13 creating fileSubj01_01_06_06.bin\n"
                            "\t\tError 13 creating fileSubj01_02_06_06.bin\n"
                            "\tProcessing Subject_02\\\n"
                            "\t\tError 13 creating fileSubj02_03_06_06.bin\n" +
                            closingCounts(1, 2, 1, 3));
  EXPECT_EQ(result.err, notRemoved("Subj01_01_06_06.bin") + notRemoved("Subj01_01_06_06.npx"));
  EXPECT_EQ(outputFiles(work.path).size(), 8u);
}

}  // namespace
}  // namespace erp2npx::test
