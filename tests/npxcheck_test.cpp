#ifdef NPXCHECK_EXECUTABLE

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <pugixml.hpp>
#include <sstream>
#include <tuple>

#include "npxcheck/command_line.h"
#include "npxcheck/erp_plot.h"
#include "npxcheck/session_files.h"
#include "npxcheck/tree_check.h"
#include "test_support.h"

namespace erp2npx::test {
namespace {

namespace fs = std::filesystem;
// What a text must hold, and where.
struct TextPart {
  enum Place { kAnywhere, kStart, kEnd } place;
  std::string part;
};
TextPart contains(const std::string& part) { return {TextPart::kAnywhere, part}; }
TextPart startsWith(const std::string& part) { return {TextPart::kStart, part}; }
TextPart endsWith(const std::string& part) { return {TextPart::kEnd, part}; }

::testing::AssertionResult holds(const std::string& text, const TextPart& test) {
  const size_t at = test.place == TextPart::kEnd && text.size() >= test.part.size()
                        ? text.size() - test.part.size()
                        : 0;
  const bool found = test.place == TextPart::kAnywhere
                         ? text.find(test.part) != std::string::npos
                         : text.compare(at, test.part.size(), test.part) == 0;
  if (found) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << test.part << "\" is not "
                                       << (test.place == TextPart::kAnywhere ? "in"
                                           : test.place == TextPart::kStart  ? "at the start of"
                                                                             : "at the end of")
                                       << "\n"
                                       << text;
}
#define EXPECT_TEXT(text, test) EXPECT_TRUE(holds(text, test))

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

Outcome npxcheck(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  const int exitCode = npxcheck::runNpxcheck(arguments, out, err);
  return {exitCode, out.str(), err.str()};
}

// Generates a dataset in dir with the given options and converts it there.
void convertGenerated(const std::string& dir, std::vector<std::string> options) {
  options.insert(options.begin(), {"--out", "."});
  ASSERT_EQ(runProgram(ERP2NPX_GENERATOR, dir, options).exitCode, 0);
  TempDir bin;
  installConverter(bin.path);
  ASSERT_EQ(runProgram(bin.file("erp2npx"), dir).exitCode, 0);
}

// Two sessions: 72 stimuli of a 6-by-6 speller in DB_00, 54 of a 4-by-5 one in DB_01.
const std::vector<std::string> kSmallCollection = {
    "--databases",          "2", "--subjects-per-db", "1", "--sessions-per-subject", "1",
    "--trials-per-session", "2", "--sequences",       "3"};

const std::string kSession = "DB_00/Subject_01/Subj01_01_06_06";
const std::string kOtherSession = "DB_01/Subject_02/Subj02_02_04_05";
constexpr const char* kSource = "QUOLMET ERP-BCI.hdf5";

void replaceOnce(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = readFile(path);
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from << " not in " << path;
  text.replace(at, from.size(), to);
  writeTextFile(path, text);
}

void overwriteBytes(const std::string& path, std::streamoff offset, const std::string& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(offset);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good());
}

// One converted collection, copied afresh for every test that damages it.
class NpxcheckTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    original_ = new TempDir;
    convertGenerated(original_->path, kSmallCollection);
  }
  static void TearDownTestSuite() { delete original_; }

  void SetUp() override {
    fs::copy(original_->path, work_.path,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

  std::string path(const std::string& relative) const { return work_.file(relative); }

  Outcome checkTree() { return npxcheck({work_.path}); }
  Outcome checkWithSource() { return npxcheck({work_.path, "--source", path(kSource)}); }

  static TempDir* original_;
  TempDir work_;
};

TempDir* NpxcheckTree::original_ = nullptr;

TEST_F(NpxcheckTree, ConversionOfGeneratedDataPassesAloneAndAgainstItsSource) {
  const Outcome alone = checkTree();
  EXPECT_EQ(alone.out, "4 files, 126 epochs, 0 problems\n");
  EXPECT_EQ(alone.exitCode, 0);
  const Outcome proven = checkWithSource();
  EXPECT_EQ(proven.out,
            "source: 126 stimuli, 126 accounted for\n4 files, 126 epochs, 0 problems\n");
  EXPECT_EQ(proven.exitCode, 0);
  EXPECT_EQ(proven.err, "");
}

TEST_F(NpxcheckTree, TruncatedBinaryFileIsReportedAndItsLastStimulusUnaccounted) {
  fs::resize_file(path(kSession + ".bin"), 295072 - 4096);
  const std::string truncated = kSession +
                                ".bin: is truncated: it holds 290976 bytes, its header "
                                "announces 295072 (9216 sample positions of 8 channels)\n";
  const Outcome alone = checkTree();
  EXPECT_EQ(alone.out, truncated + "4 files, 126 epochs, 1 problem\n");
  EXPECT_EQ(alone.exitCode, 1);
  EXPECT_EQ(checkWithSource().out,
            truncated + kSession +
                ".bin: ends within epoch 71: 1 stimulus is missing from it\n"
                "source: 126 stimuli, 125 accounted for\n4 files, 126 epochs, 2 problems\n");
}

TEST_F(NpxcheckTree, SamplesThatDisagreeWithThePositionCount) {
  replaceOnce(path(kSession + ".npx"), "<Samples>9216</Samples>", "<Samples>9088</Samples>");
  const Outcome outcome = checkTree();
  EXPECT_EQ(outcome.out, kSession + ".npx: Recording/Samples is 9088, but " + kSession +
                             ".bin holds 9216 sample positions\n4 files, 126 epochs, 1 problem\n");
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST_F(NpxcheckTree, EventsOutsideTheFileOrOffAnEpochStart) {
  replaceOnce(path(kSession + ".npx"), "<Event VSB=\"256\" />", "<Event VSB=\"9216\" />");
  replaceOnce(path(kOtherSession + ".npx"), "<Event VSB=\"0\" />", "<Event VSB=\"300\" />");
  const Outcome outcome = checkTree();
  EXPECT_EQ(outcome.out,
            kSession +
                ".npx: class Row1: an event lies outside the file's 9216 sample positions "
                "(VSB=\"9216\")\n" +
                kSession + ".npx: 1 epoch is in no code class (first: epoch 2 at position 256)\n" +
                kOtherSession +
                ".npx: class Row2: an event is not at an epoch start (VSB=\"300\")\n" +
                kOtherSession +
                ".npx: 1 epoch is in no code class (first: epoch 0 at position 0)\n"
                "4 files, 126 epochs, 4 problems\n");
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST_F(NpxcheckTree, MissingHeaderAndLeftoverPartialFile) {
  fs::remove(path(kSession + ".npx"));
  writeTextFile(path(kSession + ".npx.partial"), "<?xml");
  const std::string problems =
      kSession + ".bin: has no header Subj01_01_06_06.npx beside it\n" + kSession +
      ".npx.partial: incomplete output left by an interrupted conversion\n";
  EXPECT_EQ(checkTree().out, problems + "4 files, 54 epochs, 2 problems\n");
  EXPECT_EQ(checkWithSource().out,
            problems + kSession +
                ".npx: missing: the 72 stimuli of DB_00/Subject_01, session 01 are not "
                "accounted for\nsource: 126 stimuli, 54 accounted for\n"
                "4 files, 54 epochs, 3 problems\n");
}

TEST_F(NpxcheckTree, BinaryHeaderFieldsAgainstTheHeaderTheConverterWrites) {
  overwriteBytes(path(kSession + ".bin"), 8, std::string("\x10\0\0\0", 4));
  overwriteBytes(path(kSession + ".bin"), 33, "x");
  overwriteBytes(path(kOtherSession + ".bin"), 0, "NPYFILE");
  EXPECT_EQ(checkTree().out,
            kSession + ".bin: the format version is 16, expected 17\n" + kSession +
                ".bin: channel 1 is named \"Fx\", its Sensor element \"Fz\"\n" + kOtherSession +
                ".bin: does not start with the magic NPXFILE of a binary epoch file\n"
                "4 files, 72 epochs, 3 problems\n");
}

TEST_F(NpxcheckTree, TrialsThatDoNotTouchAndTargetsThatDoNotFollowThem) {
  replaceOnce(path(kSession + ".npx"), "<Event VSB=\"4608\" VSE=\"9216\" />",
              "<Event VSB=\"4736\" VSE=\"9216\" />");
  EXPECT_EQ(checkTree().out,
            kSession +
                ".npx: trial 2 (4736 to 9216) does not begin where the previous trial ended, at "
                "4608\n" +
                kSession +
                ".npx: trial target class \"2\" of trial 2 (4736 to 9216) has VSB=\"4608\" "
                "VSE=\"9089\", expected VSB=\"4736\" VSE=\"9089\"\n"
                "4 files, 126 epochs, 2 problems\n");
}

TEST_F(NpxcheckTree, HeaderThatIsNotWellFormedXml) {
  const std::string npx = path(kSession + ".npx");
  fs::resize_file(npx, fs::file_size(npx) / 2);
  const Outcome outcome = checkTree();
  EXPECT_TEXT(outcome.out, startsWith(kSession + ".npx: is not well-formed XML: "));
  EXPECT_TEXT(outcome.out, endsWith("4 files, 126 epochs, 1 problem\n"));
}

TEST_F(NpxcheckTree, OneFlippedSampleIsCaughtOnlyAgainstTheSource) {
  // Epoch 0, sample 3, channel Pz: value 3 * 8 + 2 of the data block.
  const std::string bin = path(kSession + ".bin");
  const std::streamoff offset =
      static_cast<std::streamoff>(dataOffset(readEpochFile(bin).header)) + 4 * (3 * 8 + 2);
  std::string bytes = readFile(bin).substr(static_cast<size_t>(offset), 1);
  bytes[0] = static_cast<char>(bytes[0] ^ 1);
  overwriteBytes(bin, offset, bytes);
  EXPECT_EQ(checkTree().exitCode, 0);
  const Outcome outcome = checkWithSource();
  EXPECT_TEXT(
      outcome.out,
      contains(kSession + ".bin: 1 epoch differing from the source's /features (first: epoch 0, "
                          "stimulus 0, sample 3 of Pz: file "));
  EXPECT_TEXT(outcome.out, endsWith("source: 126 stimuli, 125 accounted for\n"
                                    "4 files, 126 epochs, 1 problem\n"));
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST_F(NpxcheckTree, CodeClassThatDisagreesWithTheSourceCodes) {
  replaceOnce(path(kSession + ".npx"), "Name=\"Row1\"", "Name=\"Row2\"");
  EXPECT_EQ(checkTree().exitCode, 0);
  EXPECT_EQ(checkWithSource().out,
            kSession +
                ".npx: 6 epochs in the wrong code class (first: epoch 2, stimulus 2: in class "
                "\"Row2\", the source's code 0 is \"Row1\")\n"
                "source: 126 stimuli, 120 accounted for\n4 files, 126 epochs, 1 problem\n");
}

TEST_F(NpxcheckTree, SessionFileNamedAfterAnotherMatrixSize) {
  for (const char* extension : {".bin", ".npx"}) {
    fs::rename(path(kSession + extension),
               path("DB_00/Subject_01/Subj01_01_06_07" + std::string(extension)));
  }
  const Outcome outcome = checkWithSource();
  EXPECT_TEXT(
      outcome.out,
      contains(kSession + ".bin: missing: the 72 stimuli of DB_00/Subject_01, session 01 are "
                          "not accounted for; Subj01_01_06_07 is there, named after another "
                          "matrix size\n"));
  EXPECT_TEXT(outcome.out,
              contains("DB_00/Subject_01/Subj01_01_06_07.bin: was made from no session of the "
                       "source\n"));
  // Its 6-by-6 symbols are no cells of a 6-by-7 speller.
  EXPECT_TEXT(outcome.out,
              contains("DB_00/Subject_01/Subj01_01_06_07.npx: trial target class \"G\" names "
                       "no cell of the 6 x 7 speller\n"));
}

TEST_F(NpxcheckTree, UnreadableDirectoryIsNamedWithItsReason) {
  // Root reads any directory, so the check then runs as nobody.
  fs::permissions(path("DB_01/Subject_02"), fs::perms::none);
  fs::permissions(work_.path, fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  const RunResult run = geteuid() == 0 ? runAsNobody(NPXCHECK_EXECUTABLE, work_.path, {"."})
                                       : runProgram(NPXCHECK_EXECUTABLE, work_.path, {"."});
  EXPECT_EQ(run.out,
            "DB_01/Subject_02: cannot be read: Permission denied\n2 files, 72 epochs, 1 problem\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST_F(NpxcheckTree, DeepTreeIsReadWithFewDescriptorsAndNoneLeftIsAProblem) {
  std::string deep = "deep";
  for (int level = 0; level < 40; ++level) deep += "/d";
  fs::create_directories(path(deep));
  writeTextFile(path(deep + "/Subj01_01_06_06.bin.partial"), "");
  const RunResult run =
      runProgram("/usr/bin/prlimit", work_.path, {"--nofile=16", NPXCHECK_EXECUTABLE, "."});
  EXPECT_EQ(run.out, deep +
                         "/Subj01_01_06_06.bin.partial: incomplete output left by an interrupted "
                         "conversion\n5 files, 126 epochs, 1 problem\n");

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = dup(0);
  close(lowestFree);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  const npxcheck::TreeFiles tree = npxcheck::scanTree(work_.path);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(tree.problems,
            std::vector<std::string>{work_.path + ": cannot be read: Too many open files"});
  EXPECT_EQ(npxcheck::summaryLine(npxcheck::checkTree(tree)), "0 files, 0 epochs, 1 problem");
}

TEST_F(NpxcheckTree, DirectoryLinksAreFollowedAndLoopsReported) {
  TempDir elsewhere;
  fs::rename(path("DB_00"), elsewhere.file("DB_00"));
  fs::create_directory_symlink(elsewhere.file("DB_00"), path("DB_00"));
  EXPECT_EQ(checkWithSource().out,
            "source: 126 stimuli, 126 accounted for\n4 files, 126 epochs, 0 problems\n");
  fs::create_directory_symlink("..", path("DB_01/Subject_02/back"));
  fs::create_directory_symlink("DB_00", path("DB_02"));
  fs::create_symlink("nowhere", path("DB_01/dangling"));
  const Outcome outcome = checkTree();
  EXPECT_EQ(outcome.out,
            "DB_01/Subject_02/back: is a link back to \"DB_01\", a directory loop\n"
            "DB_01/dangling: cannot be examined: No such file or directory\n"
            "DB_02: leads to the directory already scanned as \"DB_00\"\n"
            "4 files, 126 epochs, 3 problems\n");
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST_F(NpxcheckTree, HeaderIsOneLatin1DocumentWithNothingAfterIt) {
  const std::string npx = path(kSession + ".npx");
  const std::string original = readFile(npx);
  std::string utf16 = "\xFF\xFE";
  for (const char c : original) utf16 += std::string{c, '\0'};
  const std::pair<std::string, std::string> cases[] = {
      {original + "\n \t\r\n", ""},
      {original + std::string("\0garbage", 8), "holds a NUL byte at byte " +
                                                   std::to_string(original.size()) +
                                                   ", which no XML document may hold"},
      {original + "garbage",
       "holds text after its root element <DOC>, where nothing but "
       "whitespace may follow"},
      {original + "<DOC/>",
       "holds an element <DOC> after its root element <DOC>, where "
       "nothing but whitespace may follow"},
      {original + "<!-- -->",
       "holds a comment after its root element <DOC>, where nothing but "
       "whitespace may follow"},
      {utf16, "is encoded in UTF-16, not ISO-8859-1"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + original.substr(original.find('\n')),
       "does not begin with the line <?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"},
  };
  for (const auto& [text, problem] : cases) {
    writeTextFile(npx, text);
    EXPECT_EQ(checkTree().out, problem.empty() ? "4 files, 126 epochs, 0 problems\n"
                                               : kSession + ".npx: " + problem +
                                                     "\n4 files, 126 epochs, 1 problem\n");
  }
}

TEST_F(NpxcheckTree, RecordingNumbersAgainstTheBinaryHeaderAndTheConvertersValues) {
  const std::string npx = path(kSession + ".npx");
  replaceOnce(npx, "<Version>17</Version>", "");
  replaceOnce(npx, "<VersionMin>17</VersionMin>", "<VersionMin>017</VersionMin>");
  replaceOnce(npx, "<BaseSR>128</BaseSR>", "<BaseSR>256</BaseSR>");
  // Where the binary file is damaged too, the converter's value is the measure.
  overwriteBytes(path(kOtherSession + ".bin"), 16, std::string("\0\1\0\0", 4));
  replaceOnce(path(kOtherSession + ".npx"), "<BaseSR>128</BaseSR>", "<BaseSR>256</BaseSR>");
  replaceOnce(path(kOtherSession + ".npx"), "ResolutionSR=\"128\"", "ResolutionSR=\"64\"");
  const std::string problems = kSession + ".npx: has no FileInfo/Version\n" + kSession +
                               ".npx: FileInfo/VersionMin is \"017\", but " + kSession +
                               ".bin has the format version 17\n" + kSession +
                               ".npx: Recording/BaseSR is \"256\", but " + kSession +
                               ".bin has the sampling rate 128\n" + kOtherSession +
                               ".bin: the sampling rate is 256, expected 128\n" + kOtherSession +
                               ".npx: Recording/BaseSR is \"256\", expected 128\n" + kOtherSession +
                               ".npx: Events/ResolutionSR is \"64\", expected 128\n";
  EXPECT_EQ(checkTree().out, problems + "4 files, 126 epochs, 6 problems\n");
  const Outcome proven = checkWithSource();
  EXPECT_EQ(proven.out, problems +
                            "source: 126 stimuli, 126 accounted for\n4 files, 126 epochs, 6 "
                            "problems\n");
  EXPECT_EQ(proven.exitCode, 1);
}

TEST_F(NpxcheckTree, NamesAndClassesTheConverterCannotWrite) {
  replaceOnce(path(kSession + ".npx"), "Name=\"Row1\"", "Name=\"Row01\"");
  replaceOnce(path(kSession + ".npx"), "Name=\"Col2\"", "Name=\"Col+2\"");
  replaceOnce(path(kOtherSession + ".npx"), "Name=\"Row1-Col1\"", "Name=\"Row1-Col01\"");
  fs::rename(path("DB_01"), path("DB_001"));
  const std::string other = "DB_001/Subject_02/Subj02_02_04_05";
  EXPECT_EQ(checkTree().out,
            kSession +
                ".npx: class 1 \"Row01\" is no code class of the 6 x 6 speller, nor Target or "
                "Standard\n" +
                kSession +
                ".npx: class 1 \"Col+2\" is no code class of the 6 x 6 speller, nor Target or "
                "Standard\n" +
                other +
                ".bin: lies in \"DB_001/Subject_02\", not in DB_xx/Subject_02 below the tree\n" +
                other +
                ".npx: trial target class \"Row1-Col01\" names no cell of the 4 x 5 speller\n"
                "4 files, 126 epochs, 4 problems\n");
}

TEST(NpxcheckSource, ScatteredCompressedInputIsProven) {
  TempDir work;
  std::vector<std::string> options = kSmallCollection;
  options.insert(options.end(), {"--scattered", "--compress"});
  convertGenerated(work.path, options);
  const Outcome outcome = npxcheck({work.path, "--source", work.file(kSource)});
  EXPECT_EQ(outcome.out,
            "source: 126 stimuli, 126 accounted for\n4 files, 126 epochs, 0 problems\n");
}

TEST(NpxcheckSource, NamesFromExtremeNumbersPassAsTheConverterWritesThem) {
  // Subject 2^31 - 1; a 6-by-6 session whose trial target lies outside the
  // speller table, and a -5-by--7 one; codes beyond the rows plus columns
  // and below zero.
  InputFileContents input = smallInput();
  input.matrixDims = {6, 6, -5, -7};
  std::fill(input.subjects.begin(), input.subjects.end(), 2147483647);
  input.runIndexes = {0, 0, 0, 1, 1, 1};
  input.codes = {40, -4, 5, 40, -6, -5};
  input.target[5] = 9;
  TempDir bin, work;
  installConverter(bin.path);
  writeInputFile(work.file(kSource), input);
  runProgram(bin.file("erp2npx"), work.path);
  const std::string subject = work.file("DB_00/Subject_2147483648/");
  const std::string sixBySix = readFile(subject + "Subj2147483648_01_06_06.npx");
  for (const char* name : {"\"Col35\"", "\"Row-3\"", "Name=\"\""}) {
    EXPECT_NE(sixBySix.find(name), std::string::npos) << name;
  }
  const std::string negative = readFile(subject + "Subj2147483648_02_-5_-7.npx");
  for (const char* name : {"\"Col46\"", "\"Row-5\"", "\"Col1\"", "\"Row2-Col14\""}) {
    EXPECT_NE(negative.find(name), std::string::npos) << name;
  }
  // No encoder file serves a -5-by--7 speller, so its header lacks one.
  const Outcome outcome = npxcheck({work.path, "--source", work.file(kSource)});
  EXPECT_EQ(outcome.out,
            "DB_00/Subject_2147483648/Subj2147483648_02_-5_-7.npx: has no "
            "P2731/ControlInterface/Encoder element: the speller's encoder is missing\n"
            "source: 6 stimuli, 6 accounted for\n4 files, 6 epochs, 1 problem\n");
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST_F(NpxcheckTree, PlotIsAnSvgWithOnePanelPerChannel) {
  const std::string svg = path("erp.svg");
  const Outcome outcome = npxcheck({work_.path, "--plot", svg});
  EXPECT_EQ(outcome.out, "wrote " + svg + ": 2 sessions, 24 target epochs, 102 standard epochs\n");
  EXPECT_EQ(outcome.exitCode, 0);

  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(svg.c_str()));
  const pugi::xml_node root = document.child("svg");
  EXPECT_STREQ(root.attribute("xmlns").value(), "http://www.w3.org/2000/svg");
  const pugi::xpath_node_set panels = root.select_nodes("g[@class='panel']");
  ASSERT_EQ(panels.size(), 8u);
  const char* const channels[] = {"Fz", "Cz", "Pz", "P3", "P4", "PO7", "PO8", "Oz"};
  for (size_t c = 0; c < panels.size(); ++c) {
    const pugi::xml_node panel = panels[c].node();
    EXPECT_EQ(std::string(panel.attribute("id").value()), std::string("panel-") + channels[c]);
    // Target, standard and their difference; a band around each mean.
    for (const auto& [shape, count, points] :
         {std::make_tuple("polyline", 3u, 128), std::make_tuple("polygon", 2u, 256)}) {
      const pugi::xpath_node_set drawn = panel.select_nodes(shape);
      EXPECT_EQ(drawn.size(), count);
      for (const pugi::xpath_node& line : drawn) {
        std::istringstream values(line.node().attribute("points").value());
        EXPECT_EQ(std::distance(std::istream_iterator<std::string>(values),
                                std::istream_iterator<std::string>()),
                  points);
      }
    }
    const pugi::xml_node flash = panel.select_node("line[@class='flash']").node();
    EXPECT_STREQ(flash.attribute("x1").value(), flash.attribute("x2").value());
    EXPECT_STRNE(flash.attribute("stroke-dasharray").value(), "");
  }
  EXPECT_TRUE(root.find_node(
      [](pugi::xml_node node) { return std::string(node.child_value()) == "Target (n=24)"; }));
  EXPECT_EQ(root.select_nodes("//g[@class='peak-row']").size(), 8u);
  // Self-contained: nothing fetched, nothing run.
  EXPECT_EQ(root.select_nodes("//*[@href or @xlink:href] | //script | //style").size(), 0u);
  EXPECT_EQ(readFile(svg).find("url("), std::string::npos);
}

// The texts of a table's rows, cells joined by "|".
std::vector<std::string> tableRows(const pugi::xml_document& page, const std::string& table) {
  std::vector<std::string> rows;
  for (const pugi::xpath_node& row :
       page.select_nodes(("//table[@class='" + table + "']/tr").c_str())) {
    std::string cells;
    for (const pugi::xml_node cell : row.node().children())
      cells += cell.text().get() + std::string("|");
    rows.push_back(cells);
  }
  return rows;
}

TEST_F(NpxcheckTree, ReportIsOneSelfContainedPageOfTheCheckSubjectsAveragesAndSessions) {
  const std::string html = path("report.html");
  const Outcome outcome = npxcheck({work_.path, "--report", html, "--source", path(kSource)});
  EXPECT_EQ(outcome.out,
            "source: 126 stimuli, 126 accounted for\n4 files, 126 epochs, 0 problems\n"
            "wrote " +
                html + "\n");
  EXPECT_EQ(outcome.exitCode, 0);
  const std::string text = readFile(html);
  // Nothing fetched, nothing run.
  for (const char* reference : {"http", "//", "<script", "src=", "href", "url(", "@import"}) {
    EXPECT_EQ(text.find(reference), std::string::npos) << reference;
  }
  pugi::xml_document page;
  ASSERT_TRUE(page.load_string(text.c_str(), pugi::parse_default | pugi::parse_doctype));
  EXPECT_EQ(page.select_nodes("//style").size(), 1u);
  // The grand average and one per subject, each with its eight panels.
  const pugi::xpath_node_set svgs = page.select_nodes("//svg");
  ASSERT_EQ(svgs.size(), 3u);
  EXPECT_STREQ(svgs[1].node().child_value("title"), "Average ERP of DB_00/Subject_01, 1 session");
  for (const pugi::xpath_node& svg : svgs) {
    EXPECT_EQ(svg.node().select_nodes("g[@class='panel']").size(), 8u);
    EXPECT_EQ(svg.node().select_nodes(".//g[@class='peak-row']").size(), 8u);
  }
  EXPECT_EQ(tableRows(page, "summary"),
            (std::vector<std::string>{"databases|2|", "subjects|2|", "sessions|2|", "trials|4|",
                                      "epochs|126|", "targets|24|", "standards|102|"}));
  EXPECT_TEXT(text,
              contains("<p class=\"ok\">Sound: 4 files, 126 epochs, 0 problems</p>\n<p>Against " +
                       path(kSource) + ": source: 126 stimuli, 126 accounted for</p>"));
  EXPECT_EQ(tableRows(page, "subjects"),
            (std::vector<std::string>{"subject|Age|Sex|Condition|Study|",
                                      "DB_00/Subject_01|28|F|healthy|DB01|",
                                      "DB_01/Subject_02|23|M|healthy|DB02|"}));
  // 6-by-6 targets are named by their symbol, others through the header's encoder.
  EXPECT_EQ(
      tableRows(page, "sessions"),
      (std::vector<std::string>{"directory|session|matrix|trials|epochs|targets|spelled text|",
                                "DB_00/Subject_01|Subj01_01_06_06|6 x 6|2|72|12|G2|",
                                "DB_01/Subject_02|Subj02_02_04_05|4 x 5|2|54|12|MA|"}));

  // The check's problems and its exit value; a file that cannot be averaged
  // is left out of the averages by name.
  fs::resize_file(path(kSession + ".bin"), 4096);
  const Outcome damaged = npxcheck({work_.path, "--report", html});
  EXPECT_EQ(damaged.exitCode, 1);
  const std::string truncated =
      kSession +
      ".bin: is truncated: it holds 4096 bytes, its header announces 295072 (9216 "
      "sample positions of 8 channels)";
  EXPECT_EQ(damaged.out, truncated + "\n4 files, 126 epochs, 1 problem\nwrote " + html + "\n");
  const std::string damagedPage = readFile(html);
  EXPECT_TEXT(damagedPage,
              contains("<p class=\"bad\">Problems found: 4 files, 126 epochs, 1 problem</p>\n"
                       "<ul class=\"problems\">\n<li>" +
                       truncated + "</li>\n</ul>\n"));
  EXPECT_TEXT(damagedPage,
              contains("<ul class=\"left-out\">\n<li>" + kSession +
                       ".bin does not hold the epochs its header announces</li>\n</ul>\n"));
  EXPECT_TEXT(damagedPage, contains("<title>Grand average of 1 session</title>"));

  const std::string nowhere = path("none/report.html");
  const Outcome unwritten = npxcheck({work_.path, "--report", nowhere});
  EXPECT_EQ(unwritten.err, "npxcheck: " + nowhere + ": cannot be written\n");
  EXPECT_EQ(unwritten.exitCode, 1);
}

// Renders a page in a headless browser; its console lines and whether the
// screenshot shows more than one colour.
struct Rendered {
  std::string console;
  bool drawn = false;
};

Rendered renderInBrowser(const std::string& page, const TempDir& work) {
  const std::string png = work.file("shot.png");
  const RunResult browser =
      runProgram("/bin/sh", work.path,
                 {"-c",
                  "chromium --headless --no-sandbox --disable-gpu --disable-background-networking "
                  "--disable-component-update --disable-sync --no-first-run --user-data-dir=" +
                      work.file("profile") + " --window-size=1200,2400 --screenshot=" + png +
                      " --enable-logging=stderr --v=0 file://" + page + " 2>&1"});
  Rendered rendered;
  std::istringstream lines(browser.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(":CONSOLE") != std::string::npos) rendered.console += line + "\n";
  }
  // The number of distinct bytes in the image's inflated rows.
  const RunResult colours =
      runProgram("python3", work.path,
                 {"-c",
                  "import struct, sys, zlib\n"
                  "d = open(sys.argv[1], \"rb\").read()\n"
                  "i, z = 8, b\"\"\n"
                  "while i < len(d):\n"
                  "    n, = struct.unpack(\">I\", d[i:i + 4])\n"
                  "    z += d[i + 8:i + 8 + n] if d[i + 4:i + 8] == b\"IDAT\" else b\"\"\n"
                  "    i += 12 + n\n"
                  "print(len(set(zlib.decompress(z))))\n",
                  png});
  rendered.drawn = colours.exitCode == 0 && std::stoi("0" + colours.out) > 16;
  return rendered;
}

TEST_F(NpxcheckTree, ReportLoadsInABrowserWithoutConsoleErrorsAndIsDrawn) {
  if (runProgram("/bin/sh", work_.path, {"-c", "command -v chromium"}).exitCode != 0) {
    GTEST_SKIP() << "chromium is not installed: the report is not rendered in a browser";
  }
  const std::string html = path("report.html");
  ASSERT_EQ(npxcheck({work_.path, "--report", html}).exitCode, 0);
  TempDir browser;
  const Rendered report = renderInBrowser(html, browser);
  EXPECT_EQ(report.console, "");
  EXPECT_TRUE(report.drawn);
  // The measures see what they are meant to: an error, and a blank page.
  writeTextFile(path("bad.html"),
                "<!DOCTYPE html><html><body><script>missing();</script></body></html>");
  TempDir other;
  const Rendered bad = renderInBrowser(path("bad.html"), other);
  EXPECT_TEXT(bad.console, contains("Uncaught ReferenceError"));
  EXPECT_FALSE(bad.drawn);
}

TEST_F(NpxcheckTree, PlotOfOneSessionShowsTheLateTargetDeflectionAtPz) {
  const auto averaged =
      npxcheck::averageEpochs(npxcheck::scanTree(work_.path), {"Subj01_01_06_06.bin"});
  ASSERT_TRUE(averaged.ok());
  const npxcheck::ErpAverages& averages = *averaged;
  EXPECT_EQ(averages.sessions, std::vector<std::string>{"Subj01_01_06_06"});
  EXPECT_EQ(averages.targetEpochs, 12u);
  EXPECT_EQ(averages.standardEpochs, 60u);
  // Samples 36 to 42 lie near 300 ms after the flash; channel 2 is Pz.
  double difference = 0;
  for (size_t t = 36; t <= 42; ++t)
    difference += averages.target[t * 8 + 2] - averages.standard[t * 8 + 2];
  EXPECT_GT(difference / 7, 2.0);
}

TEST_F(NpxcheckTree, PlotOfOneSubjectAndOfSessionsOrSubjectsThatAreNotThere) {
  const Outcome subject = npxcheck({work_.path, "--plot", path("s.svg"), "--subject", "2"});
  EXPECT_EQ(subject.out,
            "wrote " + path("s.svg") + ": 1 session, 12 target epochs, 42 standard epochs\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--session", "Subj09_09_06_06"},
       "no session Subj09_09_06_06 below " + work_.path +
           "; its sessions: Subj01_01_06_06, Subj02_02_04_05"},
      {{"--subject", "3"}, "no session of subject 3 below " + work_.path + "; its subjects: 1, 2"},
  };
  for (const auto& [options, message] : cases) {
    std::vector<std::string> arguments = {work_.path, "--plot", path("x.svg")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const Outcome outcome = npxcheck(arguments);
    EXPECT_EQ(outcome.err, "npxcheck: " + message + "\n");
    EXPECT_EQ(outcome.exitCode, 1);
  }
  // A plot of part of the tree would pass for the whole.
  fs::create_symlink("nowhere", path("DB_01/dangling"));
  const Outcome unreadable = npxcheck({work_.path, "--plot", path("x.svg")});
  EXPECT_EQ(unreadable.err,
            "npxcheck: DB_01/dangling: cannot be examined: No such file or directory\n"
            "npxcheck: no plot: the tree cannot be read whole\n");
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_FALSE(exists(path("x.svg")));

  TempDir many;
  for (int number = 11; number <= 22; ++number) {
    for (const char* extension : {".bin", ".npx"}) {
      writeTextFile(many.file("Subj" + std::to_string(number) + "_01_06_06" + extension), "");
    }
  }
  EXPECT_EQ(npxcheck::averageEpochs(npxcheck::scanTree(many.path), {"Subj09"}).reason(),
            "no session Subj09 below " + many.path +
                "; its sessions: Subj11_01_06_06, Subj12_01_06_06, Subj13_01_06_06, "
                "Subj14_01_06_06, Subj15_01_06_06, Subj16_01_06_06, Subj17_01_06_06, "
                "Subj18_01_06_06, Subj19_01_06_06, Subj20_01_06_06 ... and 2 more");
  EXPECT_EQ(npxcheck::averageEpochs(npxcheck::scanTree(many.path), {"Subj11_01_06_06"}).reason(),
            "Subj11_01_06_06.bin holds 0 bytes, too short for the 32-byte fixed header");
  EXPECT_TEXT(npxcheck({many.path, "--report", many.file("r.html")}).err,
              contains("npxcheck: no ERP in the report: no session could be averaged\n"));
}

TEST(NpxcheckPlot, AveragesAreTheMeansOfTheMarkedEpochs) {
  // smallInput: stimuli 0 and 3 are targets, value i of stimulus s is s * 1024 + i + 0.5.
  TempDir bin, work;
  installConverter(bin.path);
  writeInputFile(work.file(kSource), smallInput());
  writeSubjectFile(work.file("DataSets.txt"), 1);
  ASSERT_EQ(runProgram(bin.file("erp2npx"), work.path).exitCode, 0);
  const auto averaged = npxcheck::averageEpochs(npxcheck::scanTree(work.path), {});
  ASSERT_TRUE(averaged.ok());
  const npxcheck::ErpAverages& averages = *averaged;
  EXPECT_EQ(averages.targetEpochs, 2u);
  EXPECT_EQ(averages.standardEpochs, 4u);
  ASSERT_EQ(averages.target.size(), 1024u);
  for (size_t i = 0; i < 1024; i += 129) {
    EXPECT_EQ(averages.target[i], 1536.0 + i + 0.5) << i;
    EXPECT_EQ(averages.standard[i], 3072.0 + i + 0.5) << i;
  }
}

TEST(NpxcheckPlot, StandardErrorsAndTheLargestDifferenceInTheAveragesAndTheTable) {
  // Stimuli 0 and 3 are targets, 1, 2, 4 and 5 standards; every sample is 0
  // but sample 40 of Pz (channel 2) and sample 10 of Fz (channel 0).
  InputFileContents input = smallInput();
  std::fill(input.features.begin(), input.features.end(), 0.0);
  const double pz[] = {10, 1, 2, 6, 3, 2};
  for (size_t s = 0; s < 6; ++s) input.features[s * 1024 + 40 * 8 + 2] = pz[s];
  input.features[10 * 8] = input.features[3 * 1024 + 10 * 8] = -4;
  TempDir bin, work;
  installConverter(bin.path);
  writeInputFile(work.file(kSource), input);
  writeSubjectFile(work.file("DataSets.txt"), 1);
  ASSERT_EQ(runProgram(bin.file("erp2npx"), work.path).exitCode, 0);
  const npxcheck::PlotChoice inMicrovolts{"", 0, npxcheck::Unit::kMicrovolt};
  const auto averaged = npxcheck::averageEpochs(npxcheck::scanTree(work.path), inMicrovolts);
  ASSERT_TRUE(averaged.ok());
  const npxcheck::ErpAverages& averages = *averaged;
  const size_t pzAt40 = 40 * 8 + 2;
  EXPECT_EQ(averages.target[pzAt40], 8.0);
  EXPECT_EQ(averages.targetError[pzAt40], 2.0);  // sample deviation sqrt(8), over sqrt(2)
  EXPECT_EQ(averages.standard[pzAt40], 2.0);
  EXPECT_DOUBLE_EQ(averages.standardError[pzAt40], std::sqrt(1.0 / 6));  // sqrt(2/3) / 2
  EXPECT_EQ(averages.target[10 * 8], -4.0);
  EXPECT_EQ(averages.targetError[10 * 8], 0.0);
  const std::vector<npxcheck::DifferencePeak> peaks = npxcheck::differencePeaks(averages);
  ASSERT_EQ(peaks.size(), 8u);
  EXPECT_EQ(std::make_tuple(peaks[2].sample, peaks[2].latencyMs, peaks[2].amplitude),
            std::make_tuple(size_t{40}, 312.5, 6.0));
  EXPECT_EQ(std::make_tuple(peaks[0].sample, peaks[0].latencyMs, peaks[0].amplitude),
            std::make_tuple(size_t{10}, 78.125, -4.0));

  const std::string svg = work.file("erp.svg");
  EXPECT_EQ(npxcheck({work.path, "--plot", svg, "--subject", "1", "--unit", "uV"}).exitCode, 0);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(svg.c_str()));
  std::vector<std::string> rows;
  for (const pugi::xpath_node& row : document.select_nodes("//g[@class='peak-row']")) {
    std::string cells;
    for (const pugi::xml_node cell : row.node().children("text")) {
      cells += std::string(cell.child_value()) + "|";
    }
    rows.push_back(cells);
  }
  ASSERT_EQ(rows.size(), 8u);
  // Latencies as the sample times they are, to one decimal.
  EXPECT_EQ(rows[0], "Fz|78.1|-4.00|-4.00 \xC2\xB1 0.00|0.00 \xC2\xB1 0.00|");
  EXPECT_EQ(rows[2], "Pz|312.5|+6.00|8.00 \xC2\xB1 2.00|2.00 \xC2\xB1 0.41|");
  EXPECT_EQ(rows[3], "P3|0.0|+0.00|0.00 \xC2\xB1 0.00|0.00 \xC2\xB1 0.00|");
}

// Converts the input in a directory of its own and returns that directory.
std::unique_ptr<TempDir> converted(const InputFileContents& input) {
  auto work = std::make_unique<TempDir>();
  TempDir bin;
  installConverter(bin.path);
  writeInputFile(work->file(kSource), input);
  runProgram(bin.file("erp2npx"), work->path);
  return work;
}

TEST(NpxcheckPlot, UnitIsInferredFromTheMedianMagnitudeOrTakenAsGiven) {
  const auto inferred = [](std::vector<double> values) {
    npxcheck::UnitEvidence evidence;
    for (const double value : values) evidence.add(value);
    return npxcheck::unitName(evidence.inferred());
  };
  EXPECT_EQ(inferred({1e-4, -1e-4, 2e-4, 0.5, 5}), "V");
  EXPECT_EQ(inferred({1e-4, -1e-4, 0.5, 5, 5}), "mV");
  EXPECT_EQ(inferred({1e-4, 0.5, 5, -5}), "uV");  // half is not more than half
  EXPECT_EQ(inferred({}), "uV");

  // In volts, all below 1e-3: value i of stimulus s is (s * 1024 + i + 0.5) * 1e-7.
  InputFileContents input = smallInput();
  for (double& value : input.features) value *= 1e-7;
  const auto work = converted(input);
  const npxcheck::TreeFiles tree = npxcheck::scanTree(work->path);
  const auto volts = npxcheck::averageEpochs(tree, {});
  ASSERT_TRUE(volts.ok());
  EXPECT_EQ(volts->unit, npxcheck::Unit::kVolt);
  EXPECT_TRUE(volts->unitInferred);
  EXPECT_NEAR(volts->target[129], (1536.0 + 129 + 0.5) * 0.1, 1e-4);
  const auto given = npxcheck::averageEpochs(tree, {"", 0, npxcheck::Unit::kMillivolt});
  ASSERT_TRUE(given.ok());
  EXPECT_NEAR(given->target[129], (1536.0 + 129 + 0.5) * 1e-4, 1e-7);

  const std::string svg = work->file("erp.svg");
  ASSERT_EQ(npxcheck({work->path, "--plot", svg}).exitCode, 0);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(svg.c_str()));
  EXPECT_TEXT(document.select_node("//text[@class='subtitle']").node().child_value(),
              endsWith("; amplitudes taken as V (inferred), shown in \xC2\xB5V"));
  const pugi::xml_node pz = document.select_nodes("//g[@class='peak-row']")[2].node();
  EXPECT_STREQ(pz.first_child().next_sibling().next_sibling().child_value(), "-153.60");
  ASSERT_EQ(npxcheck({work->path, "--plot", svg, "--unit", "mV"}).exitCode, 0);
  EXPECT_TEXT(readFile(svg), contains("amplitudes taken as mV (as given), shown in \xC2\xB5V"));
}

TEST(NpxcheckPlot, NonFiniteSamplesAreLeftOutCountedAndNamedAndNamesEscaped) {
  // Stimuli 0 and 3 are the targets; sample 40 of Pz is NaN in the first,
  // sample 41 of Pz infinite in the second, and sample 50 of Oz NaN in every
  // standard, which then has no mean there.
  InputFileContents input = smallInput();
  input.features[40 * 8 + 2] = std::numeric_limits<double>::quiet_NaN();
  input.features[3 * 1024 + 41 * 8 + 2] = std::numeric_limits<double>::infinity();
  for (const size_t s : {1, 2, 4, 5}) {
    input.features[s * 1024 + 50 * 8 + 7] = std::numeric_limits<double>::quiet_NaN();
  }
  const auto work = converted(input);
  const npxcheck::PlotChoice inMicrovolts{"", 0, npxcheck::Unit::kMicrovolt};
  const auto averaged = npxcheck::averageEpochs(npxcheck::scanTree(work->path), inMicrovolts);
  ASSERT_TRUE(averaged.ok());
  const npxcheck::ErpAverages& averages = *averaged;
  EXPECT_EQ(averages.target[40 * 8 + 2], 3 * 1024 + 40 * 8 + 2 + 0.5);
  EXPECT_EQ(averages.target[41 * 8 + 2], 41 * 8 + 2 + 0.5);
  EXPECT_EQ(averages.targetError[40 * 8 + 2], 0.0);
  EXPECT_TRUE(std::isnan(averages.standard[50 * 8 + 7]));
  EXPECT_EQ(npxcheck::nonFiniteNote(averages),
            "6 samples are not finite (NaN or infinite) and are left out: Pz, session "
            "Subj01_01_06_06, epoch 0, sample 40; Oz, session Subj01_01_06_06, epoch 1, sample "
            "50; Oz, session Subj01_01_06_06, epoch 2, sample 50; Pz, session Subj01_01_06_06, "
            "epoch 3, sample 41; Oz, session Subj01_01_06_06, epoch 4, sample 50; ... and 1 "
            "more");

  // Channel 1's name made the bytes FF 01.
  overwriteBytes(work->file("DB_00/Subject_01/Subj01_01_06_06.bin"), 32, "\xFF\x01");
  const std::string svg = work->file("erp.svg");
  std::ostringstream out, err;
  EXPECT_EQ(npxcheck::runNpxcheck({work->path, "--plot", svg}, out, err), 0);
  EXPECT_EQ(err.str(), "npxcheck: " + npxcheck::nonFiniteNote(averages) + "\n");
  const std::string text = readFile(svg);
  EXPECT_EQ(text.find_first_of(std::string("\0\x01\xFF", 3)), std::string::npos);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string(text.c_str()));
  // Oz's standard wave and the difference leave the point without a mean out.
  for (const pugi::xpath_node& shape : document.select_nodes("//*[@points]")) {
    const std::string points = shape.node().attribute("points").value();
    EXPECT_EQ(points.find_first_of("aefinNI"), std::string::npos) << points;
    const std::string shapeClass = shape.node().attribute("class").value();
    const long perSample = std::string(shape.node().name()) == "polygon" ? 2 : 1;
    const bool gap = std::string(shape.parent().attribute("id").value()) == "panel-Oz" &&
                     shapeClass.compare(0, 6, "target") != 0;
    EXPECT_EQ(std::count(points.begin(), points.end(), ','), perSample * (gap ? 127 : 128))
        << shapeClass;
  }
  EXPECT_STREQ(document.select_node("//g[@class='panel']").node().attribute("id").value(),
               "panel-\\xff\\x01");
  EXPECT_EQ(document.select_node("//text[@class='non-finite']").node().child_value(),
            npxcheck::nonFiniteNote(averages));
  // Oz NaN in every standard epoch: no difference to find a peak in.
  const std::string bin = work->file("DB_00/Subject_01/Subj01_01_06_06.bin");
  const auto samples = static_cast<std::streamoff>(dataOffset(readEpochFile(bin).header));
  for (const int epoch : {1, 2, 4, 5}) {
    for (int t = 0; t < 128; ++t) {
      overwriteBytes(bin, samples + 4 * (epoch * 1024 + t * 8 + 7), std::string("\0\0\xC0\x7F", 4));
    }
  }
  ASSERT_EQ(npxcheck({work->path, "--plot", svg}).exitCode, 0);
  ASSERT_TRUE(document.load_file(svg.c_str()));
  std::string oz;
  for (const pugi::xml_node cell : document.select_nodes("//g[@class='peak-row']")[7].node()) {
    oz += cell.child_value() + std::string("|");
  }
  EXPECT_EQ(oz, "Oz|n/a|n/a|n/a \xC2\xB1 n/a|n/a \xC2\xB1 n/a|");
  EXPECT_EQ(document.select_nodes("//g[@id='panel-Oz']/circle").size(), 0u);
  EXPECT_EQ(document.select_nodes("//g[@id='panel-Pz']/circle").size(), 1u);
  EXPECT_EQ(readFile(svg).find("nan"), std::string::npos);
  // Nor does the check's report carry the bytes to a terminal.
  EXPECT_TEXT(npxcheck({work->path}).out,
              contains(".bin: channel 1 is named \"\\xff\\x01\", its Sensor element \"Fz\"\n"));
}

std::string inspectInput(const std::string& dir, const InputFileContents& contents,
                         Outcome& outcome) {
  writeInputFile(dir + "/" + kSource, contents);
  writeTextFile(dir + "/DataSets.txt", "h\nS1\t1\t2\tF\t30\thealthy\t3\n");
  outcome = npxcheck({"--inspect", dir + "/" + kSource});
  return outcome.out;
}

TEST(NpxcheckInspect, ConsistentGeneratedInputReportsItsStructureAndNoInconsistency) {
  TempDir work;
  std::vector<std::string> options = kSmallCollection;
  options.push_back("--compress");
  ASSERT_EQ(runProgram(ERP2NPX_GENERATOR, work.path, options).exitCode, 0);
  const Outcome outcome = npxcheck({"--inspect", work.file(kSource)});
  EXPECT_TEXT(outcome.out, contains("\n/features        64-bit float, little-endian"));
  EXPECT_TEXT(outcome.out, contains("126 x 128 x 8"));
  EXPECT_TEXT(outcome.out, contains("filters: shuffle, deflate level 4\n"));
  EXPECT_TEXT(outcome.out,
              contains("Stimuli: 126 stimuli in 2 databases, 2 subjects, 2 sessions, 4 trials\n"));
  // A summary, inconsistencies first; every session and trial with --verbose.
  EXPECT_TEXT(outcome.out, startsWith("Input: " + work.file(kSource) +
                                      " (943442 bytes)\nInconsistencies: none\nDataset "));
  EXPECT_TEXT(
      outcome.out,
      contains("\nDB_01: 1 subject, 1 session, 2 trials, 54 stimuli\n"
               "  Subject_02: 1 session, 2 trials, 54 stimuli; study DB02, sex M, age 23, healthy\n"
               "Matrix sizes: 4 x 5 in 1 session (54 stimuli), 6 x 6 in 1 session (72 "
               "stimuli)\nSamples: 129024 values, finite ones from "));
  EXPECT_EQ(outcome.out.find("trial 2:"), std::string::npos);
  EXPECT_EQ(outcome.exitCode, 0);
  const Outcome verbose = npxcheck({"--inspect", work.file(kSource), "--verbose"});
  EXPECT_TEXT(
      verbose.out,
      contains(
          "\n  Subject_02: 1 session, 2 trials, 54 stimuli; study DB02, sex M, age 23, healthy\n"
          "    session 02 (Subj02_02_04_05): 4 x 5 matrix, 2 trials, 54 stimuli\n"
          "      trial 2: 27 stimuli\n"));
}

TEST(NpxcheckInspect, TrialOutsideTheTargetTable) {
  TempDir work;
  InputFileContents contents = smallInput();
  contents.target.resize(7);
  Outcome outcome;
  EXPECT_TEXT(inspectInput(work.path, contents, outcome),
              contains("\n  trial 1 (3 stimuli) lies outside the target table of 1 trial\n"));
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST(NpxcheckInspect, NumberingCodesLabelsAndLengths) {
  TempDir work;
  InputFileContents contents = smallInput(3, 2);
  contents.matrixDims = {6, 6, 6, 6};
  contents.subjects[4] = contents.subjects[5] = 2;      // subject 1 never occurs
  contents.runIndexes[4] = contents.runIndexes[5] = 1;  // session 1 of subject 2
  contents.runIndexes[3] = 1;                           // trial 1 in two sessions
  contents.codes[0] = 12;
  contents.sequences.pop_back();
  Outcome outcome;
  const std::string out = inspectInput(work.path, contents, outcome);
  EXPECT_TEXT(out, contains("\n  the per-stimulus datasets disagree in length: /codes 6, "
                            "/database_ids 6, /erp_labels 6, /matrix_indexes 6, /run_indexes "
                            "6, /sequences 5, /subjects 6, /trials 6\n"));
  // Databases, subjects and sessions named as the tree names them.
  EXPECT_TEXT(out, contains("\n  DB_00: the subject numbers skip Subject_02\n"));
  EXPECT_TEXT(out, contains("\n  session numbers are shared by subjects: session 02\n"));
  EXPECT_TEXT(out, contains("\n  trial numbers are shared by sessions: trial 1\n"));
  EXPECT_TEXT(out, contains("\n  session 01: 1 stimulus has a code outside its rows plus "
                            "columns (6 x 6 matrix; first: stimulus 0, code 12)\n"));
  EXPECT_TEXT(out, contains("\n  1 subject has no metadata line: Subject_03\n"));
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST(NpxcheckInspect, DatabaseGapsAndIncompleteRowsOfTheTables) {
  TempDir work;
  InputFileContents contents = smallInput();
  contents.databaseIds.assign(contents.databaseIds.size(), 2);
  contents.matrixDims.push_back(6);
  contents.target.push_back(0);
  Outcome outcome;
  const std::string out = inspectInput(work.path, contents, outcome);
  EXPECT_TEXT(out, contains("\n  /matrix_dims holds 3 values, not whole (rows, columns) pairs\n"
                            "  /target holds 15 values, not whole rows of 7\n"));
  EXPECT_TEXT(out, contains("\n  the database numbers do not run from 0 without gaps: missing "
                            "DB_00, DB_01\n"));
  EXPECT_EQ(outcome.exitCode, 1);
}

TEST(NpxcheckInspect, NaNInfiniteAndOutOfRangeSamples) {
  TempDir work;
  InputFileContents contents = smallInput();
  contents.features[5] = std::numeric_limits<double>::quiet_NaN();
  contents.features[9] = -std::numeric_limits<double>::infinity();
  contents.features[2 * 1024 + 3] = 1e300;
  Outcome outcome;
  const std::string out = inspectInput(work.path, contents, outcome);
  EXPECT_TEXT(out,
              contains("\n  /features holds 1 value NaN (first: stimulus 0, sample 0 of PO7)\n"
                       "  /features holds 1 value infinite (first: stimulus 0, sample 1 of Cz)\n"
                       "  /features holds 1 value beyond the float32 range (first: stimulus "
                       "2, sample 0 of P3)\n"));
}

TEST(NpxcheckInspect, DeclaredShapesFarBeyondWhatIsStoredTakeNoTimeOrMemory) {
  // 2^40 codes and 10^11 samples declared, one chunk of each written.
  TempDir work;
  writeInputFile(work.file(kSource), smallInput());
  Stored codes;
  codes.dims = {1ull << 40};
  codes.chunk = {1024};
  storeDataset(work.file(kSource), "/codes", std::vector<int32_t>(1024, 3), codes);
  Stored features;
  features.dims = {100000000000ull};
  features.chunk = {1 << 20};
  storeDataset(work.file(kSource), "/features", std::vector<double>(1 << 20, 0.5), features);
  // The sanitizers reserve address space of their own: time alone is bounded then.
  std::vector<std::string> command = {"timeout", "60", NPXCHECK_EXECUTABLE, "--inspect", kSource};
  if (!underSanitizer()) command.insert(command.begin(), "--as=1073741824");
  const RunResult run = runProgram(underSanitizer() ? "env" : "prlimit", work.path, command);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_TEXT(run.out, contains("\n  Unable to read the dataset /codes of QUOLMET ERP-BCI.hdf5: it "
                                "declares 1099511627776 values, more stimuli than 32-bit numbers "
                                "can count; it is treated as missing\n"));
  EXPECT_TEXT(run.out, contains("\n  The dataset /features of QUOLMET ERP-BCI.hdf5 is only partly "
                                "written (1 of 95368 chunks)"));
}

TEST(NpxcheckCommandLine, UsageErrorsAreNamedOnStandardErrorWithExitValueTwo) {
  TempDir work;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no tree given"},
      {{"--bogus"}, "unknown option --bogus"},
      {{work.path, "--source"}, "option --source needs a value"},
      {{work.path, "--session", "Subj01_01_06_06"}, "--session needs --plot"},
      {{work.path, "--subject", "1"}, "--subject needs --plot"},
      {{work.path, "--plot", "a.svg", "--subject=1", "--session", "S"},
       "--subject and --session cannot be combined"},
      {{work.path, "--plot", "a.svg", "--subject", "2147483649"},
       "--subject needs a subject number from 1 to 2147483648, not \"2147483649\""},
      {{work.path, "--plot", "a.svg", "--subject", "+1"},
       "--subject needs a subject number from 1 to 2147483648, not \"+1\""},
      {{work.path, "--plot", "a.svg", "--source=f.hdf5"}, "--source and --plot cannot be combined"},
      {{work.path, "--plot", "a.svg", "--plot", "b.svg"}, "option --plot is given twice"},
      {{work.path, "other"}, "unexpected argument other"},
      {{work.file("none")}, work.file("none") + ": not a directory"},
      {{work.path, "--source", work.file("none.hdf5")}, work.file("none.hdf5") + ": no such file"},
      {{"--inspect", work.file("none.hdf5")}, work.file("none.hdf5") + ": no such file"},
      {{"--inspect", work.path}, work.path + ": not a regular file"},
      {{"--inspect"}, "option --inspect needs a value"},
      {{"--inspect", "x.hdf5", "--plot", "a.svg"},
       "--inspect takes no tree and no --source, --plot, --report, --unit, --session or "
       "--subject"},
      {{work.path, "--verbose"}, "--verbose needs --inspect"},
      {{work.path, "--unit", "V"}, "--unit needs --plot or --report"},
      {{work.path, "--plot", "a.svg", "--unit", "volt"},
       "--unit takes V, mV, uV or auto, not \"volt\""},
      {{work.path, "--plot", "a.svg", "--report", "a.html"},
       "--report and --plot cannot be combined"},
      {{work.path + "\x1b[2J"}, work.path + "\\x1b[2J: not a directory"},
  };
  for (const auto& [arguments, message] : cases) {
    const Outcome outcome = npxcheck(arguments);
    EXPECT_EQ(outcome.err,
              "npxcheck: " + message + "\nTry 'npxcheck --help' for more information.\n");
    EXPECT_EQ(outcome.exitCode, 2) << message;
    EXPECT_EQ(outcome.out, "");
  }
}

TEST(NpxcheckCommandLine, ExecutableHelpVersionAndExitValues) {
  TempDir work;
  const RunResult help = runProgram(NPXCHECK_EXECUTABLE, work.path, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TEXT(help.out, startsWith("usage: npxcheck TREE "));
  const RunResult version = runProgram(NPXCHECK_EXECUTABLE, work.path, {"--version"});
  EXPECT_EQ(version.out, "npxcheck 0.1.0\n");
  EXPECT_EQ(runProgram(NPXCHECK_EXECUTABLE, work.path, {"--bogus"}).exitCode, 2);
  EXPECT_EQ(runProgram(NPXCHECK_EXECUTABLE, work.path).exitCode, 2);
  // A tree without a session passes nothing.
  const RunResult empty = runProgram(NPXCHECK_EXECUTABLE, work.path, {"."});
  EXPECT_EQ(empty.out,
            ".: holds no session: no .bin or .npx file below it\n0 files, 0 epochs, 1 problem\n");
  EXPECT_EQ(empty.exitCode, 1);
  writeTextFile(work.file("Subj01_01_06_06.bin"), "");
  EXPECT_EQ(runProgram(NPXCHECK_EXECUTABLE, work.path, {"."}).exitCode, 1);
}

}  // namespace
}  // namespace erp2npx::test

#endif  // NPXCHECK_EXECUTABLE
