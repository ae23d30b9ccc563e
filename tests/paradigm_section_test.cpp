#include "header/paradigm_section.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "common/messages.h"
#include "header/beside_executable.h"
#include "test_support.h"

namespace erp2npx {
namespace {

using test::TempDir;
using test::writeTextFile;

struct Paradigm {
  std::string text;     // "P2731" as saved inside a header, one tab deep
  std::string printed;  // what the walk reports of it
};

Paradigm paradigmWith(const SessionLayout& layout, const std::string& encoderPath) {
  pugi::xml_document document;
  pugi::xml_node p2731 = document.append_child("P2731");
  Paradigm result;
  if (appendParadigmSection(p2731, layout, encoderPath) == EncoderCopy::kUnloadable) {
    result.printed = msg::encoderNotLoaded(encoderFileName(layout)) + "\n";
  }
  std::ostringstream out;
  p2731.print(out, "\t", pugi::format_default, pugi::encoding_latin1, 1);
  result.text = out.str();
  return result;
}

std::string withEmptyControlInterface() {
  return std::string(test::kParadigmLines) + "\t\t<ControlInterface />\n\t</P2731>\n";
}

TEST(ParadigmSection, EncoderFileNameIsRowsThenColumns) {
  EXPECT_EQ(encoderFileName({6, 6}), "6by6_QUOLMET.enc");
  EXPECT_EQ(encoderFileName({4, 5}), "4by5_QUOLMET.enc");
  EXPECT_EQ(encoderFileName({6, 7}), "6by7_QUOLMET.enc");
  EXPECT_EQ(encoderFileName({12, -3}), "12by-3_QUOLMET.enc");
}

TEST(ParadigmSection, MissingFileIsReportedByItsBareName) {
  TempDir dir;
  const Paradigm square = paradigmWith({6, 6}, dir.file("nowhere.enc"));
  EXPECT_EQ(square.printed, "Unable to load the Encoder file: 6by6_QUOLMET.enc\n");
  EXPECT_EQ(square.text, withEmptyControlInterface());
  EXPECT_EQ(paradigmWith({4, 5}, dir.file("nowhere.enc")).printed,
            "Unable to load the Encoder file: 4by5_QUOLMET.enc\n");
}

TEST(ParadigmSection, FilesWithoutAnElementAreReported) {
  TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"empty", ""},
      {"declaration", "<?xml version=\"1.0\"?>\n"},
      {"comments", "<?xml version=\"1.0\"?>\n<!-- one -->\n<!-- two -->\n"},
      {"broken", "<DOC><Encoder></DOC>"},
      {"text", "just text"},
      // No XML, though the XML library takes it: every header would repeat it.
      {"repeated", "<DOC><Encoder><S T=\"A\" R=\"1\" T=\"B\" /></Encoder></DOC>"},
  };
  // Past a mebibyte, or nested deeper than 256 levels, a file is taken as
  // damaged: its copy would make every header grow with the square of the
  // depth.
  auto nested = [](int levels) {
    std::string text = "<DOC><Encoder>";
    for (int i = 2; i < levels; ++i) text += "<a>";
    for (int i = 2; i < levels; ++i) text += "</a>";
    return text + "</Encoder></DOC>";
  };
  const std::string big = "<DOC><Encoder>" + std::string(1 << 20, 'x') + "</Encoder></DOC>";
  const std::pair<std::string, std::string> limits[] = {{"deep", nested(257)}, {"big", big}};
  for (const auto& [name, content] : cases) {
    writeTextFile(dir.file(name), content);
    const Paradigm result = paradigmWith({6, 6}, dir.file(name));
    EXPECT_EQ(result.printed, "Unable to load the Encoder file: 6by6_QUOLMET.enc\n") << name;
    EXPECT_EQ(result.text, withEmptyControlInterface()) << name;
  }
  for (const auto& [name, content] : limits) {
    writeTextFile(dir.file(name), content);
    EXPECT_EQ(paradigmWith({6, 6}, dir.file(name)).printed,
              "Unable to load the Encoder file: 6by6_QUOLMET.enc\n")
        << name;
  }
  writeTextFile(dir.file("deepest"), nested(256));
  EXPECT_EQ(paradigmWith({6, 6}, dir.file("deepest")).printed, "");
  // Neither a directory nor a FIFO in place of the file is read.
  EXPECT_EQ(paradigmWith({6, 7}, dir.path).printed,
            "Unable to load the Encoder file: 6by7_QUOLMET.enc\n");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  EXPECT_EQ(paradigmWith({6, 7}, dir.file("fifo")).printed,
            "Unable to load the Encoder file: 6by7_QUOLMET.enc\n");
}

