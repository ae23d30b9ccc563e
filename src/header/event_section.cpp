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

// Lines of "Events", gathered into blocks for the writer.
class EventLines {
 public:
  explicit EventLines(pugi::xml_writer& out) : out_(out) {}
  ~EventLines() { flush(); }

  // A "Type" start tag two tabs deep, closed at once when it has no events.
  void type(int classValue, const std::string& name, bool empty) {
    text_ += "\t\t<Type Class=\"";
    number(classValue);
    text_ += "\" Mode=\"2\" Name=\"";
    escaped(name);
    text_ += empty ? "\" />\n" : "\">\n";
  }
  void typeEnd() { text_ += "\t\t</Type>\n"; }
  // An "Event" three tabs deep; VSE only where given.
  void event(int64_t begin, const int64_t* end = nullptr) {
    text_ += "\t\t\t<Event VSB=\"";
    number(begin);
    if (end != nullptr) {
      text_ += "\" VSE=\"";
      number(*end);
    }
    text_ += "\" />\n";
    if (text_.size() >= kBlock) flush();
  }
  void raw(const char* text) { text_ += text; }
  void number(int64_t value) { text_ += std::to_string(value); }

 private:
  static constexpr size_t kBlock = size_t{1} << 16;

  // As the XML library escapes an attribute value; the names are ASCII.
  void escaped(const std::string& value) {
    for (const char c : value) {
      if (c == '&') {
        text_ += "&amp;";
      } else if (c == '<') {
        text_ += "&lt;";
      } else if (c == '"') {
        text_ += "&quot;";
      } else {
        text_ += c;
      }
    }
  }
  void flush() {
    out_.write(text_.data(), text_.size());
    text_.clear();
  }

  pugi::xml_writer& out_;
  std::string text_;
};

void writeEventClass(EventLines& lines, const std::string& name,
                     const std::vector<int32_t>& positions) {
  lines.type(1, name, positions.empty());
  for (const int32_t position : positions) lines.event(position);
  if (!positions.empty()) lines.typeEnd();
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

void writeEventSection(pugi::xml_writer& out, const SessionLayout& layout,
                       const SessionEvents& sessionEvents) {
  EventLines lines(out);
  lines.raw("\t<Events ResolutionSR=\"");
  lines.number(kEpochSamples);
  lines.raw("\">\n");
  for (const auto& [code, positions] : sessionEvents.codeOffsets) {
    writeEventClass(lines, codeClassName(code, layout), positions);
  }
  writeEventClass(lines, kTargetClassName, sessionEvents.targetOffsets);
  writeEventClass(lines, kStandardClassName, sessionEvents.standardOffsets);

  // The trial class stands before every trial target class, so it is written
  // whole first, and the trials are walked again for theirs.
  lines.type(2, kTrialClassName, sessionEvents.trialSpans.empty());
  for (const auto& [trial, span] : sessionEvents.trialSpans) {
    const int64_t end = span.endSample;
    lines.event(span.beginSample, &end);
  }
  if (!sessionEvents.trialSpans.empty()) lines.typeEnd();
  for (const auto& [trial, span] : sessionEvents.trialSpans) {
    // Every trial of a written session has epochs and so a target; one that
    // had none would get no class rather than one made up from missing values.
    const auto row = sessionEvents.trialTargetRow.find(trial);
    const auto column = sessionEvents.trialTargetColumn.find(trial);
    if (row == sessionEvents.trialTargetRow.end() ||
        column == sessionEvents.trialTargetColumn.end() || span.endSample <= span.beginSample) {
      continue;
    }
    lines.type(2, trialTargetName(row->second, column->second, layout), false);
    // One past the first position of the trial's last epoch, written unsigned.
    const int64_t end = static_cast<unsigned int>(span.endSample - kEpochSamples + 1);
    lines.event(span.beginSample, &end);
    lines.typeEnd();
  }
  lines.raw("\t</Events>\n");
}

}  // namespace erp2npx
