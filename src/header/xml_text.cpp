#include "header/xml_text.h"

#include <cstring>

namespace erp2npx {

namespace {

bool isForbidden(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

bool hasForbidden(const char* text) {
  for (; *text != '\0'; ++text) {
    if (isForbidden(*text)) return true;
  }
  return false;
}

}  // namespace

std::string xmlSafeText(const std::string& text) {
  std::string safe = text;
  for (char& c : safe) {
    if (isForbidden(c)) c = '?';
  }
  return safe;
}

void makeXmlSafe(pugi::xml_node node) {
  struct Walker : pugi::xml_tree_walker {
    bool for_each(pugi::xml_node& visited) override {
      if (hasForbidden(visited.value())) visited.set_value(xmlSafeText(visited.value()).c_str());
      for (pugi::xml_attribute attribute : visited.attributes()) {
        if (hasForbidden(attribute.value())) {
          attribute.set_value(xmlSafeText(attribute.value()).c_str());
        }
      }
      return true;
    }
  } walker;
  walker.for_each(node);
  node.traverse(walker);
}

}  // namespace erp2npx
