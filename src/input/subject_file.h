#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
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

// Keyed by subject number: the subjects the input needs whose line could be
// used. Data line k describes subject k, whatever lines could not be used.
using SubjectInfoTable = std::map<int32_t, SubjectInfo>;

// Leading white space, an optional sign, digits; whatever follows is ignored.
// Empty when there are no digits or the value does not fit 32 bits.
std::optional<int32_t> parseFieldNumber(const std::string& field);

// What reading the subject file found: its problems, a line each, at most a
// score of them and then their count.
struct SubjectFileReport {
  std::vector<std::string> messages;
  bool complete = true;  // false when a needed line could not be used
};

// Parses the file's text (header line first), keeping the lines of the needed
// subjects and reading no further than the last of them. Blank lines at the
// end of the file describe no subject.
SubjectFileReport parseSubjectFile(std::istream& in, const std::set<int32_t>& needed,
                                   SubjectInfoTable& table);

// Reads the subject file for the subjects an input has.
class SubjectFileReader {
 public:
  explicit SubjectFileReader(std::set<int32_t> needed) : needed_(std::move(needed)) {}

  // Reads a regular file into table; a missing one leaves it empty without a
  // word, as does an input that needs no subject.
  SubjectFileReport read(const std::string& fileName, SubjectInfoTable& table) const;

 private:
  std::set<int32_t> needed_;
};

}  // namespace erp2npx
