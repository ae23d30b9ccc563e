#include "npxcheck/check_report.h"

namespace erp2npx::npxcheck {

void addProblem(CheckReport& report, const std::string& file, const std::string& text) {
  report.problems.push_back(file + ": " + text);
}

std::string countOf(uint64_t count, const std::string& singular, const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

std::string summaryLine(const CheckReport& report) {
  return countOf(report.files, "file", "files") + ", " + countOf(report.epochs, "epoch", "epochs") +
         ", " + countOf(report.problems.size(), "problem", "problems");
}

}  // namespace erp2npx::npxcheck
