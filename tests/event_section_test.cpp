#include "header/event_section.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "header/speller_layout.h"
#include "test_support.h"

namespace erp2npx {
namespace {

class EventSection : public ::testing::Test {
 protected:
};

// The "Events" element as saved inside a header, one tab deep.
std::string eventsText(const SessionLayout& layout, const SessionEvents& events) {
  std::ostringstream out;
  pugi::xml_writer_stream writer(out);
  writeEventSection(writer, layout, events);
  return out.str();
}

// One trial per entry: (begin, end, target row, target column).
struct TrialSketch {
  int32_t begin, end, row, column;
};

SessionEvents withTrials(const std::vector<TrialSketch>& trials) {
  SessionEvents events;
  int32_t number = 0;
  for (const TrialSketch& t : trials) {
    events.trialSpans[number] = TrialSpan{t.begin, t.end};
    events.trialTargetRow[number] = t.row;
    events.trialTargetColumn[number] = t.column;
    events.totalSamples = t.end;
    ++number;
  }
  return events;
}

// Names of the "Type" elements in document order.
std::vector<std::string> classNames(const SessionLayout& layout, const SessionEvents& events) {
  pugi::xml_document document;
  EXPECT_TRUE(document.load_string(eventsText(layout, events).c_str()));
  std::vector<std::string> names;
  for (pugi::xml_node type : document.child("Events").children("Type")) {
    names.push_back(type.attribute("Name").value());
  }
  return names;
}

TEST_F(EventSection, WorkedExample) {
  EXPECT_EQ(eventsText({6, 6}, test::workedExampleEvents()), test::kWorkedExampleEventsText);
}

TEST_F(EventSection, CodeClassNames) {
  const SessionLayout square{6, 6};
  const char* expected[] = {"Row1", "Row2", "Row3", "Row4", "Row5", "Row6",
                            "Col1", "Col2", "Col3", "Col4", "Col5", "Col6"};
  for (int32_t code = 0; code < 12; ++code) {
    EXPECT_EQ(codeClassName(code, square), expected[code]) << code;
  }
  EXPECT_EQ(codeClassName(3, {4, 5}), "Row4");
  EXPECT_EQ(codeClassName(4, {4, 5}), "Col1");
  EXPECT_EQ(codeClassName(8, {4, 5}), "Col5");
  EXPECT_EQ(codeClassName(12, {6, 7}), "Col7");
  // Codes beyond the matrix are still named by the same rule, without overflow.
  EXPECT_EQ(codeClassName(-1, square), "Row0");
  EXPECT_EQ(codeClassName(std::numeric_limits<int32_t>::max(), square), "Col2147483642");
  EXPECT_EQ(codeClassName(std::numeric_limits<int32_t>::min(), square), "Row-2147483647");
}

TEST_F(EventSection, TrialTargetNames) {
  EXPECT_EQ(trialTargetName(1, 6, {4, 5}), "Row2-Col3");
  EXPECT_EQ(trialTargetName(2, 9, {6, 6}), "P");
  EXPECT_EQ(trialTargetName(0, 6, {6, 6}), "A");
  EXPECT_EQ(trialTargetName(5, 11, {6, 6}), "9");
  EXPECT_EQ(trialTargetName(2, 7, {6, 6}), "N");
  // Only the 6-by-6 speller uses the symbol table, not any matrix with 6 rows.
  EXPECT_EQ(trialTargetName(2, 9, {6, 7}), "Row3-Col4");
  EXPECT_EQ(trialTargetName(0, 6, {5, 6}), "Row1-Col2");
}

TEST_F(EventSection, TargetOutsideTheSymbolTableHasAnEmptyName) {
  EXPECT_EQ(trialTargetName(6, 6, {6, 6}), "");
  EXPECT_EQ(trialTargetName(0, 12, {6, 6}), "");
  EXPECT_EQ(trialTargetName(0, 5, {6, 6}), "");
  EXPECT_EQ(trialTargetName(-1, 6, {6, 6}), "");
  EXPECT_EQ(trialTargetName(std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int32_t>::min(), {6, 6}),
            "");
  const std::string text = eventsText({6, 6}, withTrials({{0, 128, 7, 6}}));
  EXPECT_NE(text.find("\t\t<Type Class=\"2\" Mode=\"2\" Name=\"\">\n"
                      "\t\t\t<Event VSB=\"0\" VSE=\"1\" />\n"),
            std::string::npos)
      << text;
}

TEST_F(EventSection, EmptyTargetAndStandardClassesAreStillWritten) {
  SessionEvents events = withTrials({{0, 256, 0, 6}});
  events.codeOffsets = {{1, {0, 128}}};
  events.standardOffsets = {0, 128};
  const std::string text = eventsText({6, 6}, events);
  EXPECT_NE(text.find("\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Target\" />\n"
                      "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Standard\">\n"),
            std::string::npos)
      << text;

  const std::string none = eventsText({6, 6}, SessionEvents{});
  EXPECT_EQ(none,
            "\t<Events ResolutionSR=\"128\">\n"
            "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Target\" />\n"
            "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Standard\" />\n"
            "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"Trial\" />\n"
            "\t</Events>\n");
}

TEST_F(EventSection, TwoTrialsGiveTwoSpansAndTwoTargetClasses) {
  SessionEvents events = withTrials({{0, 384, 0, 6}, {384, 768, 0, 6}});
  events.codeOffsets = {{0, {0, 384}}, {6, {128, 512}}, {3, {256, 640}}};
  events.targetOffsets = {0, 128, 384, 512};
  events.standardOffsets = {256, 640};
  const std::string text = eventsText({6, 6}, events);
  EXPECT_NE(text.find("\t\t<Type Class=\"2\" Mode=\"2\" Name=\"Trial\">\n"
                      "\t\t\t<Event VSB=\"0\" VSE=\"384\" />\n"
                      "\t\t\t<Event VSB=\"384\" VSE=\"768\" />\n"
                      "\t\t</Type>\n"
                      "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"A\">\n"
                      "\t\t\t<Event VSB=\"0\" VSE=\"257\" />\n"
                      "\t\t</Type>\n"
                      "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"A\">\n"
                      "\t\t\t<Event VSB=\"384\" VSE=\"641\" />\n"
                      "\t\t</Type>\n"
                      "\t</Events>\n"),
            std::string::npos)
      << text;
}

TEST_F(EventSection, ClassOrderIsCodesTargetStandardTrialThenTrialTargets) {
  SessionEvents events = withTrials({{0, 768, 2, 9}, {768, 1536, 1, 7}});
  for (int32_t code = 11; code >= 0; --code) events.codeOffsets[code] = {128 * code};
  EXPECT_EQ(classNames({6, 6}, events),
            (std::vector<std::string>{"Row1", "Row2", "Row3", "Row4", "Row5", "Row6", "Col1",
                                      "Col2", "Col3", "Col4", "Col5", "Col6", "Target", "Standard",
                                      "Trial", "P", "H"}));
  // Other matrix sizes name the trial targets by row and column.
  EXPECT_EQ(classNames({4, 5}, withTrials({{0, 128, 1, 6}})),
            (std::vector<std::string>{"Target", "Standard", "Trial", "Row2-Col3"}));
}

TEST_F(EventSection, TrialWithoutEpochsGetsNoTargetClass) {
  SessionEvents events = withTrials({{0, 256, 0, 6}, {256, 256, 1, 7}});
  events.trialTargetRow.erase(1);
  events.trialTargetColumn.erase(1);
  const std::string text = eventsText({6, 6}, events);
  EXPECT_NE(text.find("\t\t\t<Event VSB=\"0\" VSE=\"256\" />\n"
                      "\t\t\t<Event VSB=\"256\" VSE=\"256\" />\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(classNames({6, 6}, events),
            (std::vector<std::string>{"Target", "Standard", "Trial", "A"}));
}

TEST_F(EventSection, NamesAreReadBackExactlyAsWrittenAndNothingElse) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  for (const SessionLayout layout :
       {SessionLayout{6, 6}, SessionLayout{4, 5}, SessionLayout{-5, -7}, SessionLayout{0, 0},
        SessionLayout{kMax, 1}, SessionLayout{kMin, kMin}}) {
    for (const int32_t code : {kMin, -1, 0, 5, 6, 40, layout.rows, kMax}) {
      EXPECT_EQ(parseCodeClassName(codeClassName(code, layout), layout), code) << code;
      EXPECT_TRUE(isTrialTargetName(trialTargetName(code, code, layout), layout)) << code;
      EXPECT_TRUE(isTrialTargetName(trialTargetName(-1, code, layout), layout)) << code;
    }
  }
  const SessionLayout sixBySix{6, 6}, fourByFive{4, 5};
  for (const char* name : {"Row01", "Row+1", "Row7", "Col0", "Col-1", "Col 1", "row1", "Row",
                           "Row-2147483648", "Col2147483643", "Target"}) {
    EXPECT_FALSE(parseCodeClassName(name, sixBySix)) << name;
  }
  for (const char* name :
       {"Row1-Col01", "Row1-Col", "Row1Col1", "Row2147483649-Col1", "A", "Row1-Col1-"}) {
    EXPECT_FALSE(isTrialTargetName(name, fourByFive)) << name;
  }
  EXPECT_TRUE(isTrialTargetName("Row2147483648-Col-2147483651", fourByFive));
  EXPECT_TRUE(isTrialTargetName("", sixBySix));
  EXPECT_TRUE(isTrialTargetName("9", sixBySix));
  EXPECT_FALSE(isTrialTargetName("Row1-Col1", sixBySix));
}

TEST_F(EventSection, CodeClassesKeepTheirPositionsInListOrder) {
  SessionEvents events;
  events.codeOffsets = {{0, {0, 1280, 128}}};
  EXPECT_EQ(eventsText({6, 6}, events),
            "\t<Events ResolutionSR=\"128\">\n"
            "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Row1\">\n"
            "\t\t\t<Event VSB=\"0\" />\n"
            "\t\t\t<Event VSB=\"1280\" />\n"
            "\t\t\t<Event VSB=\"128\" />\n"
            "\t\t</Type>\n"
            "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Target\" />\n"
            "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Standard\" />\n"
            "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"Trial\" />\n"
            "\t</Events>\n");
}

}  // namespace
}  // namespace erp2npx
