#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace erp2npx {

// One data line of the subject metadata file.
struct SubjectInfo {
  std::string study;
  std::string sex;
  std::string condition;
  int32_t column1Value = 0;
  int32_t column2Value = 0;
  int32_t age = 0;
  int32_t column6Value = 0;
};

// Indexed by subject number. A line that could not be read keeps its place as
// an empty entry, so later subjects keep their numbers.
using SubjectInfoTable = std::vector<std::optional<SubjectInfo>>;

// Leading white space, an optional sign, digits; whatever follows is ignored.
// Empty when there are no digits or the value does not fit 32 bits.
std::optional<int32_t> parseFieldNumber(const std::string& field);

// Parses the file's text (header line first). Problems are appended to
// messages, one line each; the result is false when a line was unusable.
bool parseSubjectFile(std::istream& in, SubjectInfoTable& table,
                      std::vector<std::string>& messages);

namespace SubjectFileReader {
// Reads the file into table and prints any problems; a missing file leaves it
// empty without a word. False when a data line could not be used.
bool read(const std::string& fileName, SubjectInfoTable& table);
}  // namespace SubjectFileReader

}  // namespace erp2npx
