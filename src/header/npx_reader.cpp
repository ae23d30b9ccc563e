#include "header/npx_reader.h"

#include <expat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

namespace erp2npx {

namespace {

// A byte order mark, or the first character "<" in two bytes.
bool looksLikeUtf16(const std::string& bytes) {
  if (bytes.size() < 2) return false;
  const std::string start = bytes.substr(0, 2);
  return start == "\xFF\xFE" || start == "\xFE\xFF" || start == std::string("<\0", 2) ||
         start == std::string("\0<", 2);
}

// What an open element is to the reader.
enum class Kind {
  kOther,
  kRoot,
  kFileInfo,
  kRecording,
  kEvents,
  kType,
  kEvent,
  kP2731,
  kControlInterface,
  kEncoder,
  kText,     // an element whose text is kept
  kIgnored,  // inside a second FileInfo, Recording or Events, or the encoder copy
};

// The children the converter writes below the root, "Events", "Type" and
// "Event"; below the others it writes fixed ones or copies the encoder.
bool isExpectedChild(Kind parent, const std::string& name) {
  static const char* const kRootChildren[] = {"FileInfo", "Owner",     "Generator",
                                              "Format",   "Recording", "Subject",
                                              "Sensor",   "Events",    "P2731"};
  switch (parent) {
    case Kind::kRoot:
      return std::find(std::begin(kRootChildren), std::end(kRootChildren), name) !=
             std::end(kRootChildren);
    case Kind::kEvents:
      return name == "Type";
    case Kind::kType:
      return name == "Event";
    case Kind::kEvent:
      return false;
    default:
      return true;
  }
}

// Reads a header with expat, one block at a time, keeping the fields of
// NpxFile and nothing else.
class HeaderReader {
 public:
  explicit HeaderReader(NpxFile& npx) : npx_(npx), parser_(XML_ParserCreate("ISO-8859-1")) {
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &HeaderReader::onStart, &HeaderReader::onEnd);
    XML_SetCharacterDataHandler(parser_, &HeaderReader::onText);
    XML_SetCommentHandler(parser_, &HeaderReader::onComment);
    XML_SetProcessingInstructionHandler(parser_, &HeaderReader::onInstruction);
    XML_SetCdataSectionHandler(parser_, &HeaderReader::onCdataStart, &HeaderReader::onCdataEnd);
  }
  HeaderReader(const HeaderReader&) = delete;
  HeaderReader& operator=(const HeaderReader&) = delete;
  ~HeaderReader() { XML_ParserFree(parser_); }

  // Feeds the next block; false once the reading is over.
  bool feed(const char* data, size_t size, bool last) {
    block_ = data;
    blockStart_ = consumed_;
    consumed_ += size;
    if (XML_Parse(parser_, data, static_cast<int>(size), last ? XML_TRUE : XML_FALSE) ==
        XML_STATUS_OK) {
      if (last) finish();
      return !last;
    }
    const XML_Error error = XML_GetErrorCode(parser_);
    // Where the parser has no position (nothing at all to parse), the error
    // lies at the end of what was read.
    const XML_Index index = XML_GetCurrentByteIndex(parser_);
    const uint64_t offset = index < 0 ? consumed_ : static_cast<uint64_t>(index);
    if (error == XML_ERROR_ABORTED) {
      // Stopped at what follows the root element.
    } else if (rootClosed_ && error == XML_ERROR_JUNK_AFTER_DOC_ELEMENT) {
      afterRoot(kindAt(offset, size));
    } else {
      npx_.problems.push_back(std::string("is not well-formed XML: ") + XML_ErrorString(error) +
                              " at byte " + std::to_string(offset));
      npx_.wellFormed = false;
      return false;
    }
    finish();
    return false;
  }

 private:
  static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    static_cast<HeaderReader*>(self)->start(name, attributes);
  }
  static void XMLCALL onEnd(void* self, const XML_Char*) {
    static_cast<HeaderReader*>(self)->end();
  }
  static void XMLCALL onText(void* self, const XML_Char* text, int length) {
    HeaderReader& reader = *static_cast<HeaderReader*>(self);
    if (reader.collecting()) reader.run_.append(text, static_cast<size_t>(length));
  }
  static void XMLCALL onComment(void* self, const XML_Char*) {
    static_cast<HeaderReader*>(self)->markup("a comment");
  }
  static void XMLCALL onInstruction(void* self, const XML_Char*, const XML_Char*) {
    static_cast<HeaderReader*>(self)->markup("a processing instruction");
  }
  static void XMLCALL onCdataStart(void* self) {
    HeaderReader& reader = *static_cast<HeaderReader*>(self);
    reader.endRun();
    reader.inCdata_ = true;
  }
  static void XMLCALL onCdataEnd(void* self) {
    HeaderReader& reader = *static_cast<HeaderReader*>(self);
    reader.endRun();
    reader.inCdata_ = false;
  }

