#include "header/paradigm_section.h"

#include <sys/stat.h>

#include "driver/messages.h"
#include "header/xml_text.h"
#include "header/module_path.h"

namespace erp2npx {

std::string encoderFileName(const SessionLayout& layout) {
  return std::to_string(layout.rows) + "by" + std::to_string(layout.columns) + "_QUOLMET.enc";
}

namespace {

void appendParadigm(pugi::xml_node p2731) {
  pugi::xml_node paradigm = p2731.append_child("Paradigm");
  paradigm.append_attribute("Type").set_value("P300");
  pugi::xml_node p300 = paradigm.append_child("P300");
  for (const char* name : {"Iterations", "ISI"}) {
    pugi::xml_node node = p300.append_child(name);
    node.append_attribute("max").set_value(0);
    node.append_attribute("min").set_value(0);
  }
}

void appendEncoderCopy(pugi::xml_node controlInterface, const std::string& encoderPath,
                       const std::string& bareName) {
  // Loaded afresh for every session: the files are small and may change.
  pugi::xml_document encoder;
  struct stat status {};
  // Only a regular file is loaded: the parser would size its buffer from
  // whatever a directory or device reports.
  if (stat(encoderPath.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !encoder.load_file(encoderPath.c_str())) {
    printLine(msg::encoderNotLoaded(bareName));
    return;
  }
  const pugi::xml_node element = encoder.root().child("DOC").child("Encoder");
  if (element) makeXmlSafe(controlInterface.append_copy(element));
}

}  // namespace

void appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout,
                           const std::string& encoderPath) {
  appendParadigm(p2731);
  pugi::xml_node controlInterface = p2731.append_child("ControlInterface");
  appendEncoderCopy(controlInterface, encoderPath, encoderFileName(layout));
}

void appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout) {
  // Beside the executable, whatever the working directory.
  ModulePath modulePath = moduleOfExecutable();
  ModulePathOps::replaceFileName(modulePath, encoderFileName(layout));
  appendParadigmSection(p2731, layout, modulePath.path);
}

}  // namespace erp2npx
