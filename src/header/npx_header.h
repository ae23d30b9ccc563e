#pragma once

#include <pugixml.hpp>
#include <string>

#include "driver/config.h"
#include "header/paradigm_section.h"
#include "input/stimulus_table.h"
#include "input/subject_file.h"
#include "output/binary_epoch_writer.h"

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

namespace NpxHeaderBuilder {

// Builds the whole header document; says what became of the encoder.
EncoderCopy buildSessionHeader(pugi::xml_document& document, const SessionHeaderInputs& inputs);

// The document as saved: tab-indented, in ISO-8859-1.
std::string serializeHeader(const pugi::xml_document& document);

// Builds the header and saves it at path, complete or not at all. False with
// the reason when it cannot be saved.
bool writeSessionHeader(const std::string& path, const SessionHeaderInputs& inputs,
                        std::string& error, EncoderCopy* encoder = nullptr);

}  // namespace NpxHeaderBuilder

}  // namespace erp2npx