  static const char* attribute(const XML_Char** attributes, const char* name) {
    for (; *attributes != nullptr; attributes += 2) {
      if (std::strcmp(attributes[0], name) == 0) return attributes[1];
    }
    return nullptr;
  }

  bool collecting() const {
    return !open_.empty() && open_.back() == Kind::kText && textTarget_ != nullptr;
  }

  // The text of an element is its first text: a run of characters between
  // markup that is not whitespace alone, or a CDATA section.
  void endRun() {
    if (!collecting()) return;
    const bool blank = run_.find_first_not_of(" \t\r\n") == std::string::npos;
    if (inCdata_ || !blank) {
      *textTarget_ = run_;
      textTarget_ = nullptr;
    }
    run_.clear();
  }

  void markup(const char* what) {
    endRun();
    if (rootClosed_) {
      afterRoot(what);
      XML_StopParser(parser_, XML_FALSE);
    }
  }

  void start(const std::string& name, const XML_Char** attributes) {
    endRun();
    const Kind parent = open_.empty() ? Kind::kOther : open_.back();
    if (open_.empty()) {
      rootName_ = name;
      npx_.hasRoot = name == "DOC";
      open_.push_back(npx_.hasRoot ? Kind::kRoot : Kind::kIgnored);
      return;
    }
    if (!isExpectedChild(parent, name) && unexpected_++ == 0) {
      firstUnexpected_ = "an element <" + name + "> inside <" + parentName(parent) + "> at byte " +
                         std::to_string(XML_GetCurrentByteIndex(parser_));
    }
    Kind kind = Kind::kIgnored;
    if (parent == Kind::kRoot) {
      kind = childOfRoot(name, attributes);
    } else if (parent == Kind::kFileInfo || parent == Kind::kRecording) {
      kind = textChild(parent, name);
    } else if (parent == Kind::kEvents && name == "Type") {
      NpxEventClass eventClass;
      eventClass.classText = valueOr(attribute(attributes, "Class"));
      eventClass.name = valueOr(attribute(attributes, "Name"));
      npx_.classes.push_back(std::move(eventClass));
      kind = Kind::kType;
    } else if (parent == Kind::kType && name == "Event") {
      npx_.classes.back().events.push_back(
          eventOf(attribute(attributes, "VSB"), attribute(attributes, "VSE")));
      kind = Kind::kEvent;
    } else if (parent == Kind::kP2731 && name == "ControlInterface" && !seenControl_) {
      seenControl_ = true;
      kind = Kind::kControlInterface;
    } else if (parent == Kind::kControlInterface && name == "Encoder" && !npx_.hasEncoder) {
      npx_.hasEncoder = true;
      kind = Kind::kEncoder;
    } else if (parent == Kind::kEncoder && name == "Symbol") {
      npx_.encoderSymbols.push_back(
          {valueOr(attribute(attributes, "Name")),
           parseWholeNumber(valueOr(attribute(attributes, "RowCode"))),
           parseWholeNumber(valueOr(attribute(attributes, "ColumnCode")))});
    } else if (parent == Kind::kEvents || parent == Kind::kType || parent == Kind::kEvent) {
      kind = Kind::kOther;  // its children are reported as well
    }
    open_.push_back(kind);
  }

  void end() {
    endRun();
    if (open_.back() == Kind::kText) textTarget_ = nullptr;
    open_.pop_back();
    if (open_.empty()) rootClosed_ = true;
  }

  static std::string valueOr(const char* value) { return value != nullptr ? value : ""; }

  static std::string parentName(Kind parent) {
    switch (parent) {
      case Kind::kRoot:
        return "DOC";
      case Kind::kEvents:
        return "Events";
      case Kind::kType:
        return "Type";
      default:
        return "Event";
    }
  }

  Kind childOfRoot(const std::string& name, const XML_Char** attributes) {
    if (name == "Sensor") {
      npx_.sensors.push_back(valueOr(attribute(attributes, "Name")));
    } else if (name == "Subject" && !seenSubject_) {
      seenSubject_ = true;
      for (const XML_Char** at = attributes; *at != nullptr; at += 2) {
        npx_.subject.emplace_back(at[0], at[1]);
      }
    } else if (name == "P2731" && !seenP2731_) {
      seenP2731_ = true;
      return Kind::kP2731;
    } else if (name == "FileInfo" && !seenFileInfo_) {
      seenFileInfo_ = true;
      return Kind::kFileInfo;
    } else if (name == "Recording" && !seenRecording_) {
      seenRecording_ = true;
      return Kind::kRecording;
    } else if (name == "Events" && !npx_.hasEvents) {
      npx_.hasEvents = true;
      if (const char* rate = attribute(attributes, "ResolutionSR")) npx_.resolutionRate = rate;
      return Kind::kEvents;
    }
    return Kind::kIgnored;
  }

