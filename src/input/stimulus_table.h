#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace erp2npx {

struct StimulusRecord {
  int32_t database = 0;
  int32_t subject = 0;
  int32_t session = 0;
  int32_t trial = 0;
  int32_t sequence = 0;
  int32_t code = 0;   // below the session's rows a row code, else a column code
  int32_t label = 0;  // 0 for a standard flash, anything else for a target
};
using StimulusTable = std::vector<StimulusRecord>;

struct SessionLayout {
  int32_t rows = 0;
  int32_t columns = 0;
};

struct TargetRecord {
  int32_t column0Value = 0;
  int32_t column1Value = 0;
  int32_t column3Value = 0;
  int32_t targetRowCode = 0;
  int32_t targetColumnCode = 0;  // numbered after the rows, like the stimulus codes
};

// The per-stimulus datasets, in the element type they are read as.
struct StimulusColumns {
  std::vector<int32_t> databaseIds;
  std::vector<int32_t> subjects;
  std::vector<int32_t> runIndexes;
  std::vector<int32_t> trials;
  std::vector<int32_t> sequences;
  std::vector<int32_t> codes;
  std::vector<int32_t> matrixIndexes;
  std::vector<double> erpLabels;

  // How many values the column of the named dataset holds.
  size_t heldBy(const std::string& datasetName) const;
};

std::vector<SessionLayout> buildSessionLayouts(const std::vector<int32_t>& matrixDims);
std::vector<TargetRecord> buildTargetRecords(const std::vector<int32_t>& target);

// Builds at most stimulusCount records, never more than every column holds.
StimulusTable buildStimulusTable(const StimulusColumns& columns, uint64_t stimulusCount);

// Truncation toward zero; NaN and values outside the 32-bit range give INT32_MIN.
int32_t truncateLabel(double value);

}  // namespace erp2npx
