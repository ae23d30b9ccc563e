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
  // For standard error: subjects left without metadata, and why.
  std::vector<std::string> notes;
  // False when a needed line could not be used; from the reader, also when a
  // needed subject has no metadata at all: a header without it is not
  // complete.
  bool complete = true;
  // The needed subjects past the file's last data line, and that line.
  std::vector<int64_t> withoutLine;
  uint64_t dataLines = 0;
};

// Parses the file's text (header line first), keeping the lines of the needed
// subjects and reading no further than the last of them. A line ends at a
// line feed, a carriage return, or both together. Blank lines at the end of
// the file describe no subject.
SubjectFileReport parseSubjectFile(std::istream& in, const std::set<int32_t>& needed,
                                   SubjectInfoTable& table);

// Reads the subject file for the subjects an input has.
class SubjectFileReader {
 public:
  explicit SubjectFileReader(std::set<int32_t> needed) : needed_(std::move(needed)) {}

  // Reads a regular file into table. An input that needs no subject reads
  // nothing and is complete; otherwise every needed subject left without
  // metadata (a missing file, a file that ends before its line, a line that
  // cannot be used) makes the report incomplete, with a note that says so.
  SubjectFileReport read(const std::string& fileName, SubjectInfoTable& table) const;

 private:
  SubjectFileReport readFile(const std::string& fileName, SubjectInfoTable& table) const;

  std::set<int32_t> needed_;
};

}  // namespace erp2npx
