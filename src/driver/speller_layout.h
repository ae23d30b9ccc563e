#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace erp2npx {

// Symbols of the 6-by-6 speller matrix keyed by row, then column (0-based).
using SpellerLayout = std::map<int32_t, std::map<int32_t, std::string>>;

// Enters the 36 cells: A to Z, then 0 to 9, row by row.
void fillSpellerLayout();

// The symbol of a cell, or the empty string outside the table.
std::string symbolAt(int64_t row, int64_t column);

}  // namespace erp2npx