  // The first of each kept element; its text is empty until some is found.
  Kind textChild(Kind parent, const std::string& name) {
    NpxField* field = nullptr;
    if (parent == Kind::kFileInfo && name == "Version") field = &npx_.version;
    if (parent == Kind::kFileInfo && name == "VersionMin") field = &npx_.versionMinor;
    if (parent == Kind::kRecording && name == "BaseSR") field = &npx_.baseRate;
    if (parent == Kind::kRecording && name == "Samples") {
      if (npx_.hasSamples) return Kind::kIgnored;
      npx_.hasSamples = true;
      textTarget_ = &npx_.samplesText;
      return Kind::kText;
    }
    if (field == nullptr || *field) return Kind::kIgnored;
    *field = std::string();
    textTarget_ = &**field;
    return Kind::kText;
  }

  static NpxEvent eventOf(const char* begin, const char* end) {
    NpxEvent event;
    const std::string beginText = valueOr(begin), endText = valueOr(end);
    event.begin = parseWholeNumber(beginText);
    event.end = parseWholeNumber(endText);
    if (NpxEvent::textOf(event.begin) != beginText || NpxEvent::textOf(event.end) != endText) {
      event.written =
          std::make_shared<const std::pair<std::string, std::string>>(beginText, endText);
    }
    return event;
  }

  // What stands at offset in the block being read.
  std::string kindAt(uint64_t offset, size_t size) const {
    const uint64_t at = offset - blockStart_;
    if (offset < blockStart_ || at >= size || block_[at] != '<') return "text";
    const std::string rest(block_ + at, std::min<size_t>(size - at, 256));
    if (rest.compare(0, 9, "<![CDATA[") == 0) return "a CDATA section";
    if (rest.compare(0, 2, "<!") == 0) return "a document type declaration";
    return "an element <" + rest.substr(1, rest.find_first_of(" \t\r\n/>") - 1) + ">";
  }

  void afterRoot(const std::string& what) {
    if (afterRootNoted_) return;
    afterRootNoted_ = true;
    npx_.problems.push_back("holds " + what + " after its root element <" + rootName_ +
                            ">, where nothing but whitespace may follow");
  }

  void finish() {
    npx_.wellFormed = true;
    npx_.samples = parseWholeNumber(npx_.samplesText);
    if (unexpected_ > 0) {
      npx_.problems.push_back("holds " + firstUnexpected_ + ", where the converter writes none" +
                              (unexpected_ == 1
                                   ? std::string()
                                   : " (" + std::to_string(unexpected_) + " such elements)"));
    }
  }

  NpxFile& npx_;
  XML_Parser parser_;
  std::vector<Kind> open_;
  std::string rootName_;
  bool rootClosed_ = false;
  bool afterRootNoted_ = false;
  bool seenFileInfo_ = false;
  bool seenRecording_ = false;
  bool seenSubject_ = false;
  bool seenP2731_ = false;
  bool seenControl_ = false;
  std::string* textTarget_ = nullptr;
  std::string run_;
  bool inCdata_ = false;
  uint64_t unexpected_ = 0;
  std::string firstUnexpected_;
  const char* block_ = nullptr;
  uint64_t blockStart_ = 0;
  uint64_t consumed_ = 0;
};

}  // namespace

const std::string& npxDeclaration() {
  static const std::string line = [] {
    // What the XML library writes before the document: the header keeps it.
    std::ostringstream empty;
    pugi::xml_document().save(empty, "\t", pugi::format_default, pugi::encoding_latin1);
    return empty.str().substr(0, empty.str().find('\n'));
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
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    npx.problems.push_back("cannot be read: " + std::string(std::strerror(errno)));
    return npx;
  }
  constexpr size_t kBlock = size_t{1} << 16;
  std::string block(kBlock, '\0');
  HeaderReader reader(npx);
  uint64_t offset = 0;
  for (bool more = true; more;) {
    in.read(&block[0], static_cast<std::streamsize>(kBlock));
    size_t size = static_cast<size_t>(in.gcount());
    if (in.bad()) {
      npx = NpxFile();
      npx.problems.push_back("cannot be read: " + std::string(std::strerror(errno)));
      return npx;
    }
    if (offset == 0) {
      if (looksLikeUtf16(block.substr(0, size))) {
        npx.problems.push_back("is encoded in UTF-16, not ISO-8859-1");
        return npx;
      }
      const size_t lineEnd = block.substr(0, size).find('\n');
      if (block.compare(0, std::min(lineEnd, size), npxDeclaration()) != 0) {
        npx.problems.push_back("does not begin with the line " + npxDeclaration());
      }
    }
    // Nothing after a NUL byte is read: no XML document may hold one.
    bool last = size < kBlock;
    const size_t nul = block.find('\0');
    if (nul < size) {
      npx.problems.push_back("holds a NUL byte at byte " + std::to_string(offset + nul) +
                             ", which no XML document may hold");
      size = nul;
      last = true;
    }
    more = reader.feed(block.data(), size, last);
    offset += size;
  }
  return npx;
}

}  // namespace erp2npx
