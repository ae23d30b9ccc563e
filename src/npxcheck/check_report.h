#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace erp2npx::npxcheck {

// What a check found: one line per problem, each naming its file.
struct CheckReport {
  std::vector<std::string> problems;
  uint64_t files = 0;
  uint64_t epochs = 0;
};

// Cases of one kind of problem: how many, and the first as an example, so
// that a damaged file gives one line per kind rather than one per case.
struct ProblemTally {
  uint64_t count = 0;
  std::string first;
  void note(const std::string& example) {
    if (count++ == 0) first = example;
  }
};

void addProblem(CheckReport& report, const std::string& file, const std::string& text);

// "N files, E epochs, P problems"
std::string summaryLine(const CheckReport& report);

// The messages the converter's layers reported, each as one line without the
// blank lines some fixed texts carry; empty ones are left out.
std::vector<std::string> reportedLines(const std::vector<std::string>& messages);

// Text from files and names as a terminal may show it: control bytes, C1
// controls and bytes that are not UTF-8 become "\xHH"; a backslash becomes
// "\\" so that no escape can be forged.
std::string shown(const std::string& text);

// shown(), then with &, <, > and " as XML entities: safe in SVG and XHTML
// text and attribute values.
std::string xmlText(const std::string& text);

// Numbers of the input named as the tree names them: "DB_00", "Subject_01"
// for subject 0, "session 01" for session 0, and all three together as
// "DB_00/Subject_01, session 01".
std::string databaseName(int64_t database);
std::string subjectName(int64_t subject);
std::string sessionName(int64_t session);
std::string sessionPlace(int64_t database, int64_t subject, int64_t session);

// "1 epoch", "3 epochs"
std::string countOf(uint64_t count, const std::string& singular, const std::string& plural);

}  // namespace erp2npx::npxcheck
