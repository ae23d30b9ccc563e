#include "input/stimulus_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace erp2npx {
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// Every column holds values that say which column and stimulus they belong to.
StimulusColumns numberedColumns(size_t count) {
  StimulusColumns c;
  for (size_t s = 0; s < count; ++s) {
    const int32_t i = static_cast<int32_t>(s);
    c["/database_ids"].integers.push_back(100 + i);
    c["/subjects"].integers.push_back(200 + i);
    c["/run_indexes"].integers.push_back(300 + i);
    c["/trials"].integers.push_back(400 + i);
    c["/sequences"].integers.push_back(500 + i);
    c["/codes"].integers.push_back(600 + i);
    c["/matrix_indexes"].integers.push_back(700 + i);
    c["/erp_labels"].reals.push_back(800.75 + i);
  }
  return c;
}

void expectNumberedRecord(const StimulusRecord& r, int32_t s) {
  EXPECT_EQ(r.database, 100 + s);
  EXPECT_EQ(r.subject, 200 + s);
  EXPECT_EQ(r.session, 300 + s);
  EXPECT_EQ(r.trial, 400 + s);
  EXPECT_EQ(r.sequence, 500 + s);
  EXPECT_EQ(r.code, 600 + s);
  EXPECT_EQ(r.label, 800 + s);
}

TEST(SessionLayouts, PairsRowsWithColumnsAndDropsAnOddValue) {
  const std::vector<SessionLayout> layouts = buildSessionLayouts({6, 6, 4, 5, 9});
  ASSERT_EQ(layouts.size(), 2u);
  EXPECT_EQ(layouts[0].rows, 6);
  EXPECT_EQ(layouts[0].columns, 6);
  EXPECT_EQ(layouts[1].rows, 4);
  EXPECT_EQ(layouts[1].columns, 5);
  EXPECT_TRUE(buildSessionLayouts({}).empty());
  EXPECT_TRUE(buildSessionLayouts({7}).empty());
  const std::vector<SessionLayout> extremes = buildSessionLayouts({kMin, kMax});
  ASSERT_EQ(extremes.size(), 1u);
  EXPECT_EQ(extremes[0].rows, kMin);
  EXPECT_EQ(extremes[0].columns, kMax);
}

TEST(TargetRecords, KeepValuesZeroOneThreeFiveAndSixOfEachRow) {
  std::vector<int32_t> target(15);
  for (int32_t i = 0; i < 15; ++i) target[static_cast<size_t>(i)] = 10 * i + 1;
  const std::vector<TargetRecord> records = buildTargetRecords(target);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].column0Value, 1);
  EXPECT_EQ(records[0].column1Value, 11);
  EXPECT_EQ(records[0].column3Value, 31);
  EXPECT_EQ(records[0].targetRowCode, 51);
  EXPECT_EQ(records[0].targetColumnCode, 61);
  EXPECT_EQ(records[1].column0Value, 71);
  EXPECT_EQ(records[1].column1Value, 81);
  EXPECT_EQ(records[1].column3Value, 101);
  EXPECT_EQ(records[1].targetRowCode, 121);
  EXPECT_EQ(records[1].targetColumnCode, 131);
  EXPECT_TRUE(buildTargetRecords({}).empty());
  EXPECT_TRUE(buildTargetRecords({1, 2, 3, 4, 5, 6}).empty());
  const std::vector<TargetRecord> extremes = buildTargetRecords({kMin, kMax, 0, -1, 0, kMin, kMax});
  ASSERT_EQ(extremes.size(), 1u);
  EXPECT_EQ(extremes[0].column0Value, kMin);
  EXPECT_EQ(extremes[0].column1Value, kMax);
  EXPECT_EQ(extremes[0].column3Value, -1);
  EXPECT_EQ(extremes[0].targetRowCode, kMin);
  EXPECT_EQ(extremes[0].targetColumnCode, kMax);
}

