#include "npxcheck/check_report.h"

namespace erp2npx::npxcheck {

void addProblem(CheckReport& report, const std::string& file, const std::string& text) {
  report.problems.push_back(file + ": " + text);
}

std::vector<std::string> reportedLines(const std::vector<std::string>& messages) {
  std::vector<std::string> lines;
  for (const std::string& message : messages) {
    const size_t first = message.find_first_not_of('\n');
    const size_t last = message.find_last_not_of('\n');
    if (first != std::string::npos) lines.push_back(message.substr(first, last - first + 1));
  }
  return lines;
}

std::string countOf(uint64_t count, const std::string& singular, const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

std::string summaryLine(const CheckReport& report) {
  return countOf(report.files, "file", "files") + ", " + countOf(report.epochs, "epoch", "epochs") +
         ", " + countOf(report.problems.size(), "problem", "problems");
}

}  // namespace erp2npx::npxcheck
