#pragma once

#include <pugixml.hpp>
#include <string>

namespace erp2npx {

// The header is written in ISO-8859-1 by the XML library, which takes its
// text as UTF-8, writes characters beyond ISO-8859-1 as '?' and drops bytes
// that are not UTF-8. Texts from the subject file and the encoder files are
// made fit for that first, so the header always stays well-formed and
// nothing is dropped silently:
// - bytes that are not UTF-8 are taken as ISO-8859-1 characters (a subject
//   file saved in ISO-8859-1 keeps its accented letters);
// - control characters, which XML 1.0 forbids even as references, become '?'.
std::string xmlSafeText(const std::string& text);

// The same for a name; characters that cannot stand in an element or
// attribute name of an ISO-8859-1 document become '_'.
std::string xmlSafeName(const std::string& name);

// Applies both to every name and value at and below node.
void makeXmlSafe(pugi::xml_node node);

}  // namespace erp2npx
