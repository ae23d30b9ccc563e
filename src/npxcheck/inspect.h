#pragma once

#include <string>
#include <vector>

namespace erp2npx::npxcheck {

struct InspectReport {
  std::vector<std::string> lines;            // what the input holds
  std::vector<std::string> inconsistencies;  // what the converter would stumble on
};

// Surveys an input before it is converted: its datasets, the counts of its
// databases and subjects, its matrix sizes and sample range, and every
// inconsistency among them and in the samples; verbose lists every session
// and trial too. The subject file defaults to DataSets.txt beside the input.
InspectReport inspectInput(const std::string& inputPath, const std::string& subjectPath,
                           bool verbose = false);

}  // namespace erp2npx::npxcheck
