#include "header/paradigm_section.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/messages.h"
#include "common/status.h"
#include "header/beside_executable.h"
#include "header/xml_text.h"

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

// Larger or deeper encoder files are taken as damaged: every level of nesting
// indents every line below it, so a header would grow with the square of the
// depth.
constexpr size_t kMaxEncoderBytes = size_t{1} << 20;
constexpr unsigned kMaxEncoderDepth = 256;

}  // namespace

Result<std::string> readEncoderFile(const std::string& path) {
  // O_NONBLOCK: a FIFO in its place must not hold the run.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Status::failed(std::strerror(errno));
  struct stat status {};
  bool usable = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                static_cast<uint64_t>(status.st_size) <= kMaxEncoderBytes;
  // Room for the file as it is now and one byte more, which only a file that
  // grew meanwhile fills; it may grow to one byte past the limit.
  std::string text(usable ? static_cast<size_t>(status.st_size) + 1 : 0, '\0');
  size_t size = 0;
  while (usable) {
    if (size == text.size()) {
      if (size > kMaxEncoderBytes) break;
      text.resize(kMaxEncoderBytes + 1);
    }
    const ssize_t got = read(fd, &text[size], text.size() - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) usable = false;
    if (got <= 0) break;
    size += static_cast<size_t>(got);
  }
  close(fd);
  // A file that grew meanwhile is not taken.
  if (!usable || size > kMaxEncoderBytes) {
    return Status::failed(msg::encoderFileUnreadable(kMaxEncoderBytes));
  }
  text.resize(size);
  return text;
}

namespace {

// Nested no deeper than kMaxEncoderDepth, and no element repeating an
// attribute: the XML library takes that without complaint, yet every header
// with its copy would not be XML.
bool isSoundEncoder(pugi::xml_document& document) {
  struct Walker : pugi::xml_tree_walker {
    bool sound = true;
    std::vector<std::string> names;
    bool for_each(pugi::xml_node& node) override {
      if (node.type() != pugi::node_element) return true;
      sound = static_cast<unsigned>(depth()) < kMaxEncoderDepth;
      names.clear();
      for (const pugi::xml_attribute attribute : node.attributes()) {
        names.emplace_back(attribute.name());
      }
      std::sort(names.begin(), names.end());
      sound = sound && std::adjacent_find(names.begin(), names.end()) == names.end();
      return sound;
    }
  } walker;
  document.traverse(walker);
  return walker.sound;
}

EncoderCopy appendEncoderCopy(pugi::xml_node controlInterface, const std::string& encoderPath) {
  // Loaded afresh for every session: the files are small and may change.
  pugi::xml_document encoder;
  const Result<std::string> text = readEncoderFile(encoderPath);
  if (!text.ok() || !encoder.load_buffer(text->data(), text->size()) || !isSoundEncoder(encoder)) {
    return EncoderCopy::kUnloadable;
  }
  const pugi::xml_node element = encoder.root().child("DOC").child("Encoder");
  if (!element) return EncoderCopy::kNoEncoderElement;
  makeXmlSafe(controlInterface.append_copy(element));
  return EncoderCopy::kCopied;
}

}  // namespace

EncoderCopy appendParadigmSection(pugi::xml_node p2731, const SessionLayout& layout,
                                  const std::string& encoderPath) {
  appendParadigm(p2731);
  pugi::xml_node controlInterface = p2731.append_child("ControlInterface");
  return appendEncoderCopy(controlInterface,
                           encoderPath.empty() ? encoderPathBesideExecutable(layout) : encoderPath);
}

std::string encoderPathBesideExecutable(const SessionLayout& layout) {
  // Beside the executable, whatever the working directory.
  return fileBesideExecutable(encoderFileName(layout));
}

}  // namespace erp2npx
