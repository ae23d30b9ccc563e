#include "output/stimulus_index.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>

#include "common/prefault.h"

namespace erp2npx {

TrialMap::TrialMap(std::initializer_list<std::pair<int32_t, std::vector<int32_t>>> trials) {
  for (const auto& [trial, stimuli] : trials) {
    stimuli_.insert(stimuli_.end(), stimuli.begin(), stimuli.end());
    trials_.push_back({trial, static_cast<uint32_t>(stimuli_.size())});
  }
}

void TrialMap::add(int32_t trial, int32_t stimulus) {
  stimuli_.push_back(stimulus);
  if (trials_.empty() || trials_.back().number != trial) trials_.push_back({trial, 0});
  trials_.back().end = static_cast<uint32_t>(stimuli_.size());
}

TrialMap::Stimuli TrialMap::at(int32_t trial) const {
  const auto found = std::lower_bound(trials_.begin(), trials_.end(), trial,
                                      [](const Trial& t, int32_t n) { return t.number < n; });
  if (found == trials_.end() || found->number != trial) {
    throw std::out_of_range("no trial " + std::to_string(trial));
  }
  return entry(static_cast<size_t>(found - trials_.begin())).second;
}

StimulusIndex buildStimulusIndex(const StimulusTable& stimuli,
                                 const std::vector<SessionLayout>& sessionLayouts) {
  StimulusIndex index;
  // Stimulus numbers in index order, so that each session's trials are
  // appended ascending without a node per trial.
  std::vector<int32_t> order = prefaultedVector<int32_t>(stimuli.size());
  std::iota(order.begin(), order.end(), 0);
  const auto key = [&](int32_t p) {
    const StimulusRecord& r = stimuli[static_cast<size_t>(p)];
    return std::make_tuple(r.database, r.subject, r.session, r.trial, p);
  };
  const auto before = [&](int32_t a, int32_t b) { return key(a) < key(b); };
  // Most inputs store their stimuli in session order, which needs no sort.
  if (!std::is_sorted(order.begin(), order.end(), before)) {
    std::sort(order.begin(), order.end(), before);
  }
  TrialMap* session = nullptr;
  const StimulusRecord* previous = nullptr;
  for (const int32_t p : order) {
    const StimulusRecord& record = stimuli[static_cast<size_t>(p)];
    if (previous == nullptr || previous->database != record.database ||
        previous->subject != record.subject || previous->session != record.session) {
      session = &index.hierarchy[record.database][record.subject][record.session];
      index.databases.insert(record.database);
      index.subjects.insert(record.subject);
    }
    session->add(record.trial, p);
    previous = &record;
  }
  index.trials.reserve(stimuli.size());
  prefault(index.trials.data(), stimuli.size() * sizeof(int32_t));
  for (const StimulusRecord& record : stimuli) index.trials.push_back(record.trial);
  if (!std::is_sorted(index.trials.begin(), index.trials.end())) {
    std::sort(index.trials.begin(), index.trials.end());
  }
  index.trials.erase(std::unique(index.trials.begin(), index.trials.end()), index.trials.end());
  index.trials.shrink_to_fit();
  for (const SessionLayout& layout : sessionLayouts) {
    index.layouts.insert({layout.rows, layout.columns});
  }
  return index;
}

}  // namespace erp2npx
