#pragma once

#include <string>

#include <pugixml.hpp>

#include "input/stimulus_table.h"

namespace erp2npx {

// "%dby%d_QUOLMET.enc" for the session's rows and columns.
std::string encoderFileName(const SessionLayout& layout);

// Appends "Paradigm" and "ControlInterface" to the "P2731" element, copying
// the "Encoder" element of the session's encoder file beside the executable.
void appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout);

// The same with the encoder file at the given path; the message still names
// the bare file name.
void appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout,
                           const std::string& encoderPath);

}  // namespace erp2npx
