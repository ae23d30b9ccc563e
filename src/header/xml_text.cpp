#include "header/xml_text.h"

#include <cstdint>
#include <set>

namespace erp2npx {

namespace {

// Decodes one character at text[i]: a valid UTF-8 sequence, or else the
// single byte as an ISO-8859-1 character. Advances i.
uint32_t nextCharacter(const std::string& text, size_t& i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  int extra = 0;
  uint32_t value = lead;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    value = lead & 0x07;
  }
  if (extra > 0) {
    uint32_t decoded = value;
    bool valid = true;
    for (size_t k = 1; k <= static_cast<size_t>(extra) && valid; ++k) {
      const unsigned char next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      valid = (next & 0xC0) == 0x80;
      decoded = (decoded << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (valid && decoded >= minimum[extra] && decoded <= 0x10FFFF &&
        !(decoded >= 0xD800 && decoded <= 0xDFFF)) {
      i += static_cast<size_t>(extra) + 1;
      return decoded;
    }
  }
  ++i;
  return lead;
}

void appendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool isForbiddenControl(uint32_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

// Name characters of XML 1.0 that ISO-8859-1 can hold.
bool isNameCharacter(uint32_t c, bool first) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':') return true;
  if ((c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0xFF)) {
    return true;
  }
  return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7);
}

bool isSafe(const char* text) {
  for (; *text != '\0'; ++text) {
    const unsigned char c = static_cast<unsigned char>(*text);
    if (c >= 0x80 || isForbiddenControl(c)) return false;
  }
  return true;
}

// Gives the attributes whose names cannot stay names that can, each distinct
// from every other name of the element: two names that both map to "_" become
// "_" and "__2". The names that stay are distinct already (a file that
// repeats one is not taken).
void renameAttributes(pugi::xml_node element) {
  std::set<std::string> taken;
  bool unsafe = false;
  for (const pugi::xml_attribute attribute : element.attributes()) {
    if (isSafe(attribute.name())) {
      taken.insert(attribute.name());
    } else {
      unsafe = true;
    }
  }
  if (!unsafe) return;
  for (pugi::xml_attribute attribute : element.attributes()) {
    if (isSafe(attribute.name())) continue;
    const std::string mapped = xmlSafeName(attribute.name());
    std::string name = mapped;
    for (uint64_t suffix = 2; taken.count(name) != 0; ++suffix) {
      name = mapped + "_" + std::to_string(suffix);
    }
    taken.insert(name);
    attribute.set_name(name.c_str());
  }
}

}  // namespace

std::string xmlSafeText(const std::string& text) {
  std::string safe;
  safe.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const uint32_t c = nextCharacter(text, i);
    appendUtf8(safe, isForbiddenControl(c) ? '?' : c);
  }
  return safe;
}

std::string xmlSafeName(const std::string& name) {
  std::string safe;
  safe.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const bool first = safe.empty();
    const uint32_t c = nextCharacter(name, i);
    appendUtf8(safe, isNameCharacter(c, first) ? c : '_');
  }
  return safe.empty() ? "_" : safe;
}

void makeXmlSafe(pugi::xml_node node) {
  // Pure ASCII without control characters, the usual case, is left alone.
  auto fixNode = [](pugi::xml_node visited) {
    if (visited.type() == pugi::node_element && !isSafe(visited.name())) {
      visited.set_name(xmlSafeName(visited.name()).c_str());
    }
    if (!isSafe(visited.value())) visited.set_value(xmlSafeText(visited.value()).c_str());
    renameAttributes(visited);
    for (pugi::xml_attribute attribute : visited.attributes()) {
      if (!isSafe(attribute.value())) {
        attribute.set_value(xmlSafeText(attribute.value()).c_str());
      }
    }
  };
  struct Walker : pugi::xml_tree_walker {
    decltype(fixNode)& fix;
    explicit Walker(decltype(fixNode)& f) : fix(f) {}
    bool for_each(pugi::xml_node& visited) override {
      fix(visited);
      return true;
    }
  } walker(fixNode);
  fixNode(node);
  node.traverse(walker);
}

}  // namespace erp2npx
