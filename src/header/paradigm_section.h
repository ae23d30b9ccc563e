#pragma once

#include <pugixml.hpp>
#include <string>

#include "input/stimulus_table.h"

namespace erp2npx {

// "%dby%d_QUOLMET.enc" for the session's rows and columns.
std::string encoderFileName(const SessionLayout& layout);

// What became of the session's encoder description.
enum class EncoderCopy { kCopied, kUnloadable, kNoEncoderElement };

// Appends "Paradigm" and "ControlInterface" to the "P2731" element, copying
// the "Encoder" element of the session's encoder file beside the executable.
EncoderCopy appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout);

// The same with the encoder file at the given path; the message still names
// the bare file name.
EncoderCopy appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout,
                                  const std::string& encoderPath);

}  // namespace erp2npx