TEST(ParadigmSection, EncoderFileThatCannotBeReadSaysWhy) {
  TempDir dir;
  const std::string unreadable = "is no regular file of at most 1048576 bytes that can be read";
  EXPECT_EQ(readEncoderFile(dir.file("nowhere.enc")).reason(), "No such file or directory");
  writeTextFile(dir.file("big.enc"), std::string((1 << 20) + 1, 'x'));
  EXPECT_EQ(readEncoderFile(dir.file("big.enc")).reason(), unreadable);
  EXPECT_EQ(readEncoderFile(dir.path).reason(), unreadable);
  writeTextFile(dir.file("limit.enc"), std::string(1 << 20, 'x'));
  const Result<std::string> limit = readEncoderFile(dir.file("limit.enc"));
  ASSERT_TRUE(limit.ok());
  EXPECT_EQ(limit->size(), size_t{1} << 20);
}

TEST(ParadigmSection, FilesWithoutDocEncoderLeaveItEmptySilently) {
  TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"other-root", "<Other><Encoder Name=\"x\" /></Other>"},
      {"grandchild", "<DOC><Wrapper><Encoder Name=\"x\" /></Wrapper></DOC>"},
      {"doc-only", "<DOC />"},
      {"lower-case", "<doc><Encoder Name=\"x\" /></doc>"},
  };
  for (const auto& [name, content] : cases) {
    writeTextFile(dir.file(name), content);
    const Paradigm result = paradigmWith({6, 6}, dir.file(name));
    EXPECT_EQ(result.printed, "") << name;
    EXPECT_EQ(result.text, withEmptyControlInterface()) << name;
  }
}

TEST(ParadigmSection, FirstEncoderIsCopiedWhole) {
  TempDir dir;
  writeTextFile(dir.file("e.enc"),
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<!-- speller description -->\n"
                "<DOC Version=\"2\">\n"
                "  <Note>ignored</Note>\n"
                "  <Encoder Rows=\"6\" Columns=\"6\" Kind=\"a &amp; b\">\n"
                "    <Symbol Text=\"A\" Row=\"0\" Column=\"0\">first</Symbol>\n"
                "    <Group><Symbol Text=\"B\" /></Group>\n"
                "  </Encoder>\n"
                "  <Encoder Rows=\"9\" />\n"
                "</DOC>\n");
  const Paradigm result = paradigmWith({6, 6}, dir.file("e.enc"));
  EXPECT_EQ(result.printed, "");
  EXPECT_EQ(result.text, std::string(test::kParadigmLines) +
                             "\t\t<ControlInterface>\n"
                             "\t\t\t<Encoder Rows=\"6\" Columns=\"6\" Kind=\"a &amp; b\">\n"
                             "\t\t\t\t<Symbol Text=\"A\" Row=\"0\" Column=\"0\">first</Symbol>\n"
                             "\t\t\t\t<Group>\n"
                             "\t\t\t\t\t<Symbol Text=\"B\" />\n"
                             "\t\t\t\t</Group>\n"
                             "\t\t\t</Encoder>\n"
                             "\t\t</ControlInterface>\n"
                             "\t</P2731>\n");
}