TEST(TruncateLabel, TruncatesTowardZero) {
  EXPECT_EQ(truncateLabel(0.0), 0);
  EXPECT_EQ(truncateLabel(-0.0), 0);
  EXPECT_EQ(truncateLabel(0.5), 0);
  EXPECT_EQ(truncateLabel(-0.5), 0);
  EXPECT_EQ(truncateLabel(0.999999), 0);
  EXPECT_EQ(truncateLabel(1.0), 1);
  EXPECT_EQ(truncateLabel(-1.0), -1);
  EXPECT_EQ(truncateLabel(1.9), 1);
  EXPECT_EQ(truncateLabel(-1.9), -1);
  EXPECT_EQ(truncateLabel(2147483647.0), kMax);
  EXPECT_EQ(truncateLabel(2147483647.9), kMax);
  EXPECT_EQ(truncateLabel(-2147483648.0), kMin);
  EXPECT_EQ(truncateLabel(-2147483648.9), kMin);
}

TEST(TruncateLabel, NaNAndOutOfRangeGiveTheSmallestInteger) {
  EXPECT_EQ(truncateLabel(std::numeric_limits<double>::quiet_NaN()), kMin);
  EXPECT_EQ(truncateLabel(-std::numeric_limits<double>::quiet_NaN()), kMin);
  EXPECT_EQ(truncateLabel(2147483648.0), kMin);
  EXPECT_EQ(truncateLabel(-2147483649.0), kMin);
  EXPECT_EQ(truncateLabel(1e300), kMin);
  EXPECT_EQ(truncateLabel(-1e300), kMin);
  EXPECT_EQ(truncateLabel(std::numeric_limits<double>::infinity()), kMin);
  EXPECT_EQ(truncateLabel(-std::numeric_limits<double>::infinity()), kMin);
}

TEST(StimulusTable, TakesEachFieldFromItsColumn) {
  const StimulusTable table = buildStimulusTable(numberedColumns(4), 4);
  ASSERT_EQ(table.size(), 4u);
  for (int32_t s = 0; s < 4; ++s) expectNumberedRecord(table[static_cast<size_t>(s)], s);
}

TEST(StimulusTable, TruncatesLabels) {
  StimulusColumns columns = numberedColumns(6);
  columns["/erp_labels"].reals = {0.0, 0.5, 1.0, -1.0, -0.5, std::nan("")};
  const StimulusTable table = buildStimulusTable(columns, 6);
  ASSERT_EQ(table.size(), 6u);
  const int32_t expected[] = {0, 0, 1, -1, 0, kMin};
  for (size_t s = 0; s < 6; ++s) EXPECT_EQ(table[s].label, expected[s]) << s;
}

TEST(StimulusTable, HoldsStimulusCountRecords) {
  EXPECT_TRUE(buildStimulusTable(numberedColumns(5), 0).empty());
  EXPECT_TRUE(buildStimulusTable(StimulusColumns{}, 0).empty());
  const StimulusTable table = buildStimulusTable(numberedColumns(5), 3);
  ASSERT_EQ(table.size(), 3u);
  expectNumberedRecord(table[2], 2);
}

TEST(StimulusTable, NeverReadsPastAShorterColumn) {
  const char* const fieldColumns[] = {"/database_ids", "/subjects", "/run_indexes", "/trials",
                                      "/sequences",    "/codes",    "/erp_labels"};
  for (const char* shortened : fieldColumns) {
    StimulusColumns columns = numberedColumns(5);
    for (const char* name : fieldColumns) {
      StimulusColumn& column = columns[name];
      if (name == shortened) {
        column.integers.resize(std::min<size_t>(column.integers.size(), 2));
        column.reals.resize(std::min<size_t>(column.reals.size(), 2));
      }
      // No spare capacity, so a sanitizer build catches a read past the end.
      column.integers.shrink_to_fit();
      column.reals.shrink_to_fit();
    }
    const StimulusTable table = buildStimulusTable(columns, 5);
    ASSERT_EQ(table.size(), 2u) << shortened;
    expectNumberedRecord(table[1], 1);
  }
  StimulusColumns oneEmpty = numberedColumns(5);
  oneEmpty["/trials"].integers.clear();
  EXPECT_TRUE(buildStimulusTable(oneEmpty, 5).empty());
}

TEST(StimulusTable, IgnoresTheMatrixIndexes) {
  StimulusColumns columns = numberedColumns(3);
  columns.release("/matrix_indexes");
  const StimulusTable table = buildStimulusTable(columns, 3);
  ASSERT_EQ(table.size(), 3u);
  expectNumberedRecord(table[2], 2);
}

}  // namespace
}  // namespace erp2npx
