#pragma once

#include <string>
#include <vector>

namespace erp2npx::npxcheck {

struct InspectReport {
  std::vector<std::string> lines;            // what the input holds
  std::vector<std::string> inconsistencies;  // what the converter would stumble on
};

// Surveys an input before it is converted: its datasets, its databases,
// subjects, sessions and trials, and every inconsistency among them and in
// the samples. The subject file defaults to DataSets.txt beside the input.
InspectReport inspectInput(const std::string& inputPath, const std::string& subjectPath);

}  // namespace erp2npx::npxcheck
