#include "input/stimulus_table.h"

#include <algorithm>
#include <limits>

namespace erp2npx {

std::vector<SessionLayout> buildSessionLayouts(const std::vector<int32_t>& matrixDims) {
  std::vector<SessionLayout> layouts(matrixDims.size() / 2);
  for (size_t i = 0; i < layouts.size(); ++i) {
    layouts[i] = SessionLayout{matrixDims[2 * i], matrixDims[2 * i + 1]};
  }
  return layouts;
}

std::vector<TargetRecord> buildTargetRecords(const std::vector<int32_t>& target) {
  std::vector<TargetRecord> records(target.size() / 7);
  for (size_t j = 0; j < records.size(); ++j) {
    const int32_t* row = target.data() + 7 * j;
    records[j] = TargetRecord{row[0], row[1], row[3], row[5], row[6]};
  }
  return records;
}

size_t StimulusColumns::heldBy(const std::string& datasetName) const {
  if (datasetName == "/erp_labels") return erpLabels.size();
  const std::vector<int32_t>* column = datasetName == "/codes"            ? &codes
                                       : datasetName == "/database_ids"   ? &databaseIds
                                       : datasetName == "/matrix_indexes" ? &matrixIndexes
                                       : datasetName == "/run_indexes"    ? &runIndexes
                                       : datasetName == "/sequences"      ? &sequences
                                       : datasetName == "/subjects"       ? &subjects
                                       : datasetName == "/trials"         ? &trials
                                                                          : nullptr;
  return column != nullptr ? column->size() : 0;
}

int32_t truncateLabel(double value) {
  // The comparisons are false for NaN, and keep the cast itself defined.
  if (value > -2147483649.0 && value < 2147483648.0) return static_cast<int32_t>(value);
  return std::numeric_limits<int32_t>::min();
}

StimulusTable buildStimulusTable(const StimulusColumns& columns, uint64_t stimulusCount) {
  const size_t n = std::min<uint64_t>(
      stimulusCount,
      std::min({columns.databaseIds.size(), columns.subjects.size(), columns.runIndexes.size(),
                columns.trials.size(), columns.sequences.size(), columns.codes.size(),
                columns.erpLabels.size()}));
  StimulusTable table(n);
  for (size_t s = 0; s < n; ++s) {
    table[s] = StimulusRecord{columns.databaseIds[s],
                              columns.subjects[s],
                              columns.runIndexes[s],
                              columns.trials[s],
                              columns.sequences[s],
                              columns.codes[s],
                              truncateLabel(columns.erpLabels[s])};
  }
  return table;
}

}  // namespace erp2npx
