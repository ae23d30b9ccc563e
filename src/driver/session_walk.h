#pragma once

#include <string>

#include "common/config.h"
#include "common/console.h"
#include "input/dataset_loader.h"
#include "input/epoch_consumer.h"
#include "output/stimulus_index.h"

namespace erp2npx {

// Writes every session's binary epoch file and header into the tree below
// root ("" for the working directory), database by database, subject by
// subject, session by session, and reports into the console. The epochs are
// taken from the stream in one pass, in whatever order it holds them, each
// straight to its place in its session's file; a session is reported, and
// its file renamed into place, once all its epochs are written and every
// session before it is done. The working directory is never changed.
class SessionWalk {
 public:
  SessionWalk(const StimulusIndex& index, const InputData& data, const ChannelList& channels,
              Console& console, std::string root = "")
      : index_(index),
        data_(data),
        channels_(channels),
        console_(console),
        root_(std::move(root)) {}

  // False when some session's output could not be written as it should be.
  bool walk(const EpochStream& stream);

 private:
  const StimulusIndex& index_;
  const InputData& data_;
  const ChannelList& channels_;
  Console& console_;
  std::string root_;
};

}  // namespace erp2npx
