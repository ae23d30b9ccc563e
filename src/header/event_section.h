#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "input/stimulus_table.h"
#include "output/session_events.h"

namespace erp2npx {

// The kinds and fixed names of the event classes, as written and read.
constexpr const char* kEpochClass = "1";
constexpr const char* kTrialClass = "2";
constexpr const char* kTargetClassName = "Target";
constexpr const char* kStandardClassName = "Standard";
constexpr const char* kTrialClassName = "Trial";

// Writes the "Events" element, one tab deep, as the save of the whole header
// document writes it: "ResolutionSR", then the code, target, standard, trial
// and trial target classes. Written as it goes, so that its size costs no
// memory.
void writeEventSection(pugi::xml_writer& out, const SessionLayout& layout,
                       const SessionEvents& sessionEvents);

// Name of a code's class: "Row%d" or "Col%d", 1-based.
std::string codeClassName(int32_t code, const SessionLayout& layout);

// Name of a trial's target class: the speller symbol for 6-by-6 sessions,
// else "Row%d-Col%d".
std::string trialTargetName(int32_t rowCode, int32_t columnCode, const SessionLayout& layout);

// The inverses, for headers read back. The code whose class is named exactly
// so, or nothing:
std::optional<int32_t> parseCodeClassName(const std::string& name, const SessionLayout& layout);
// Whether some target row and column codes give exactly this name.
bool isTrialTargetName(const std::string& name, const SessionLayout& layout);

}  // namespace erp2npx
