#include "input/subject_file.h"

#include <sys/stat.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "driver/messages.h"

namespace erp2npx {

namespace {

bool isBlank(const std::string& line) {
  return line.find_first_not_of(" \t\v\f\r") == std::string::npos;
}

}  // namespace

std::optional<int32_t> parseFieldNumber(const std::string& field) {
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  if (i >= field.size() || field[i] < '0' || field[i] > '9') return std::nullopt;
  int64_t value = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    value = value * 10 + (field[i] - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool parseSubjectFile(std::istream& in, SubjectInfoTable& table,
                      std::vector<std::string>& messages) {
  std::vector<std::string> lines;
  std::string line;
  for (bool header = true; std::getline(in, line); header = false) {
    // A CR LF line end counts as one line end.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!header) lines.push_back(line);
  }
  // Blank lines at the end of the file describe no subject.
  while (!lines.empty() && isBlank(lines.back())) lines.pop_back();

  bool complete = true;
  std::vector<std::string> fields;
  for (size_t k = 0; k < lines.size(); ++k) {
    const uint64_t lineNumber = k + 2;
    boost::split(fields, lines[k], boost::is_any_of("\t"), boost::token_compress_off);
    if (fields.size() < 7) {
      messages.push_back(msg::subjectLineFields(lineNumber, fields.size(), k));
      table.emplace_back();
      complete = false;
      continue;
    }
    SubjectInfo info;
    info.study = fields[0];
    info.sex = fields[3];
    info.condition = fields[5];
    int32_t* const numbers[] = {&info.column1Value, &info.column2Value, &info.age,
                                &info.column6Value};
    const int numberFields[] = {1, 2, 4, 6};
    bool usable = true;
    for (int i = 0; i < 4 && usable; ++i) {
      const std::optional<int32_t> value = parseFieldNumber(fields[numberFields[i]]);
      if (value) {
        *numbers[i] = *value;
      } else {
        messages.push_back(
            msg::subjectLineNumber(lineNumber, numberFields[i], fields[numberFields[i]], k));
        usable = false;
      }
    }
    if (usable) {
      table.push_back(std::move(info));
    } else {
      table.emplace_back();
      complete = false;
    }
  }
  return complete;
}

namespace SubjectFileReader {

bool read(const std::string& fileName, SubjectInfoTable& table) {
  struct stat status {};
  if (stat(fileName.c_str(), &status) != 0) {
    if (errno == ENOENT) return true;  // no metadata at all is not a fault of the run
    printLine(msg::subjectFileUnreadable(fileName, std::strerror(errno)));
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    printLine(msg::subjectFileUnreadable(fileName, std::strerror(EISDIR)));
    return false;
  }
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    printLine(msg::subjectFileUnreadable(fileName, std::strerror(errno)));
    return false;
  }
  std::vector<std::string> messages;
  bool complete = parseSubjectFile(in, table, messages);
  if (in.bad()) {
    messages.push_back(msg::subjectFileUnreadable(fileName, "read error"));
    complete = false;
  }
  for (const std::string& message : messages) printLine(message);
  return complete;
}

}  // namespace SubjectFileReader

}  // namespace erp2npx
