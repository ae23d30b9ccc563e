#include "header/speller_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace erp2npx {
namespace {

TEST(SpellerLayout, HoldsLettersThenDigitsRowByRow) {
  const std::string symbols = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int32_t row = 0; row < 6; ++row) {
    for (int32_t column = 0; column < 6; ++column) {
      EXPECT_EQ(symbolAt(row, column), std::string(1, symbols[row * 6 + column]))
          << "row " << row << " column " << column;
    }
  }
  EXPECT_EQ(symbolAt(0, 0), "A");
  EXPECT_EQ(symbolAt(0, 2), "C");
  EXPECT_EQ(symbolAt(2, 3), "P");
  EXPECT_EQ(symbolAt(3, 5), "X");
  EXPECT_EQ(symbolAt(4, 2), "0");
  EXPECT_EQ(symbolAt(5, 5), "9");
}

TEST(SpellerLayout, CellsOutsideTheTableAreEmpty) {
  EXPECT_EQ(symbolAt(6, 0), "");
  EXPECT_EQ(symbolAt(0, 6), "");
  EXPECT_EQ(symbolAt(0, -1), "");
  EXPECT_EQ(symbolAt(-1, 0), "");
  EXPECT_EQ(symbolAt(INT32_MIN, INT32_MAX), "");
  // Callers pass target codes minus the row count, which may leave the 32-bit
  // range; such a value must not wrap onto a real cell.
  EXPECT_EQ(symbolAt(int64_t{1} << 32, 0), "");
  EXPECT_EQ(symbolAt(0, (int64_t{1} << 32) + 2), "");
  EXPECT_EQ(symbolAt(-(int64_t{1} << 32) + 5, 5), "");
}

TEST(SpellerLayout, LookupsAndRefillingChangeNothing) {
  for (int32_t row = -2; row < 9; ++row) {
    for (int32_t column = -2; column < 9; ++column) symbolAt(row, column);
  }
  EXPECT_EQ(symbolAt(6, 0), "");
  EXPECT_EQ(symbolAt(0, 6), "");
  EXPECT_EQ(symbolAt(-1, -1), "");
  EXPECT_EQ(symbolAt(1, 1), "H");
  EXPECT_EQ(symbolAt(5, 0), "4");
}

}  // namespace
}  // namespace erp2npx