TEST(ParadigmSection, NamesWithoutAnIso88591FormStayDistinct) {
  TempDir dir;
  // Two names of characters beyond ISO-8859-1, one already "_", and "é" once
  // as UTF-8 and once as an ISO-8859-1 byte: one name each.
  writeTextFile(dir.file("e.enc"),
                "<DOC><Encoder \xE2\x98\x83=\"1\" _=\"2\" \xE2\x98\x85=\"3\" \xC3\xA9=\"4\">"
                "<S \xE9=\"5\" \xC3\xA9=\"6\" /></Encoder></DOC>");
  const Paradigm result = paradigmWith({6, 6}, dir.file("e.enc"));
  EXPECT_EQ(result.printed, "");
  EXPECT_NE(result.text.find("<Encoder __2=\"1\" _=\"2\" __3=\"3\" \xE9=\"4\">\n"
                             "\t\t\t\t<S \xE9=\"5\" \xE9_2=\"6\" />\n"),
            std::string::npos)
      << result.text;
}

TEST(ParadigmSection, OnlyTheFirstTopLevelDocCounts) {
  TempDir dir;
  writeTextFile(dir.file("e.enc"),
                "<Other><Encoder Which=\"other\" /></Other>\n"
                "<DOC><Encoder Which=\"first\" /></DOC>\n"
                "<DOC><Encoder Which=\"second\" /></DOC>\n");
  const Paradigm result = paradigmWith({6, 6}, dir.file("e.enc"));
  EXPECT_NE(result.text.find("<Encoder Which=\"first\" />"), std::string::npos) << result.text;
  EXPECT_EQ(result.text.find("second"), std::string::npos);
  EXPECT_EQ(result.text.find("other"), std::string::npos);
}

TEST(ParadigmSection, EncoderInLatin1IsDetectedAndWrittenBack) {
  TempDir dir;
  writeTextFile(dir.file("e.enc"),
                "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                "<DOC><Encoder Name=\"caf\xE9\" /></DOC>\n");
  const Paradigm result = paradigmWith({6, 6}, dir.file("e.enc"));
  EXPECT_NE(result.text.find("<Encoder Name=\"caf\xE9\" />"), std::string::npos) << result.text;
}

TEST(ParadigmSection, FileIsReadAfreshEveryTime) {
  TempDir dir;
  writeTextFile(dir.file("e.enc"), "<DOC><Encoder Take=\"1\" /></DOC>");
  EXPECT_NE(paradigmWith({6, 6}, dir.file("e.enc")).text.find("Take=\"1\""), std::string::npos);
  writeTextFile(dir.file("e.enc"), "<DOC><Encoder Take=\"2\" /></DOC>");
  EXPECT_NE(paradigmWith({6, 6}, dir.file("e.enc")).text.find("Take=\"2\""), std::string::npos);
  unlink(dir.file("e.enc").c_str());
  EXPECT_EQ(paradigmWith({6, 6}, dir.file("e.enc")).text, withEmptyControlInterface());
}

TEST(BesideExecutable, IsInTheRunningProgramsDirectory) {
  char link[4096];
  const ssize_t length = readlink("/proc/self/exe", link, sizeof link);
  ASSERT_GT(length, 0);
  const std::string self(link, static_cast<size_t>(length));
  const std::string directory = self.substr(0, self.rfind('/') + 1);
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(fileBesideExecutable("6by6_QUOLMET.enc"), directory + "6by6_QUOLMET.enc");
  // A directory part of the name is ignored.
  EXPECT_EQ(fileBesideExecutable("elsewhere/deeper/4by5_QUOLMET.enc"),
            directory + "4by5_QUOLMET.enc");
  EXPECT_EQ(fileBesideExecutable("README"), directory + "README");
  // Targets longer than the first buffer are read whole; no link reads empty.
  TempDir dir;
  const std::string far = "/" + std::string(300, 'd') + "/erp2npx";
  ASSERT_EQ(symlink(far.c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(linkTarget(dir.file("link")), far);
  EXPECT_EQ(linkTarget(dir.file("none")), "");
}

}  // namespace
}  // namespace erp2npx
