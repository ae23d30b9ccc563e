#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "input/stimulus_table.h"

namespace erp2npx {

// Stimulus numbers of one session, by trial: trials ascending, each trial's
// stimuli in table order. Kept flat, four bytes a stimulus and eight a trial,
// as a session may hold hundreds of thousands of one-flash trials.
class TrialMap {
 public:
  // The stimulus numbers of one trial.
  class Stimuli {
   public:
    Stimuli(const int32_t* begin, const int32_t* end) : begin_(begin), end_(end) {}
    const int32_t* begin() const { return begin_; }
    const int32_t* end() const { return end_; }
    size_t size() const { return static_cast<size_t>(end_ - begin_); }
    bool empty() const { return begin_ == end_; }
    int32_t front() const { return *begin_; }

   private:
    const int32_t* begin_;
    const int32_t* end_;
  };

  // What iterating gives, named as a map's entries are.
  struct Entry {
    int32_t first;  // the trial
    Stimuli second;
  };

  class Iterator {
   public:
    Iterator(const TrialMap& map, size_t trial) : map_(&map), trial_(trial) {}
    Entry operator*() const { return map_->entry(trial_); }
    struct Arrow {
      Entry entry;
      const Entry* operator->() const { return &entry; }
    };
    Arrow operator->() const { return {**this}; }
    Iterator& operator++() {
      ++trial_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return trial_ == other.trial_; }
    bool operator!=(const Iterator& other) const { return trial_ != other.trial_; }

   private:
    const TrialMap* map_;
    size_t trial_;
  };

  TrialMap() = default;
  // Trials given ascending.
  TrialMap(std::initializer_list<std::pair<int32_t, std::vector<int32_t>>> trials);

  // Appends a stimulus; trials come ascending, a trial's stimuli in table order.
  void add(int32_t trial, int32_t stimulus);

  size_t size() const { return trials_.size(); }
  bool empty() const { return trials_.empty(); }
  size_t stimulusCount() const { return stimuli_.size(); }
  Iterator begin() const { return {*this, 0}; }
  Iterator end() const { return {*this, trials_.size()}; }
  // Throws std::out_of_range for a trial the session does not hold.
  Stimuli at(int32_t trial) const;

 private:
  struct Trial {
    int32_t number;
    uint32_t end;  // one past its last stimulus in stimuli_
  };
  Entry entry(size_t t) const {
    const uint32_t first = t == 0 ? 0 : trials_[t - 1].end;
    return {trials_[t].number, Stimuli(stimuli_.data() + first, stimuli_.data() + trials_[t].end)};
  }

  std::vector<Trial> trials_;
  std::vector<int32_t> stimuli_;
};

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
  std::vector<int32_t> trials;                    // distinct, ascending
  std::set<std::pair<int32_t, int32_t>> layouts;  // distinct (rows, columns) of the layout table
};

StimulusIndex buildStimulusIndex(const StimulusTable& stimuli,
                                 const std::vector<SessionLayout>& sessionLayouts);

}  // namespace erp2npx
