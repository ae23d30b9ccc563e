#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/prefault.h"
#include "common/status.h"
#include "input/dataset_loader.h"
#include "output/session_events.h"
#include "output/stimulus_index.h"

namespace erp2npx {

// Whether a session's files can be written, or why not: the rule the
// converter applies and npxcheck proves a tree against.
Status sessionObstacle(const InputData& data, int32_t database, int32_t subject, int32_t session,
                       const TrialMap& trials);

uint64_t epochCountOf(const TrialMap& trials);

// Calls visit(stimulus) for a session's stimuli in the order of its file:
// trials ascending, table order within a trial.
template <typename Visit>
void forEachEpochInFileOrder(const TrialMap& trials, Visit visit) {
  for (const auto& entry : trials) {
    for (const int32_t stimulus : entry.second) visit(stimulus);
  }
}

// Where each epoch and trial of the session lands in its file. The caller
// has checked that the session can be written.
SessionEvents buildSessionEvents(const TrialMap& trials, const InputData& data);

// Where the epoch of each stimulus goes: a slot (the caller's number for its
// session file) and its epoch within that file. Known from the grouping before any sample is
// read; eight bytes a stimulus.
class EpochPlacement {
 public:
  explicit EpochPlacement(size_t stimuli)
      : slot_(prefaultedVector<uint32_t>(stimuli, kNowhere)),
        epoch_(prefaultedVector<uint32_t>(stimuli, 0)) {}

  void place(int32_t stimulus, uint32_t slot, uint32_t epoch) {
    slot_[static_cast<size_t>(stimulus)] = slot;
    epoch_[static_cast<size_t>(stimulus)] = epoch;
  }
  bool placed(uint64_t stimulus) const {
    return stimulus < slot_.size() && slot_[static_cast<size_t>(stimulus)] != kNowhere;
  }
  uint32_t slot(uint64_t stimulus) const { return slot_[static_cast<size_t>(stimulus)]; }
  uint32_t epoch(uint64_t stimulus) const { return epoch_[static_cast<size_t>(stimulus)]; }

 private:
  static constexpr uint32_t kNowhere = UINT32_MAX;
  std::vector<uint32_t> slot_;
  std::vector<uint32_t> epoch_;
};

// A run of values bound for consecutive places in one slot's file.
struct PlacedRun {
  uint64_t stimulus = 0;  // of its first value
  uint32_t slot = 0;
  uint64_t at = 0;  // value offset in the slot's data block
  const float* values = nullptr;
  size_t length = 0;

  // Takes next in when it follows on both in the values and in the file.
  bool join(const PlacedRun& next) {
    if (length == 0 || slot != next.slot || at + length != next.at ||
        values + length != next.values) {
      return false;
    }
    length += next.length;
    return true;
  }
};

// Hands each run of values to the slot and value offset it belongs to:
// place(stimulus, slot, firstValue, values, count), firstValue counting within
// the slot's data block. Consecutive epochs that follow each other in their
// file too go out as one run, so stimuli stored in session order make few
// large writes; stimulus is then the run's first.
template <typename Place>
void placeValues(const EpochPlacement& placement, uint64_t firstValue, const float* values,
                 size_t count, Place place) {
  PlacedRun run;
  const auto flush = [&] {
    if (run.length > 0) place(run.stimulus, run.slot, run.at, run.values, run.length);
  };
  const auto add = [&](const PlacedRun& next) {
    if (run.join(next)) return;
    flush();
    run = next;
  };
  while (count > 0) {
    const uint64_t stimulus = firstValue / kEpochValues;
    const uint64_t within = firstValue % kEpochValues;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(count, kEpochValues - within));
    if (placement.placed(stimulus)) {
      add(PlacedRun{stimulus, placement.slot(stimulus),
                    uint64_t{placement.epoch(stimulus)} * kEpochValues + within, values, length});
    }
    firstValue += length;
    values += length;
    count -= length;
  }
  flush();
}

}  // namespace erp2npx
