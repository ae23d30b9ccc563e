#include "header/event_section.h"

#include "common/config.h"
#include "header/speller_layout.h"
#include "output/output_names.h"

namespace erp2npx {

namespace {

// Arithmetic on stored codes is done in 64 bits, so extreme values print as
// what they are instead of overflowing.
std::string rowName(int64_t rowCode) { return "Row" + std::to_string(rowCode + 1); }
std::string columnName(int64_t columnCode, int32_t rows) {
  return "Col" + std::to_string(columnCode - rows + 1);
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

pugi::xml_node appendType(pugi::xml_node parent, int classValue, const std::string& name) {
  pugi::xml_node type = parent.append_child("Type");
  type.append_attribute("Class").set_value(classValue);
  type.append_attribute("Mode").set_value(2);
  type.append_attribute("Name").set_value(name.c_str());
  return type;
}

}  // namespace

std::string codeClassName(int32_t code, const SessionLayout& layout) {
  return code < layout.rows ? rowName(code) : columnName(code, layout.rows);
}

std::string trialTargetName(int32_t rowCode, int32_t columnCode, const SessionLayout& layout) {
  if (layout.rows == 6 && layout.columns == 6) {
    return symbolAt(rowCode, static_cast<int64_t>(columnCode) - 6);
  }
  return rowName(rowCode) + "-" + columnName(columnCode, layout.rows);
}

std::optional<int32_t> parseCodeClassName(const std::string& name, const SessionLayout& layout) {
  const bool row = startsWith(name, "Row");
  if (!row && !startsWith(name, "Col")) return std::nullopt;
  const std::optional<int64_t> number = parseDecimal(name.substr(3));
  if (!number) return std::nullopt;
  const int64_t code = row ? *number - 1 : *number + layout.rows - 1;
  if (!isInt32(code) || codeClassName(static_cast<int32_t>(code), layout) != name) {
    return std::nullopt;
  }
  return static_cast<int32_t>(code);
}

bool isTrialTargetName(const std::string& name, const SessionLayout& layout) {
  if (layout.rows == 6 && layout.columns == 6) {
    // Every cell's symbol, and "" for codes outside the table.
    for (int32_t row = 0; row < 6; ++row) {
      for (int32_t column = 6; column < 12; ++column) {
        if (trialTargetName(row, column, layout) == name) return true;
      }
    }
    return name.empty();
  }
  const size_t separator = name.find("-Col", 3);
  if (!startsWith(name, "Row") || separator == std::string::npos) return false;
  const std::optional<int64_t> row = parseDecimal(name.substr(3, separator - 3));
  const std::optional<int64_t> column = parseDecimal(name.substr(separator + 4));
  if (!row || !column) return false;
  const int64_t rowCode = *row - 1;
  const int64_t columnCode = *column + layout.rows - 1;
  return isInt32(rowCode) && isInt32(columnCode) &&
         trialTargetName(static_cast<int32_t>(rowCode), static_cast<int32_t>(columnCode), layout) ==
             name;
}

void appendEventClass(pugi::xml_node parent, const std::string& name,
                      const std::vector<int32_t>& positions) {
  pugi::xml_node type = appendType(parent, 1, name);
  for (const int32_t position : positions) {
    type.append_child("Event").append_attribute("VSB").set_value(position);
  }
}

void appendEventSection(pugi::xml_node events, const SessionLayout& layout,
                        const SessionEvents& sessionEvents) {
  for (const auto& [code, positions] : sessionEvents.codeOffsets) {
    appendEventClass(events, codeClassName(code, layout), positions);
  }
  appendEventClass(events, kTargetClassName, sessionEvents.targetOffsets);
  appendEventClass(events, kStandardClassName, sessionEvents.standardOffsets);
  pugi::xml_node trialClass = appendType(events, 2, kTrialClassName);
  for (const auto& [trial, span] : sessionEvents.trialSpans) {
    pugi::xml_node event = trialClass.append_child("Event");
    event.append_attribute("VSB").set_value(span.beginSample);
    event.append_attribute("VSE").set_value(span.endSample);

    // Every trial of a written session has epochs and so a target; one that
    // had none would get no class rather than one made up from missing values.
    const auto row = sessionEvents.trialTargetRow.find(trial);
    const auto column = sessionEvents.trialTargetColumn.find(trial);
    if (row == sessionEvents.trialTargetRow.end() ||
        column == sessionEvents.trialTargetColumn.end() || span.endSample <= span.beginSample) {
      continue;
    }
    pugi::xml_node target =
        appendType(events, 2, trialTargetName(row->second, column->second, layout));
    pugi::xml_node targetEvent = target.append_child("Event");
    targetEvent.append_attribute("VSB").set_value(span.beginSample);
    // One past the first position of the trial's last epoch.
    targetEvent.append_attribute("VSE").set_value(
        static_cast<unsigned int>(span.endSample - kEpochSamples + 1));
  }
}

}  // namespace erp2npx
