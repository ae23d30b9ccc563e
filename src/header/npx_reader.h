#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "header/event_section.h"

namespace erp2npx {

// One "Event": its "VSB" and, for trial classes, "VSE", as written and as
// numbers when the text is a whole number.
struct NpxEvent {
  std::string beginText;
  std::string endText;
  std::optional<int64_t> begin;
  std::optional<int64_t> end;
};

// One "Type" of "Events".
struct NpxEventClass {
  std::string classText;  // "1" for epoch classes, "2" for trial classes
  std::string name;
  std::vector<NpxEvent> events;
};

// The text of an element or attribute, when present.
using NpxField = std::optional<std::string>;

// What the checks read from a session header.
struct NpxFile {
  // What keeps the file from being one ISO-8859-1 XML document as the
  // converter writes it, one line each; those that stop it from being read
  // at all leave wellFormed false.
  std::vector<std::string> problems;
  bool wellFormed = false;
  bool hasRoot = false;
  bool hasSamples = false;
  std::string samplesText;
  std::optional<int64_t> samples;
  // Numbers the converter writes the same in every header.
  NpxField version;                  // FileInfo/Version
  NpxField versionMinor;             // FileInfo/VersionMin
  NpxField baseRate;                 // Recording/BaseSR
  NpxField resolutionRate;           // Events/@ResolutionSR
  std::vector<std::string> sensors;  // "Name" of each "Sensor", in order
  bool hasEvents = false;
  std::vector<NpxEventClass> classes;  // in document order
  // The "Subject" attributes, in document order, as name and value.
  std::vector<std::pair<std::string, std::string>> subject;
  // P2731/ControlInterface/Encoder, copied from the encoder file, and the
  // "Name", "RowCode" and "ColumnCode" of its "Symbol" elements.
  bool hasEncoder = false;
  struct Symbol {
    std::string name;
    std::optional<int64_t> rowCode;
    std::optional<int64_t> columnCode;
  };
  std::vector<Symbol> encoderSymbols;
};

NpxFile readNpxFile(const std::string& path);

// The first line of every header the converter writes.
const std::string& npxDeclaration();

// Optional sign and decimal digits only, within 64 bits.
std::optional<int64_t> parseWholeNumber(const std::string& text);

}  // namespace erp2npx
