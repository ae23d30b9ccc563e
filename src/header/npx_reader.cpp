#include "header/npx_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "header/npx_header.h"

namespace erp2npx {

namespace {

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in) {
    error = std::strerror(errno);
    return false;
  }
  bytes = text.str();
  return true;
}

// A byte order mark, or the first character "<" in two bytes.
bool looksLikeUtf16(const std::string& bytes) {
  if (bytes.size() < 2) return false;
  const std::string start = bytes.substr(0, 2);
  return start == "\xFF\xFE" || start == "\xFE\xFF" || start == std::string("<\0", 2) ||
         start == std::string("\0<", 2);
}

std::string nodeKind(const pugi::xml_node node) {
  switch (node.type()) {
    case pugi::node_element:
      return std::string("an element <") + node.name() + ">";
    case pugi::node_pcdata:
      return "text";
    case pugi::node_cdata:
      return "a CDATA section";
    case pugi::node_comment:
      return "a comment";
    case pugi::node_doctype:
      return "a document type declaration";
    default:
      return "a processing instruction";
  }
}

// One root element and, after it, nothing but whitespace (which the parser
// drops); before it only what an XML prolog may hold.
void checkTopLevel(const pugi::xml_document& document, std::vector<std::string>& problems) {
  pugi::xml_node root;
  for (const pugi::xml_node node : document.children()) {
    if (root) {
      problems.push_back("holds " + nodeKind(node) + " after its root element <" + root.name() +
                         ">, where nothing but whitespace may follow");
      return;
    }
    if (node.type() == pugi::node_element) {
      root = node;
    } else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
      problems.push_back("holds text before its root element");
    }
  }
}

NpxField fieldOf(const pugi::xml_node node) {
  if (!node) return std::nullopt;
  return std::string(node.text().get());
}

NpxField fieldOf(const pugi::xml_attribute attribute) {
  if (!attribute) return std::nullopt;
  return std::string(attribute.value());
}

}  // namespace

const std::string& npxDeclaration() {
  static const std::string line = [] {
    const std::string empty = NpxHeaderBuilder::serializeHeader(pugi::xml_document());
    return empty.substr(0, empty.find('\n'));
  }();
  return line;
}

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
  std::string bytes, error;
  if (!readWholeFile(path, bytes, error)) {
    npx.problems.push_back("cannot be read: " + error);
    return npx;
  }
  if (looksLikeUtf16(bytes)) {
    npx.problems.push_back("is encoded in UTF-16, not ISO-8859-1");
    return npx;
  }
  if (bytes.compare(0, bytes.find('\n'), npxDeclaration()) != 0) {
    npx.problems.push_back("does not begin with the line " + npxDeclaration());
  }
  const size_t nul = bytes.find('\0');
  if (nul != std::string::npos) {
    npx.problems.push_back("holds a NUL byte at byte " + std::to_string(nul) +
                           ", which no XML document may hold");
  }
  // Every node kind is kept, and text outside the root element too, so that
  // anything besides the one document can be found.
  constexpr unsigned kAllNodes = pugi::parse_default | pugi::parse_declaration |
                                 pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype |
                                 pugi::parse_fragment;
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(bytes.data(), bytes.size(), kAllNodes, pugi::encoding_latin1);
  if (!parsed) {
    npx.problems.push_back("is not well-formed XML: " + std::string(parsed.description()) +
                           " at byte " + std::to_string(parsed.offset));
    return npx;
  }
  checkTopLevel(document, npx.problems);
  npx.wellFormed = true;
  const pugi::xml_node root = document.child("DOC");
  npx.hasRoot = static_cast<bool>(root);
  const pugi::xml_node samples = root.child("Recording").child("Samples");
  npx.hasSamples = static_cast<bool>(samples);
  npx.samplesText = samples.text().get();
  npx.samples = parseWholeNumber(npx.samplesText);
  npx.version = fieldOf(root.child("FileInfo").child("Version"));
  npx.versionMinor = fieldOf(root.child("FileInfo").child("VersionMin"));
  npx.baseRate = fieldOf(root.child("Recording").child("BaseSR"));
  for (const pugi::xml_node sensor : root.children("Sensor")) {
    npx.sensors.push_back(sensor.attribute("Name").value());
  }
  const pugi::xml_node events = root.child("Events");
  npx.hasEvents = static_cast<bool>(events);
  npx.resolutionRate = fieldOf(events.attribute("ResolutionSR"));
  for (const pugi::xml_node type : events.children("Type")) {
    NpxEventClass eventClass;
    eventClass.classText = type.attribute("Class").value();
    eventClass.name = type.attribute("Name").value();
    for (const pugi::xml_node node : type.children("Event")) {
      NpxEvent event;
      event.beginText = node.attribute("VSB").value();
      event.begin = parseWholeNumber(event.beginText);
      const pugi::xml_attribute end = node.attribute("VSE");
      event.endText = end.value();
      event.end = parseWholeNumber(event.endText);
      eventClass.events.push_back(std::move(event));
    }
    npx.classes.push_back(std::move(eventClass));
  }
  for (const pugi::xml_attribute attribute : root.child("Subject").attributes()) {
    npx.subject.emplace_back(attribute.name(), attribute.value());
  }
  const pugi::xml_node encoder = root.child("P2731").child("ControlInterface").child("Encoder");
  npx.hasEncoder = static_cast<bool>(encoder);
  for (const pugi::xml_node symbol : encoder.children("Symbol")) {
    npx.encoderSymbols.push_back({symbol.attribute("Name").value(),
                                  parseWholeNumber(symbol.attribute("RowCode").value()),
                                  parseWholeNumber(symbol.attribute("ColumnCode").value())});
  }
  return npx;
}

}  // namespace erp2npx
