#include "driver/speller_layout.h"

namespace erp2npx {

namespace {

SpellerLayout& spellerLayout() {
  static SpellerLayout layout;
  return layout;
}

}  // namespace

void fillSpellerLayout() {
  static const char kSymbols[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  SpellerLayout& layout = spellerLayout();
  int next = 0;
  for (int32_t row = 0; row < 6; ++row) {
    for (int32_t column = 0; column < 6; ++column) {
      layout[row][column] = std::string(1, kSymbols[next++]);
    }
  }
}

std::string symbolAt(int64_t row, int64_t column) {
  const SpellerLayout& layout = spellerLayout();
  // find() rather than operator[], so a lookup never adds cells.
  const auto rowIt = layout.find(static_cast<int32_t>(row));
  if (row != static_cast<int32_t>(row) || rowIt == layout.end()) return {};
  const auto cellIt = rowIt->second.find(static_cast<int32_t>(column));
  if (column != static_cast<int32_t>(column) || cellIt == rowIt->second.end()) return {};
  return cellIt->second;
}

}  // namespace erp2npx
