#pragma once

#include <pugixml.hpp>
#include <string>

#include "common/config.h"
#include "common/status.h"
#include "header/paradigm_section.h"
#include "input/stimulus_table.h"
#include "input/subject_file.h"
#include "output/session_events.h"

namespace erp2npx {

// What one session's header describes.
struct SessionHeaderInputs {
  SessionLayout layout;
  const SubjectInfo* subject = nullptr;  // null when the subject has no metadata
  const ChannelList* channels = nullptr;
  const SessionEvents* events = nullptr;
  // Where the encoder file is read; empty for beside the executable.
  std::string encoderPath;
};

// Builds each session's header and saves it. The header is written as it is
// built, so that a session of any size needs no more memory than its events;
// the bytes are those of the whole document saved by the XML library, with
// the indent "\t", the default flags and ISO-8859-1.
class NpxHeaderBuilder {
 public:
  // What saving a header came to, and what became of its encoder.
  struct Saved {
    Status status;
    EncoderCopy encoder;
  };

  // Writes the whole header to out; says what became of the encoder.
  EncoderCopy streamSessionHeader(pugi::xml_writer& out, const SessionHeaderInputs& inputs) const;

  // The header as saved, whole: for small sessions and tests.
  static std::string headerText(const SessionHeaderInputs& inputs, EncoderCopy* encoder = nullptr);

  // Builds the header and saves it at path, complete or not at all.
  Saved writeSessionHeader(const std::string& path, const SessionHeaderInputs& inputs) const;
};

}  // namespace erp2npx
