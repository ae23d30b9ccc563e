#include "input/stimulus_table.h"

#include <algorithm>
#include <limits>

#include "common/prefault.h"
#include "input/dataset_table.h"

namespace erp2npx {

std::vector<SessionLayout> buildSessionLayouts(const std::vector<int32_t>& matrixDims) {
  std::vector<SessionLayout> layouts(matrixDims.size() / kLayoutValues);
  for (size_t i = 0; i < layouts.size(); ++i) {
    const int32_t* pair = matrixDims.data() + kLayoutValues * i;
    layouts[i] = SessionLayout{pair[0], pair[1]};
  }
  return layouts;
}

std::vector<TargetRecord> buildTargetRecords(const std::vector<int32_t>& target) {
  std::vector<TargetRecord> records(target.size() / kTargetRowValues);
  for (size_t j = 0; j < records.size(); ++j) {
    const int32_t* row = target.data() + kTargetRowValues * j;
    records[j] = TargetRecord{row[0], row[1], row[3], row[5], row[6]};
  }
  return records;
}

const StimulusColumn& StimulusColumns::operator[](const std::string& datasetName) const {
  static const StimulusColumn kNeverRead;
  const auto found = byName_.find(datasetName);
  return found != byName_.end() ? found->second : kNeverRead;
}

size_t StimulusColumns::heldBy(const std::string& datasetName) const {
  const StimulusColumn& column = (*this)[datasetName];
  return column.integers.size() + column.reals.size();
}

int32_t truncateLabel(double value) {
  // The comparisons are false for NaN, and keep the cast itself defined.
  if (value > -2147483649.0 && value < 2147483648.0) return static_cast<int32_t>(value);
  return std::numeric_limits<int32_t>::min();
}

namespace {

// The values the dataset's kind takes from its column.
size_t valuesTaken(const StimulusColumn& column, const RootDataset& dataset) {
  return dataset.kind == DatasetKind::kTruncatedReals ? column.reals.size()
                                                      : column.integers.size();
}

void fillField(StimulusTable& table, const StimulusColumn& column, const RootDataset& dataset) {
  if (dataset.kind == DatasetKind::kTruncatedReals) {
    for (size_t s = 0; s < table.size(); ++s)
      table[s].*dataset.field = truncateLabel(column.reals[s]);
  } else {
    for (size_t s = 0; s < table.size(); ++s) table[s].*dataset.field = column.integers[s];
  }
}

}  // namespace

StimulusTable buildStimulusTable(const StimulusColumns& columns, uint64_t stimulusCount) {
  uint64_t n = stimulusCount;
  for (const RootDataset& dataset : kRootDatasets) {
    if (dataset.field != nullptr)
      n = std::min<uint64_t>(n, valuesTaken(columns[dataset.name], dataset));
  }
  StimulusTable table = prefaultedVector<StimulusRecord>(static_cast<size_t>(n));
  for (const RootDataset& dataset : kRootDatasets) {
    if (dataset.field != nullptr) fillField(table, columns[dataset.name], dataset);
  }
  return table;
}

}  // namespace erp2npx
