#include "header/npx_header.h"

#include <cstring>

#include "header/event_section.h"
#include "header/paradigm_section.h"
#include "header/xml_text.h"
#include "output/binary_epoch_file.h"
#include "output/output_file.h"

namespace erp2npx {

namespace {

struct StringWriter : pugi::xml_writer {
  std::string text;
  void write(const void* data, size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
};

// Gathers the text in blocks for the file; the first failure stops it.
class FileWriter : public pugi::xml_writer {
 public:
  explicit FileWriter(OutputFile& file) : file_(file) {}
  void write(const void* data, size_t size) override {
    buffer_.append(static_cast<const char*>(data), size);
    if (buffer_.size() >= kBlock) spill();
  }
  Status flush() {
    spill();
    return status_;
  }

 private:
  void spill() {
    if (status_.ok() && !buffer_.empty()) status_ = file_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

  static constexpr size_t kBlock = size_t{1} << 16;
  OutputFile& file_;
  std::string buffer_;
  Status status_ = Status::done();
};

template <typename T>
void appendText(pugi::xml_node parent, const char* name, T value) {
  parent.append_child(name).text().set(value);
}

void appendZeroPoint(pugi::xml_node parent, const char* name) {
  pugi::xml_node point = parent.append_child(name);
  point.append_attribute("Name").set_value("");
  for (const char* axis : {"X", "Y", "Z"}) point.append_attribute(axis).set_value(0);
}

// The children of "DOC" before "Events": a few dozen nodes whatever the
// session.
void appendOpening(pugi::xml_node doc, const SessionHeaderInputs& inputs) {
  const unsigned int version = kBinaryFormatVersion;
  const unsigned int rate = kEpochSamples;
  pugi::xml_node fileInfo = doc.append_child("FileInfo");
  appendText(fileInfo, "Format", "NPX");
  appendText(fileInfo, "Version", version);
  appendText(fileInfo, "VersionMaj", 0);
  appendText(fileInfo, "VersionMin", version);
  appendText(fileInfo, "MultiRate", "N");
  appendText(fileInfo, "DataTypeMode", 0);
  appendText(fileInfo, "Epoched", 1);

  pugi::xml_node owner = doc.append_child("Owner");
  appendText(owner, "FirstName", "First Name");
  appendText(owner, "LastName", "Last Name");
  appendText(owner, "BirthDay", "1//1//1900");
  appendText(owner, "Source", "Vantoris");
  appendText(owner, "DataSet", "QUOLMET");
  appendText(owner, "DataTypeMode", 0);
  appendText(owner, "Epoched", 1);

  pugi::xml_node generator = doc.append_child("Generator");
  generator.append_attribute("Program").set_value("QUOLMET Converter");
  generator.append_attribute("VersionMaj").set_value(0);
  generator.append_attribute("VersionMin").set_value(91);

  pugi::xml_node format = doc.append_child("Format");
  format.append_attribute("DataMode").set_value("Real4");
  format.append_attribute("FileMode").set_value("Binary");
  format.append_attribute("LinkMode").set_value("External");
  format.append_attribute("SortMode").set_value("BySample");

  pugi::xml_node recording = doc.append_child("Recording");
  appendText(recording, "BaseSR", rate);
  appendText(recording, "Samples", static_cast<unsigned int>(inputs.events->totalSamples));
  appendText(recording, "Epoched", 1);

  // A subject without metadata gets age 0 and empty texts: every attribute
  // stays present, none is made up.
  static const SubjectInfo kUnknownSubject;
  const SubjectInfo& subjectInfo = inputs.subject != nullptr ? *inputs.subject : kUnknownSubject;
  pugi::xml_node subject = doc.append_child("Subject");
  subject.append_attribute("Age").set_value(subjectInfo.age);
  subject.append_attribute("Sex").set_value(xmlSafeText(subjectInfo.sex).c_str());
  subject.append_attribute("Condition").set_value(xmlSafeText(subjectInfo.condition).c_str());
  subject.append_attribute("Study").set_value(xmlSafeText(subjectInfo.study).c_str());

  for (const std::string& channel : *inputs.channels) {
    pugi::xml_node sensor = doc.append_child("Sensor");
    sensor.append_attribute("ADBits").set_value(16);
    sensor.append_attribute("Gain").set_value(1.0);
    sensor.append_attribute("Name").set_value(channel.c_str());
    sensor.append_attribute("Type").set_value("EEG");
  }
}

// "P2731" with the paradigm, the encoder copy and the transducer.
EncoderCopy appendP2731(pugi::xml_node doc, const SessionHeaderInputs& inputs) {
  pugi::xml_node p2731 = doc.append_child("P2731");
  const EncoderCopy encoder = appendParadigmSection(p2731, inputs.layout, inputs.encoderPath);
  pugi::xml_node transducer = p2731.append_child("Transducer");
  transducer.append_attribute("Type").set_value("EEG");
  transducer.append_attribute("Signal").set_value("Electrical");
  appendZeroPoint(transducer, "Reference");
  appendZeroPoint(transducer, "Ground");
  return encoder;
}

// Each child of "DOC" as the save of the whole document writes it: one tab
// deep, ending in a line feed.
void writeChildren(pugi::xml_writer& out, const pugi::xml_node doc) {
  for (const pugi::xml_node child : doc.children()) {
    child.print(out, "\t", pugi::format_default, pugi::encoding_latin1, 1);
  }
}

void writeAscii(pugi::xml_writer& out, const char* text) { out.write(text, std::strlen(text)); }

}  // namespace

EncoderCopy NpxHeaderBuilder::streamSessionHeader(pugi::xml_writer& out,
                                                  const SessionHeaderInputs& inputs) const {
  writeAscii(out, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<DOC>\n");
  {
    pugi::xml_document opening;
    appendOpening(opening.append_child("DOC"), inputs);
    writeChildren(out, opening.child("DOC"));
  }
  writeEventSection(out, inputs.layout, *inputs.events);
  pugi::xml_document closing;
  const EncoderCopy encoder = appendP2731(closing.append_child("DOC"), inputs);
  writeChildren(out, closing.child("DOC"));
  writeAscii(out, "</DOC>\n");
  return encoder;
}

std::string NpxHeaderBuilder::headerText(const SessionHeaderInputs& inputs, EncoderCopy* encoder) {
  StringWriter writer;
  const EncoderCopy copy = NpxHeaderBuilder().streamSessionHeader(writer, inputs);
  if (encoder != nullptr) *encoder = copy;
  return writer.text;
}

NpxHeaderBuilder::Saved NpxHeaderBuilder::writeSessionHeader(
    const std::string& path, const SessionHeaderInputs& inputs) const {
  OutputFile file(path);
  const Status created = file.create();
  if (!created.ok()) {
    // Still built, so that the encoder is reported as for any header.
    pugi::xml_document closing;
    return {created, appendP2731(closing.append_child("DOC"), inputs)};
  }
  FileWriter writer(file);
  const EncoderCopy encoder = streamSessionHeader(writer, inputs);
  Status saved = writer.flush();
  if (saved.ok()) saved = file.commit();
  return {saved, encoder};
}

}  // namespace erp2npx
