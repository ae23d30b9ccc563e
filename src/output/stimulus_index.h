#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "input/stimulus_table.h"

namespace erp2npx {

// Stimulus numbers of one trial of one session, in table order.
using TrialMap = std::map<int32_t, std::vector<int32_t>>;
using SessionMap = std::map<int32_t, TrialMap>;
using SubjectMap = std::map<int32_t, SessionMap>;
using DatabaseMap = std::map<int32_t, SubjectMap>;

// The stimuli grouped by database, subject, session and trial. A trial's
// stimuli are kept under its session, so a trial number that turns up in two
// sessions can never mix their epochs.
struct StimulusIndex {
  DatabaseMap hierarchy;
  std::set<int32_t> databases;
  std::set<int32_t> subjects;
  std::set<int32_t> trials;
  std::set<std::pair<int32_t, int32_t>> layouts;  // distinct (rows, columns) of the layout table
};

StimulusIndex buildStimulusIndex(const StimulusTable& stimuli,
                                 const std::vector<SessionLayout>& sessionLayouts);

}  // namespace erp2npx
