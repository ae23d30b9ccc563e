// Any bytes as a session's encoder file. Whatever the file holds, the saved
// header must stay a well-formed document with the transducer last in
// "P2731", naming no attribute twice in an element, and carry the file's
// "Encoder" element whole when there is one and the file is XML.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>
#include <set>
#include <string>

#include "common/config.h"
#include "fuzz_support.h"
#include "header/npx_header.h"
#include "header/speller_layout.h"

namespace {

using erp2npx::fuzz::fail;

std::string tempFolder;

// Elements and attributes of a subtree: what a save and a parse must keep,
// whatever happens to the text on the way to ISO-8859-1.
size_t shapeOf(pugi::xml_node node) {
  size_t count = 1;
  for (pugi::xml_attribute attribute = node.first_attribute(); attribute;
       attribute = attribute.next_attribute()) {
    ++count;
  }
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) count += shapeOf(child);
  }
  return count;
}

// Whether some element at or below node names an attribute twice: no XML.
bool repeatsAnAttribute(pugi::xml_node node) {
  std::set<std::string> names;
  for (pugi::xml_attribute attribute = node.first_attribute(); attribute;
       attribute = attribute.next_attribute()) {
    if (!names.insert(attribute.name()).second) return true;
  }
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (repeatsAnAttribute(child)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The encoder message goes to standard output; keep the fuzzer's log clean.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  tempFolder = erp2npx::fuzz::scratchFolder("fuzz-encoder");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string encoderPath = tempFolder + "/6by6_QUOLMET.enc";
  {
    FILE* file = std::fopen(encoderPath.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
      std::abort();
    }
  }

  erp2npx::SessionEvents events;
  events.codeOffsets[0] = {0};
  events.targetOffsets = {0};
  events.trialSpans[0] = erp2npx::TrialSpan{0, 128};
  events.trialTargetRow[0] = 0;
  events.trialTargetColumn[0] = 6;
  events.totalSamples = 128;
  erp2npx::SessionHeaderInputs inputs;
  inputs.layout = erp2npx::SessionLayout{6, 6};
  inputs.channels = &erp2npx::channelList();
  inputs.events = &events;
  inputs.encoderPath = encoderPath;

  const std::string text = erp2npx::NpxHeaderBuilder::headerText(inputs);

  // What the header should have copied, judged from the file directly.
  pugi::xml_document encoder;
  const pugi::xml_node source =
      encoder.load_file(encoderPath.c_str()) && !repeatsAnAttribute(encoder)
          ? encoder.child("DOC").child("Encoder")
          : pugi::xml_node();
  pugi::xml_document saved;
  const pugi::xml_parse_result parsed = saved.load_buffer(text.data(), text.size());
  if (parsed.status != pugi::status_ok) {
    fail(std::string("saved header does not parse: ") + parsed.description() + " at offset " +
         std::to_string(parsed.offset));
  }
  if (repeatsAnAttribute(saved)) fail("saved header repeats an attribute");
  const pugi::xml_node p2731 = saved.child("DOC").child("P2731");
  if (!p2731) fail("no DOC/P2731");
  if (std::string(p2731.last_child().name()) != "Transducer") {
    fail(std::string("last child of P2731 is ") + p2731.last_child().name());
  }

  const pugi::xml_node controlInterface = p2731.child("ControlInterface");
  const pugi::xml_node copy = controlInterface.first_child();
  if (!source) {
    if (copy) fail("ControlInterface filled without an Encoder element in the file");
    return 0;
  }
  if (!copy || copy != controlInterface.last_child() || std::string(copy.name()) != "Encoder") {
    fail("ControlInterface does not hold exactly the Encoder element");
  }
  if (shapeOf(copy) != shapeOf(source)) {
    fail("Encoder copy has " + std::to_string(shapeOf(copy)) +
         " elements and attributes, the file " + std::to_string(shapeOf(source)));
  }
  return 0;
}
