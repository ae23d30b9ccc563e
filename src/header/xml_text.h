#pragma once

#include <string>

#include <pugixml.hpp>

namespace erp2npx {

// XML 1.0 allows no control characters but tab, line feed and carriage
// return, not even as character references; the XML library would write
// them as such references all the same. They are replaced by '?', as the
// library does with characters that have no ISO-8859-1 form.
std::string xmlSafeText(const std::string& text);

// The same for every text and attribute value below node.
void makeXmlSafe(pugi::xml_node node);

}  // namespace erp2npx
