#pragma once

#include <string>

#include "driver/config.h"
#include "input/dataset_loader.h"
#include "output/stimulus_index.h"

namespace erp2npx {

namespace SessionWalk {

// Writes every session's binary epoch file and header into the tree below
// root ("" for the working directory), database by database, subject by
// subject, session by session, and reports progress on standard output. The
// working directory is never changed. False when some session's output
// could not be written.
bool walk(const StimulusIndex& index, const InputData& data, const ChannelList& channels,
          const std::string& root = "");

}  // namespace SessionWalk

}  // namespace erp2npx
