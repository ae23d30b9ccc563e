#include "output/stimulus_index.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

namespace erp2npx {
namespace {

StimulusRecord stimulus(int32_t database, int32_t subject, int32_t session, int32_t trial,
                        int32_t code = 0) {
  StimulusRecord record;
  record.database = database;
  record.subject = subject;
  record.session = session;
  record.trial = trial;
  record.code = code;
  return record;
}

using Pairs = std::set<std::pair<int32_t, int32_t>>;

std::vector<int32_t> listed(TrialMap::Stimuli stimuli) { return {stimuli.begin(), stimuli.end()}; }

TEST(StimulusIndex, EmptyTableStillCountsTheLayoutTable) {
  const StimulusIndex index = buildStimulusIndex({}, {{6, 6}, {4, 5}, {6, 6}});
  EXPECT_TRUE(index.hierarchy.empty());
  EXPECT_TRUE(index.databases.empty());
  EXPECT_TRUE(index.subjects.empty());
  EXPECT_TRUE(index.trials.empty());
  EXPECT_EQ(index.layouts, (Pairs{{4, 5}, {6, 6}}));
}

TEST(StimulusIndex, LayoutsComeFromTheLayoutTableAlone) {
  // Ten square sessions count once, even though no stimulus refers to most of them.
  const std::vector<SessionLayout> tenSquare(10, SessionLayout{6, 6});
  EXPECT_EQ(buildStimulusIndex({stimulus(0, 0, 0, 0)}, tenSquare).layouts.size(), 1u);

  // (4, 5) and (5, 4) are different matrix sizes.
  const StimulusIndex index = buildStimulusIndex({stimulus(0, 0, 0, 0)}, {{4, 5}, {5, 4}, {6, 7}});
  EXPECT_EQ(index.layouts, (Pairs{{4, 5}, {5, 4}, {6, 7}}));
}

TEST(StimulusIndex, TrialListsKeepTableOrder) {
  // Stimuli 4, 5 and 9 belong to trial 2; the rest to other trials of the same session.
  StimulusTable table;
  for (int32_t p = 0; p < 10; ++p) {
    table.push_back(stimulus(0, 0, 0, (p == 4 || p == 5 || p == 9) ? 2 : (p < 4 ? 0 : 1)));
  }
  const StimulusIndex index = buildStimulusIndex(table, {{6, 6}});
  const TrialMap& trials = index.hierarchy.at(0).at(0).at(0);
  EXPECT_EQ(listed(trials.at(2)), (std::vector<int32_t>{4, 5, 9}));
  EXPECT_EQ(listed(trials.at(0)), (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(listed(trials.at(1)), (std::vector<int32_t>{6, 7, 8}));
}

TEST(StimulusIndex, CountsAreDistinctValuesAmongTheStimuli) {
  const StimulusTable table = {
      stimulus(1, 4, 7, 20), stimulus(1, 4, 7, 20), stimulus(0, 2, 3, 10),
      stimulus(0, 2, 3, 11), stimulus(0, 3, 5, 12), stimulus(1, 4, 8, 21),
  };
  const StimulusIndex index = buildStimulusIndex(table, std::vector<SessionLayout>(9));
  EXPECT_EQ(index.databases, (std::set<int32_t>{0, 1}));
  EXPECT_EQ(index.subjects, (std::set<int32_t>{2, 3, 4}));
  EXPECT_EQ(index.trials, (std::vector<int32_t>{10, 11, 12, 20, 21}));
  EXPECT_EQ(index.layouts, (Pairs{{0, 0}}));
}

TEST(StimulusIndex, HoldsExactlyTheKeysThatOccur) {
  // Gaps at every level stay gaps: nothing is invented between the keys, and
  // keys come out ascending whatever the table order.
  const StimulusTable table = {
      stimulus(2, 5, 9, 40),
      stimulus(0, 3, 1, 7),
      stimulus(0, 0, 4, 30),
      stimulus(0, 0, 2, 3),
  };
  const StimulusIndex index = buildStimulusIndex(table, {});
  std::vector<std::vector<int32_t>> paths;
  for (const auto& [database, subjects] : index.hierarchy) {
    for (const auto& [subject, sessions] : subjects) {
      for (const auto& [session, trials] : sessions) {
        for (const auto& [trial, stimuli] : trials) {
          paths.push_back({database, subject, session, trial, stimuli.front()});
        }
      }
    }
  }
  EXPECT_EQ(paths, (std::vector<std::vector<int32_t>>{
                       {0, 0, 2, 3, 3}, {0, 0, 4, 30, 2}, {0, 3, 1, 7, 1}, {2, 5, 9, 40, 0}}));
}

TEST(StimulusIndex, SameTrialNumberInTwoSessionsIsKeptApart) {
  const StimulusTable table = {
      stimulus(0, 0, 0, 0),
      stimulus(0, 0, 1, 0),
      stimulus(0, 0, 0, 0),
      stimulus(0, 1, 2, 0),
  };
  const StimulusIndex index = buildStimulusIndex(table, {});
  EXPECT_EQ(listed(index.hierarchy.at(0).at(0).at(0).at(0)), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(listed(index.hierarchy.at(0).at(0).at(1).at(0)), (std::vector<int32_t>{1}));
  EXPECT_EQ(listed(index.hierarchy.at(0).at(1).at(2).at(0)), (std::vector<int32_t>{3}));
  EXPECT_EQ(index.trials.size(), 1u);
}

TEST(StimulusIndex, NegativeNumbersAreKeptAsKeys) {
  // The walk reports them; the index must neither drop nor renumber them.
  const StimulusTable table = {stimulus(-1, -2, -3, -4), stimulus(0, 0, 0, 0)};
  const StimulusIndex index = buildStimulusIndex(table, {});
  EXPECT_EQ(listed(index.hierarchy.at(-1).at(-2).at(-3).at(-4)), (std::vector<int32_t>{0}));
  EXPECT_EQ(index.hierarchy.begin()->first, -1);
  EXPECT_EQ(index.databases, (std::set<int32_t>{-1, 0}));
  EXPECT_EQ(index.trials, (std::vector<int32_t>{-4, 0}));
}

}  // namespace
}  // namespace erp2npx
