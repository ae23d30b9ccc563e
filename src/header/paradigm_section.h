#pragma once

#include <pugixml.hpp>
#include <string>

#include "common/status.h"
#include "input/stimulus_table.h"

namespace erp2npx {

// "%dby%d_QUOLMET.enc" for the session's rows and columns.
std::string encoderFileName(const SessionLayout& layout);

// Where the session's encoder file lies: beside the running executable.
std::string encoderPathBesideExecutable(const SessionLayout& layout);

// The whole text of an encoder file: a regular file of at most a mebibyte,
// still so once read; fails with what stood in the way.
Result<std::string> readEncoderFile(const std::string& path);

// What became of the session's encoder description. A file that cannot be
// loaded is reported by the caller under its bare name.
enum class EncoderCopy { kCopied, kUnloadable, kNoEncoderElement };

// Appends "Paradigm" and "ControlInterface" to the "P2731" element, copying
// the "Encoder" element of the session's encoder file: the one at
// encoderPath, or by default the one beside the executable.
EncoderCopy appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout,
                                  const std::string& encoderPath = "");

}  // namespace erp2npx
