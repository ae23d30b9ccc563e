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

// Builds each session's header document and saves it.
class NpxHeaderBuilder {
 public:
  // What saving a header came to, and what became of its encoder.
  struct Saved {
    Status status;
    EncoderCopy encoder;
  };

  // Builds the whole header document; says what became of the encoder.
  EncoderCopy buildSessionHeader(pugi::xml_document& document,
                                 const SessionHeaderInputs& inputs) const;

  // The document as saved: tab-indented, in ISO-8859-1.
  static std::string serializeHeader(const pugi::xml_document& document);

  // Builds the header and saves it at path, complete or not at all.
  Saved writeSessionHeader(const std::string& path, const SessionHeaderInputs& inputs) const;
};

}  // namespace erp2npx
