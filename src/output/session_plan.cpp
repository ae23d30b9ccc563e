#include "output/session_plan.h"

#include <limits>
#include <string>

#include "common/messages.h"

namespace erp2npx {

uint64_t epochCountOf(const TrialMap& trials) { return trials.stimulusCount(); }

namespace {

Status numbersUsable(const InputData& data, int32_t database, int32_t subject, int32_t session) {
  if (database < 0) {
    return Status::failed(msg::negativeDatabaseNumber(database));
  }
  if (subject < 0) {
    return Status::failed(msg::negativeSubjectNumber(subject));
  }
  if (session < 0) return Status::failed(msg::kSessionNumberNegative);
  if (static_cast<size_t>(session) >= data.sessionLayouts.size()) {
    return Status::failed(msg::noMatrixSize(data.sessionLayouts.size()));
  }
  return Status::done();
}

Status trialsUsable(const InputData& data, const TrialMap& trials) {
  for (const auto& entry : trials) {
    const int32_t trial = entry.first;
    if (trial < 0) {
      return Status::failed(msg::negativeTrialNumber(trial));
    }
    if (static_cast<size_t>(trial) >= data.targets.size()) {
      return Status::failed(msg::trialWithoutTarget(trial, data.targets.size()));
    }
  }
  return Status::done();
}

Status epochsUsable(const InputData& data, const TrialMap& trials) {
  const uint64_t epochs = epochCountOf(trials);
  if (epochs * kEpochSamples > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return Status::failed(msg::tooManySamplePositions(epochs));
  }
  for (const auto& entry : trials) {
    for (const int32_t stimulus : entry.second) {
      if (!data.epochs.written(stimulus)) return Status::failed(msg::epochsUnwritten());
    }
  }
  return Status::done();
}

}  // namespace

Status sessionObstacle(const InputData& data, int32_t database, int32_t subject, int32_t session,
                       const TrialMap& trials) {
  Status usable = numbersUsable(data, database, subject, session);
  if (usable.ok()) usable = trialsUsable(data, trials);
  if (usable.ok()) usable = epochsUsable(data, trials);
  return usable;
}

SessionEvents buildSessionEvents(const TrialMap& trials, const InputData& data) {
  SessionEvents events;
  events.trialSpans.reserve(trials.size());
  events.trialTargetRow.reserve(trials.size());
  events.trialTargetColumn.reserve(trials.size());
  int32_t position = 0;
  for (const auto& [trial, stimuli] : trials) {
    const int32_t trialStart = position;
    if (!stimuli.empty()) {
      const TargetRecord& target = data.targets[static_cast<size_t>(trial)];
      events.trialTargetRow[trial] = target.targetRowCode;
      events.trialTargetColumn[trial] = target.targetColumnCode;
    }
    for (const int32_t stimulus : stimuli) {
      const StimulusRecord& record = data.stimuli[static_cast<size_t>(stimulus)];
      events.codeOffsets[record.code].push_back(position);
      (record.label != 0 ? events.targetOffsets : events.standardOffsets).push_back(position);
      position += kEpochSamples;
    }
    events.trialSpans[trial] = TrialSpan{trialStart, position};
  }
  events.totalSamples = position;
  return events;
}

}  // namespace erp2npx
