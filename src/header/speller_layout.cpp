#include "header/speller_layout.h"

namespace erp2npx {

std::string symbolAt(int64_t row, int64_t column) {
  if (row < 0 || row >= 6 || column < 0 || column >= 6) return {};
  return std::string(1, kSpellerLayout[row][column]);
}

}  // namespace erp2npx
