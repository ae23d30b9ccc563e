// Inputs that fuzzing brought up, kept as tests of the behaviour they must
// get.

#include <gtest/gtest.h>
#include <hdf5.h>

#include <pugixml.hpp>
#include <string>

#include "common/config.h"
#include "header/npx_header.h"
#include "input/hdf5_handle.h"
#include "input_writer.h"
#include "test_support.h"

namespace erp2npx {
namespace {

// The header text saved for a 6-by-6 session whose encoder file holds text.
std::string savedHeaderWithEncoder(const std::string& encoderText) {
  test::TempDir dir;
  const std::string encoderPath = dir.file("6by6_QUOLMET.enc");
  test::writeTextFile(encoderPath, encoderText);
  SessionEvents events;
  events.codeOffsets[0] = {0};
  events.targetOffsets = {0};
  events.trialSpans[0] = TrialSpan{0, 128};
  events.trialTargetRow[0] = 0;
  events.trialTargetColumn[0] = 6;
  events.totalSamples = 128;
  SessionHeaderInputs inputs;
  inputs.layout = SessionLayout{6, 6};
  inputs.channels = &channelList();
  inputs.events = &events;
  inputs.encoderPath = encoderPath;
  return NpxHeaderBuilder::headerText(inputs);
}

// Parses a saved header and returns its copy of the encoder element.
pugi::xml_node parsedEncoderCopy(const std::string& text, pugi::xml_document& saved) {
  const pugi::xml_parse_result parsed = saved.load_buffer(text.data(), text.size());
  EXPECT_EQ(parsed.status, pugi::status_ok) << parsed.description() << "\n" << text;
  const pugi::xml_node p2731 = saved.child("DOC").child("P2731");
  EXPECT_STREQ(p2731.last_child().name(), "Transducer");
  return p2731.child("ControlInterface").child("Encoder");
}

// Names that an ISO-8859-1 document cannot hold (U+03A9, U+20AC, and bytes
// that are no UTF-8, as the fuzzer first found them) were written as '?',
// which no parser accepts.
TEST(FuzzRegressionTest, EncoderNamesOutsideLatin1KeepTheHeaderWellFormed) {
  pugi::xml_document saved;
  const pugi::xml_node encoder = parsedEncoderCopy(
      savedHeaderWithEncoder("<DOC><Encoder \xCE\xA9=\"1\" Colum\x92\x8C\xC2\xDDymbols=\"2\">"
                             "<\xE2\x82\xAC/></Encoder></DOC>"),
      saved);
  ASSERT_TRUE(encoder);
  EXPECT_STREQ(encoder.first_attribute().value(), "1");
  EXPECT_STREQ(encoder.last_attribute().value(), "2");
  EXPECT_TRUE(encoder.first_child());
}

// A byte that is no UTF-8 inside CDATA was dropped on output, which turned
// "]]\xAE>" into the end of the section.
TEST(FuzzRegressionTest, EncoderCdataWithAStrayByteKeepsTheHeaderWellFormed) {
  pugi::xml_document saved;
  const pugi::xml_node encoder = parsedEncoderCopy(
      savedHeaderWithEncoder("<DOC><Encoder><![CDATA[]]\xAE><]]></Encoder></DOC>"), saved);
  ASSERT_TRUE(encoder);
  EXPECT_EQ(encoder.child_value(), std::string("]]\xC2\xAE><"));
}

// C0 BC is an overlong form of '<': taken as UTF-8 it reached the file as a
// bare '<' inside the text.
TEST(FuzzRegressionTest, EncoderTextWithAnOverlongLessThanKeepsTheHeaderWellFormed) {
  pugi::xml_document saved;
  const pugi::xml_node encoder =
      parsedEncoderCopy(savedHeaderWithEncoder("<DOC><Encoder>\xC0\xBC</Encoder></DOC>"), saved);
  ASSERT_TRUE(encoder);
  EXPECT_EQ(std::string(encoder.child_value()).find('<'), std::string::npos);
}

// Text and attribute values that ISO-8859-1 cannot hold, or that are no UTF-8
// at all, change on the way into the header, but the header stays
// well-formed and the copied encoder keeps every element and attribute.
TEST(FuzzRegressionTest, EncoderValuesOutsideLatin1KeepTheHeaderWellFormed) {
  const std::string text = savedHeaderWithEncoder(
      "<DOC><Encoder Name=\"\xE2\x82\xAC\xAE\" Rows=\"]]>\">"
      "<Symbol Name=\"\xCE\xA9\">x\xFF]]\xAE>&amp;\xC3</Symbol>"
      "<Symbol Name=\"A\"><![CDATA[\xE2\x82\xAC<]]></Symbol></Encoder></DOC>");
  pugi::xml_document saved;
  const pugi::xml_node encoder = parsedEncoderCopy(text, saved);
  ASSERT_TRUE(encoder);
  EXPECT_STREQ(encoder.attribute("Rows").value(), "]]>");
  int symbols = 0;
  for (pugi::xml_node symbol : encoder.children("Symbol")) {
    ++symbols;
    EXPECT_TRUE(symbol.attribute("Name")) << symbols;
  }
  EXPECT_EQ(symbols, 2);
}

// Element and attribute names with Latin-1 letters are written as such and
// read back the same.
TEST(FuzzRegressionTest, EncoderNamesInLatin1SurviveTheHeader) {
  const std::string text = savedHeaderWithEncoder(
      "<DOC><Encoder Gr\xC3\xB6\xC3\x9Fte=\"1\"><Z\xC3\xA9ile/></Encoder></DOC>");
  EXPECT_NE(text.find("<Encoder Gr\xF6\xDFte=\"1\">"), std::string::npos) << text;
  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_buffer(text.data(), text.size()));
  const pugi::xml_node encoder =
      saved.child("DOC").child("P2731").child("ControlInterface").child("Encoder");
  EXPECT_STREQ(encoder.first_attribute().name(), "Gr\xC3\xB6\xC3\x9Fte");
  EXPECT_STREQ(encoder.first_child().name(), "Z\xC3\xA9ile");
}

// Zero stimuli and "/erp_labels" an empty dataset of 2-byte strings: the
// fuzz target took it for sound, the converter refuses it. Values that are
// not numbers are another layout, however few there are.
TEST(FuzzRegressionTest, EmptyLabelsOfStringsAreNotNumbers) {
  test::TempDir work;
  const std::string input = work.file(kInputFileName);
  test::InputFileContents contents;
  contents.matrixDims = {6, 6};
  contents.target = {0, 0, 0, 0, 0, 1, 7};
  contents.omit = {"/erp_labels"};
  test::writeInputFile(input, contents);
  {
    const Hid file = input_writer::openFile(input);
    const Hid type = datatypeHandle(H5Tcopy(H5T_C_S1));
    H5Tset_size(type.get(), 2);
    input_writer::Layout none;
    none.dims = {0};
    ASSERT_TRUE(input_writer::createDataset(file.get(), "/erp_labels", type.get(), none).valid());
  }
  const test::RunResult run = test::runProgramWith(test::converterPath(), work.path, {});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out,
            "\nFile successfully opened!!!!\n\n"
            "Unable to read the dataset /erp_labels of QUOLMET ERP-BCI.hdf5: its values are not "
            "numbers; it is treated as missing\n"
            "NumStimuli: 0\nNumSessions: 1\nNumTrials: 1\n"
            "NumDB: 0\nNumSubjects: 0\nNumLayouts: 1\nNumTrials: 0\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace erp2npx
