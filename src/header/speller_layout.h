#pragma once

#include <cstdint>
#include <string>

namespace erp2npx {

// The symbols of the 6-by-6 speller matrix, row by row: A to Z, then 0 to 9.
inline constexpr char kSpellerLayout[6][6] = {
    {'A', 'B', 'C', 'D', 'E', 'F'}, {'G', 'H', 'I', 'J', 'K', 'L'}, {'M', 'N', 'O', 'P', 'Q', 'R'},
    {'S', 'T', 'U', 'V', 'W', 'X'}, {'Y', 'Z', '0', '1', '2', '3'}, {'4', '5', '6', '7', '8', '9'}};

// The symbol of a cell (0-based), or the empty string outside the table.
// Wide arguments, so a column code minus 6 cannot overflow.
std::string symbolAt(int64_t row, int64_t column);

}  // namespace erp2npx
