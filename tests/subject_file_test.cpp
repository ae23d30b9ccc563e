#include "input/subject_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace erp2npx {
namespace {

struct Parsed {
  bool complete = false;
  SubjectInfoTable table;
  std::vector<std::string> messages;
  std::vector<int64_t> withoutLine;
  uint64_t dataLines = 0;
};

// Subjects 0 to 99, unless the test says otherwise.
std::set<int32_t> firstSubjects(int32_t count = 100) {
  std::set<int32_t> subjects;
  for (int32_t s = 0; s < count; ++s) subjects.insert(s);
  return subjects;
}

Parsed parse(const std::string& text, const std::set<int32_t>& needed = firstSubjects()) {
  Parsed result;
  std::istringstream in(text);
  SubjectFileReport report = parseSubjectFile(in, needed, result.table);
  result.complete = report.complete;
  result.messages = report.messages;
  result.withoutLine = report.withoutLine;
  result.dataLines = report.dataLines;
  return result;
}

std::optional<SubjectInfo> entry(const SubjectInfoTable& table, int32_t subject) {
  const auto found = table.find(subject);
  if (found == table.end()) return std::nullopt;
  return found->second;
}

void expectInfo(const std::optional<SubjectInfo>& info, const std::string& study, int32_t c1,
                int32_t c2, const std::string& sex, int32_t age, const std::string& condition,
                int32_t c6) {
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->study, study);
  EXPECT_EQ(info->column1Value, c1);
  EXPECT_EQ(info->column2Value, c2);
  EXPECT_EQ(info->sex, sex);
  EXPECT_EQ(info->age, age);
  EXPECT_EQ(info->condition, condition);
  EXPECT_EQ(info->column6Value, c6);
}

TEST(ParseFieldNumber, ReadsLeadingDecimalDigits) {
  EXPECT_EQ(parseFieldNumber("35"), 35);
  EXPECT_EQ(parseFieldNumber("42 years"), 42);
  EXPECT_EQ(parseFieldNumber(" 7"), 7);
  EXPECT_EQ(parseFieldNumber("\t \v7"), 7);
  EXPECT_EQ(parseFieldNumber("35 "), 35);
  EXPECT_EQ(parseFieldNumber("35\r"), 35);
  EXPECT_EQ(parseFieldNumber("0x1A"), 0);
  EXPECT_EQ(parseFieldNumber("+5"), 5);
  EXPECT_EQ(parseFieldNumber("-5"), -5);
  EXPECT_EQ(parseFieldNumber("007"), 7);
  EXPECT_EQ(parseFieldNumber("12.9"), 12);
  EXPECT_EQ(parseFieldNumber("2147483647"), 2147483647);
  EXPECT_EQ(parseFieldNumber("-2147483648"), INT32_MIN);
  EXPECT_EQ(parseFieldNumber("00000000000000000000042"), 42);
}

