#include "check/npx_file.h"

#include <cerrno>
#include <cstdlib>
#include <pugixml.hpp>

namespace erp2npx::check {

std::optional<int64_t> parseWholeNumber(const std::string& text) {
  size_t digits = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  if (digits == text.size()) return std::nullopt;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return value;
}

NpxFile readNpxFile(const std::string& path) {
  NpxFile npx;
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_file(path.c_str());
  if (!parsed) {
    npx.error = std::string(parsed.description()) + " at byte " + std::to_string(parsed.offset);
    return npx;
  }
  npx.wellFormed = true;
  const pugi::xml_node root = document.child("DOC");
  npx.hasRoot = static_cast<bool>(root);
  const pugi::xml_node samples = root.child("Recording").child("Samples");
  npx.hasSamples = static_cast<bool>(samples);
  npx.samplesText = samples.text().get();
  npx.samples = parseWholeNumber(npx.samplesText);
  for (const pugi::xml_node sensor : root.children("Sensor")) {
    npx.sensors.push_back(sensor.attribute("Name").value());
  }
  const pugi::xml_node events = root.child("Events");
  npx.hasEvents = static_cast<bool>(events);
  for (const pugi::xml_node type : events.children("Type")) {
    NpxEventClass eventClass;
    eventClass.classText = type.attribute("Class").value();
    eventClass.name = type.attribute("Name").value();
    for (const pugi::xml_node node : type.children("Event")) {
      NpxEvent event;
      event.beginText = node.attribute("VSB").value();
      event.begin = parseWholeNumber(event.beginText);
      const pugi::xml_attribute end = node.attribute("VSE");
      event.hasEnd = static_cast<bool>(end);
      event.endText = end.value();
      event.end = parseWholeNumber(event.endText);
      eventClass.events.push_back(std::move(event));
    }
    npx.classes.push_back(std::move(eventClass));
  }
  return npx;
}

const NpxEventClass* findEventClass(const NpxFile& npx, const std::string& classText,
                                    const std::string& name) {
  for (const NpxEventClass& eventClass : npx.classes) {
    if (eventClass.classText == classText && eventClass.name == name) return &eventClass;
  }
  return nullptr;
}

}  // namespace erp2npx::check
