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

// "1 epoch", "3 epochs"
std::string countOf(uint64_t count, const std::string& singular, const std::string& plural);

}  // namespace erp2npx::npxcheck