TEST(ParseFieldNumber, RejectsFieldsWithoutA32BitNumber) {
  EXPECT_EQ(parseFieldNumber(""), std::nullopt);
  EXPECT_EQ(parseFieldNumber("   "), std::nullopt);
  EXPECT_EQ(parseFieldNumber("abc"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("+"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("-"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("+-5"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("- 5"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("x5"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("2147483648"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("-2147483649"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("99999999999999999999999"), std::nullopt);
  EXPECT_EQ(parseFieldNumber("-99999999999999999999999"), std::nullopt);
}

TEST(SubjectFile, ReadsSevenFieldsPerDataLine) {
  const Parsed p = parse("anything\there\nA\t1\t2\tF\t35\thealthy\t3\n");
  EXPECT_TRUE(p.complete);
  EXPECT_TRUE(p.messages.empty());
  ASSERT_EQ(p.table.size(), 1u);
  expectInfo(entry(p.table, 0), "A", 1, 2, "F", 35, "healthy", 3);
}

TEST(SubjectFile, KeepsEmptyFieldsAndSpaces) {
  const Parsed p = parse(
      "h\n"
      "A\t1\t2\t\t35\t\t3\n"
      " M \t-1\t+2\tM \t 35 \t ALS\t3 \t extra\tfields\n");
  EXPECT_TRUE(p.complete);
  EXPECT_TRUE(p.messages.empty());
  ASSERT_EQ(p.table.size(), 2u);
  expectInfo(entry(p.table, 0), "A", 1, 2, "", 35, "", 3);
  expectInfo(entry(p.table, 1), " M ", -1, 2, "M ", 35, " ALS", 3);
}

TEST(SubjectFile, LineEndsAndTheEndOfTheFile) {
  // CR LF line ends, a last line without line end.
  Parsed p = parse("h\r\nA\t1\t2\tF\t35\thealthy\t3\r\nB\t4\t5\tM\t40\tALS\t6");
  EXPECT_TRUE(p.complete);
  ASSERT_EQ(p.table.size(), 2u);
  expectInfo(entry(p.table, 0), "A", 1, 2, "F", 35, "healthy", 3);
  expectInfo(entry(p.table, 1), "B", 4, 5, "M", 40, "ALS", 6);

  // A carriage return on a text field that ends the line is a line end, not text.
  p = parse("h\r\nA\t1\t2\tF\t35\thealthy\t3\tnote\r\n");
  ASSERT_EQ(p.table.size(), 1u);
  expectInfo(entry(p.table, 0), "A", 1, 2, "F", 35, "healthy", 3);

  // Trailing blank lines describe no subject.
  for (const char* tail : {"\n", "\n\n", "\n\n\n", "\r\n\r\n", "\n\r\n", "\r", "\r\r"}) {
    p = parse(std::string("h\nA\t1\t2\tF\t35\thealthy\t3") + tail);
    EXPECT_TRUE(p.complete) << tail;
    EXPECT_TRUE(p.messages.empty()) << p.messages.front();
    EXPECT_EQ(p.table.size(), 1u);
    EXPECT_EQ(p.dataLines, 1u);
  }

  // Carriage returns alone end lines too, as older systems write them, and
  // so do mixed line ends; a lone CR before a LF is one line end with it.
  for (const char* text : {"h\rA\t1\t2\tF\t35\thealthy\t3\rB\t4\t5\tM\t40\tALS\t6\r",
                           "h\rA\t1\t2\tF\t35\thealthy\t3\rB\t4\t5\tM\t40\tALS\t6",
                           "h\nA\t1\t2\tF\t35\thealthy\t3\rB\t4\t5\tM\t40\tALS\t6\r\n"}) {
    p = parse(text, {0, 1});
    EXPECT_TRUE(p.complete) << text;
    EXPECT_TRUE(p.messages.empty()) << text;
    ASSERT_EQ(p.table.size(), 2u) << text;
    expectInfo(entry(p.table, 0), "A", 1, 2, "F", 35, "healthy", 3);
    expectInfo(entry(p.table, 1), "B", 4, 5, "M", 40, "ALS", 6);
    EXPECT_TRUE(p.withoutLine.empty()) << text;
  }
}

TEST(SubjectFile, SubjectsPastTheLastDataLineAreNamed) {
  // The needed subjects after the file's data: its own lines are fine.
  Parsed p = parse("h\nA\t1\t2\tF\t35\thealthy\t3\n\n", {0, 1, 4});
  EXPECT_TRUE(p.complete);
  EXPECT_EQ(p.dataLines, 1u);
  EXPECT_EQ(p.withoutLine, (std::vector<int64_t>{1, 4}));
  // Trailing blank lines are no data lines, whoever they would have been.
  p = parse("h\nA\t1\t2\tF\t35\thealthy\t3\n\n\n\n\n", {0, 2});
  EXPECT_EQ(p.withoutLine, (std::vector<int64_t>{2}));
  // Every line there: none.
  p = parse("h\nA\t1\t2\tF\t35\thealthy\t3\nB\n", {0});
  EXPECT_TRUE(p.withoutLine.empty());
  // A CR-only file read as one line would have given none at all.
  p = parse("h\rA\t1\t2\tF\t35\thealthy\t3\r", {0, 1});
  EXPECT_EQ(p.withoutLine, (std::vector<int64_t>{1}));
}

TEST(SubjectFile, NoDataLines) {
  for (const char* text : {"", "\n", "header only", "header\n", "header\r\n", "header\n\n"}) {
    const Parsed p = parse(text, {0, 3});
    EXPECT_TRUE(p.complete) << text;
    EXPECT_TRUE(p.table.empty()) << text;
    EXPECT_TRUE(p.messages.empty()) << text;
    EXPECT_EQ(p.dataLines, 0u) << text;
    EXPECT_EQ(p.withoutLine, (std::vector<int64_t>{0, 3})) << text;
  }
}

TEST(SubjectFile, ShortLineKeepsItsSubjectNumber) {
  const Parsed p = parse(
      "h\n"
      "A\t1\t2\tF\t35\thealthy\t3\n"
      "B\t1\t2\tM\n"
      "C\t7\t8\tF\t50\tALS\t9\n");
  EXPECT_FALSE(p.complete);
  EXPECT_EQ(p.messages,
            std::vector<std::string>{
                "DataSets.txt line 3: 4 fields where 7 are needed; subject 1 has no metadata"});
  ASSERT_EQ(p.table.size(), 2u);
  expectInfo(entry(p.table, 0), "A", 1, 2, "F", 35, "healthy", 3);
  EXPECT_EQ(p.table.count(1), 0u);
  expectInfo(entry(p.table, 2), "C", 7, 8, "F", 50, "ALS", 9);
}

TEST(SubjectFile, BlankLineInTheMiddleIsAShortLine) {
  const Parsed p = parse("h\n\nA\t1\t2\tF\t35\thealthy\t3\r\n\r\nB\t1\t2\tF\t35\thealthy\t3\n");
  EXPECT_FALSE(p.complete);
  EXPECT_EQ(p.messages,
            (std::vector<std::string>{
                "DataSets.txt line 2: 1 fields where 7 are needed; subject 0 has no metadata",
                "DataSets.txt line 4: 1 fields where 7 are needed; subject 2 has no metadata"}));
  ASSERT_EQ(p.table.size(), 2u);
  EXPECT_EQ(p.table.count(0), 0u);
  expectInfo(entry(p.table, 1), "A", 1, 2, "F", 35, "healthy", 3);
  EXPECT_EQ(p.table.count(2), 0u);
  expectInfo(entry(p.table, 3), "B", 1, 2, "F", 35, "healthy", 3);
}

TEST(SubjectFile, TwentyProblemsAreNamedAndTheRestCounted) {
  // Blank lines before a used one are problems of their subjects; once past
  // the last subject the input needs, nothing more is read.
  const Parsed p = parse("h\n" + std::string(30000, '\n') + "A\t1\t2\tF\t35\thealthy\t3\nB\t1\n",
                         firstSubjects(30001));
  EXPECT_FALSE(p.complete);
  ASSERT_EQ(p.messages.size(), 21u);
  EXPECT_EQ(p.messages[19],
            "DataSets.txt line 21: 1 fields where 7 are needed; subject 19 has no metadata");
  EXPECT_EQ(p.messages[20],
            "DataSets.txt: 29980 more lines could not be used; their subjects have no metadata");
  EXPECT_EQ(p.table.size(), 1u);
  expectInfo(entry(p.table, 30000), "A", 1, 2, "F", 35, "healthy", 3);

  // Only the subjects the input has are kept, and only their lines reported.
  const Parsed few =
      parse("h\nA\t1\nB\t4\t5\tM\t40\tALS\t6\nC\n\nD\t1\t2\tF\t35\thealthy\t3\n", {1, 3});
  EXPECT_EQ(few.messages, std::vector<std::string>{"DataSets.txt line 5: 1 fields where 7 are "
                                                   "needed; subject 3 has no metadata"});
  ASSERT_EQ(few.table.size(), 1u);
  expectInfo(entry(few.table, 1), "B", 4, 5, "M", 40, "ALS", 6);

  // A line longer than any metadata line is cut off, not kept.
  const Parsed endless = parse("h\n" + std::string(100000, 'x'));
  EXPECT_EQ(endless.messages,
            std::vector<std::string>{
                "DataSets.txt line 2: longer than 65536 bytes; subject 0 has no metadata"});
}

TEST(SubjectFile, FieldWithoutNumberKeepsItsSubjectNumber) {
  const Parsed p = parse(
      "h\n"
      "A\t1\t2\tF\t35\thealthy\t3\n"
      "B\t1\t2\tM\tabc\tALS\t3\n"
      "C\t7\t8\tF\t50\tALS\t9\n");
  EXPECT_FALSE(p.complete);
  EXPECT_EQ(p.messages,
            std::vector<std::string>{"DataSets.txt line 3: field 5 \"abc\" is not a 32-bit number; "
                                     "subject 1 has no metadata"});
  ASSERT_EQ(p.table.size(), 2u);
  EXPECT_EQ(p.table.count(1), 0u);
  expectInfo(entry(p.table, 2), "C", 7, 8, "F", 50, "ALS", 9);
}

TEST(SubjectFile, EachNumberFieldIsChecked) {
  struct Case {
    const char* line;
    const char* message;
  };
  const Case cases[] = {
      {"A\t\t2\tF\t35\tx\t3", "field 2 \"\" is not a 32-bit number"},
      {"A\t1\tzwei\tF\t35\tx\t3", "field 3 \"zwei\" is not a 32-bit number"},
      {"A\t1\t2\tF\t2147483648\tx\t3", "field 5 \"2147483648\" is not a 32-bit number"},
      {"A\t1\t2\tF\t35\tx\t-", "field 7 \"-\" is not a 32-bit number"},
      // Only the first unusable field of a line is reported.
      {"A\tx\ty\tF\tz\tx\tw", "field 2 \"x\" is not a 32-bit number"},
  };
  for (const Case& c : cases) {
    const Parsed p = parse(std::string("h\n") + c.line + "\n");
    EXPECT_FALSE(p.complete) << c.line;
    ASSERT_EQ(p.table.size(), 0u) << c.line;
    EXPECT_EQ(p.table.count(0), 0u) << c.line;
    EXPECT_EQ(p.messages, std::vector<std::string>{std::string("DataSets.txt line 2: ") +
                                                   c.message + "; subject 0 has no metadata"});
  }
}

TEST(SubjectFileReader, MissingFileIsNamedBesideStandardOutput) {
  test::TempDir dir;
  SubjectInfoTable table;
  const SubjectFileReport report =
      SubjectFileReader(firstSubjects(3)).read(dir.file("DataSets.txt"), table);
  EXPECT_TRUE(report.messages.empty());
  EXPECT_EQ(report.notes,
            (std::vector<std::string>{
                "erp2npx: " + dir.file("DataSets.txt") + " is missing: no subject has metadata",
                "erp2npx: the sessions of subjects 0, 1, 2 have headers without metadata "
                "(Age=\"0\", empty Sex, Condition and Study): the conversion is not complete"}));
  EXPECT_FALSE(report.complete);
  EXPECT_TRUE(table.empty());

  // Nor is anything said when no subject needs a line.
  const SubjectFileReport none = SubjectFileReader({}).read(dir.file("DataSets.txt"), table);
  EXPECT_TRUE(none.notes.empty());
  EXPECT_TRUE(none.complete);
}

TEST(SubjectFileReader, EverySubjectWithoutMetadataMakesTheReportIncomplete) {
  test::TempDir dir;
  const std::string path = dir.file("DataSets.txt");
  const std::string without =
      " have headers without metadata (Age=\"0\", empty Sex, Condition "
      "and Study): the conversion is not complete";
  // A short file: its lines are sound, but subject 1 has none.
  test::writeTextFile(path, "h\nA\t1\t2\tF\t35\thealthy\t3\n");
  SubjectInfoTable table;
  SubjectFileReport report = SubjectFileReader({0, 1}).read(path, table);
  EXPECT_TRUE(report.messages.empty());
  EXPECT_EQ(report.notes, (std::vector<std::string>{
                              "erp2npx: " + path + " ends after 1 data line: no line for subject 1",
                              "erp2npx: the sessions of subject 1" + without}));
  EXPECT_FALSE(report.complete);
  EXPECT_EQ(table.size(), 1u);

  // A line that cannot be used is reported where it is, and counted here.
  table.clear();
  std::string lines = "h\n";
  for (int s = 0; s < 12; ++s) lines += "x\n";
  test::writeTextFile(path, lines);
  report = SubjectFileReader(firstSubjects(12)).read(path, table);
  EXPECT_EQ(report.messages.size(), 12u);
  EXPECT_EQ(report.notes, std::vector<std::string>{"erp2npx: the sessions of subjects 0, 1, 2, 3, "
                                                   "4, 5, 6, 7, ... (12 in all)" +
                                                   without});
  EXPECT_FALSE(report.complete);
}

TEST(SubjectFileReader, DirectoryInPlaceOfTheFile) {
  test::TempDir dir;
  const std::string path = dir.file("DataSets.txt");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  SubjectInfoTable table;
  const SubjectFileReport report = SubjectFileReader(firstSubjects()).read(path, table);
  EXPECT_EQ(report.messages, std::vector<std::string>{"Unable to read " + path +
                                                      ": Is a directory; no subject has metadata"});
  EXPECT_FALSE(report.complete);
  EXPECT_TRUE(table.empty());
}

TEST(SubjectFileReader, ReadsTheFileAndPrintsItsProblems) {
  test::TempDir dir;
  const std::string path = dir.file("DataSets.txt");
  test::writeTextFile(path,
                      "h\r\nA\t1\t2\tF\t35\thealthy\t3\r\nB\t1\r\nC\t1\t2\tM\tn/a\tALS\t3\r\n"
                      "D\t4\t5\tM\t60\tALS\t6");
  SubjectInfoTable table;
  const SubjectFileReport report = SubjectFileReader(firstSubjects()).read(path, table);
  EXPECT_EQ(report.messages,
            (std::vector<std::string>{
                "DataSets.txt line 3: 2 fields where 7 are needed; subject 1 has no metadata",
                "DataSets.txt line 4: field 5 \"n/a\" is not a 32-bit number; subject 2 has no "
                "metadata"}));
  EXPECT_FALSE(report.complete);
  ASSERT_EQ(table.size(), 2u);
  expectInfo(entry(table, 0), "A", 1, 2, "F", 35, "healthy", 3);
  EXPECT_EQ(table.count(1), 0u);
  EXPECT_EQ(table.count(2), 0u);
  expectInfo(entry(table, 3), "D", 4, 5, "M", 60, "ALS", 6);
}

TEST(SubjectFileReader, CleanFilePrintsNothing) {
  test::TempDir dir;
  const std::string path = dir.file("DataSets.txt");
  test::writeTextFile(path, "h\nA\t1\t2\tF\t35\thealthy\t3\n\n");
  SubjectInfoTable table;
  const SubjectFileReport report = SubjectFileReader({0}).read(path, table);
  EXPECT_TRUE(report.messages.empty());
  EXPECT_TRUE(report.notes.empty());
  EXPECT_TRUE(report.complete);
  ASSERT_EQ(table.size(), 1u);
  expectInfo(entry(table, 0), "A", 1, 2, "F", 35, "healthy", 3);
}

}  // namespace
}  // namespace erp2npx
