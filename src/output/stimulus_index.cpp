#include "output/stimulus_index.h"

namespace erp2npx {

StimulusIndex buildStimulusIndex(const StimulusTable& stimuli,
                                 const std::vector<SessionLayout>& sessionLayouts) {
  StimulusIndex index;
  for (size_t p = 0; p < stimuli.size(); ++p) {
    const StimulusRecord& record = stimuli[p];
    index.databases.insert(record.database);
    index.subjects.insert(record.subject);
    index.trials.insert(record.trial);
    index.hierarchy[record.database][record.subject][record.session][record.trial].push_back(
        static_cast<int32_t>(p));
  }
  for (const SessionLayout& layout : sessionLayouts) {
    index.layouts.insert({layout.rows, layout.columns});
  }
  return index;
}

}  // namespace erp2npx
