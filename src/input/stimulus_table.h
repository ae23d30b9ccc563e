#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
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

// The values of one (rows, columns) pair, and of one target row.
inline constexpr size_t kLayoutValues = 2;
inline constexpr size_t kTargetRowValues = 7;

// A dataset of one value per stimulus as read: integers, or reals that are
// truncated when the table is built.
struct StimulusColumn {
  std::vector<int32_t> integers;
  std::vector<double> reals;
};

// The per-stimulus datasets as read, by dataset name; one never read is empty.
class StimulusColumns {
 public:
  StimulusColumn& operator[](const std::string& datasetName) { return byName_[datasetName]; }
  const StimulusColumn& operator[](const std::string& datasetName) const;

  // How many values the column of the named dataset holds.
  size_t heldBy(const std::string& datasetName) const;

  void release(const std::string& datasetName) { byName_.erase(datasetName); }

 private:
  std::map<std::string, StimulusColumn> byName_;
};

std::vector<SessionLayout> buildSessionLayouts(const std::vector<int32_t>& matrixDims);
std::vector<TargetRecord> buildTargetRecords(const std::vector<int32_t>& target);

// Builds at most stimulusCount records, never more than every column that
// fills a field holds.
StimulusTable buildStimulusTable(const StimulusColumns& columns, uint64_t stimulusCount);

// Truncation toward zero; NaN and values outside the 32-bit range give INT32_MIN.
int32_t truncateLabel(double value);

}  // namespace erp2npx
