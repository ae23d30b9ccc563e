#include "input/subject_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/messages.h"

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

namespace {

// A line longer than this describes no subject; the rest of it is skipped
// unread, so an endless line costs no memory.
constexpr size_t kMaxLineBytes = 65536;
// Problem lines reported one by one; the rest are counted.
constexpr size_t kReportedLines = 20;
// How far past the last needed line blank lines are looked through to tell
// whether they end the file.
constexpr size_t kTrailingLookAhead = 65536;

enum class LineRead { kEnd, kLine, kTooLong };

LineRead readLine(std::streambuf& in, std::string& line) {
  line.clear();
  bool tooLong = false;
  for (int c = in.sbumpc();; c = in.sbumpc()) {
    if (c == std::char_traits<char>::eof()) {
      if (line.empty() && !tooLong) return LineRead::kEnd;
      break;
    }
    if (c == '\n') break;
    // Files from older systems end their lines with a carriage return alone;
    // CR LF is one line end.
    if (c == '\r') {
      if (in.sgetc() == '\n') in.sbumpc();
      break;
    }
    if (line.size() < kMaxLineBytes) {
      line.push_back(static_cast<char>(c));
    } else {
      tooLong = true;
    }
  }
  return tooLong ? LineRead::kTooLong : LineRead::kLine;
}

// Whether nothing but white space follows, as far as the look-ahead goes.
bool onlyBlanksFollow(std::streambuf& in) {
  for (size_t i = 0; i < kTrailingLookAhead; ++i) {
    const int c = in.sbumpc();
    if (c == std::char_traits<char>::eof()) return true;
    if (c != '\n' && !isBlank(std::string(1, static_cast<char>(c)))) return false;
  }
  return false;
}

class ProblemLines {
 public:
  explicit ProblemLines(SubjectFileReport& report) : report_(report) {}
  void add(const std::string& message) {
    report_.complete = false;
    if (shown_ < kReportedLines) {
      report_.messages.push_back(message);
      ++shown_;
    } else {
      ++hidden_;
    }
  }
  void hide(uint64_t count) {
    if (count > 0) report_.complete = false;
    hidden_ += count;
  }
  void finish() {
    if (hidden_ > 0) report_.messages.push_back(msg::subjectLinesNotShown(hidden_));
  }

 private:
  SubjectFileReport& report_;
  size_t shown_ = 0;
  uint64_t hidden_ = 0;
};

std::optional<SubjectInfo> parseDataLine(const std::string& line, uint64_t lineNumber,
                                         uint64_t subject, ProblemLines& problems) {
  std::vector<std::string> fields;
  boost::split(fields, line, boost::is_any_of("\t"), boost::token_compress_off);
  if (fields.size() < 7) {
    problems.add(msg::subjectLineFields(lineNumber, fields.size(), subject));
    return std::nullopt;
  }
  SubjectInfo info;
  info.study = fields[0];
  info.sex = fields[3];
  info.condition = fields[5];
  int32_t* const numbers[] = {&info.column1Value, &info.column2Value, &info.age,
                              &info.column6Value};
  const int numberFields[] = {1, 2, 4, 6};
  for (int i = 0; i < 4; ++i) {
    const std::optional<int32_t> value = parseFieldNumber(fields[numberFields[i]]);
    if (!value) {
      problems.add(
          msg::subjectLineNumber(lineNumber, numberFields[i], fields[numberFields[i]], subject));
      return std::nullopt;
    }
    *numbers[i] = *value;
  }
  return info;
}

}  // namespace

SubjectFileReport parseSubjectFile(std::istream& in, const std::set<int32_t>& needed,
                                   SubjectInfoTable& table) {
  SubjectFileReport report;
  if (needed.empty() || *needed.rbegin() < 0 || in.rdbuf() == nullptr) return report;
  std::streambuf& source = *in.rdbuf();
  const uint64_t lastNeeded = static_cast<uint64_t>(*needed.rbegin());
  ProblemLines problems(report);
  // Blank lines of needed subjects wait until a line that is not blank shows
  // they do not end the file.
  std::vector<std::pair<uint64_t, uint64_t>> blanks;  // line number, subject
  uint64_t blankCount = 0;
  auto reportBlanks = [&] {
    for (const auto& [lineNumber, subject] : blanks) {
      problems.add(msg::subjectLineFields(lineNumber, 1, subject));
    }
    problems.hide(blankCount - blanks.size());
    blanks.clear();
    blankCount = 0;
  };

  // Where the data lines end, when the file ends before the last needed one.
  constexpr uint64_t kNone = UINT64_MAX;
  uint64_t dataEnd = kNone;
  uint64_t blankRun = kNone;  // the subject of the first of the last blank lines
  std::string line;
  bool reachedEnd = readLine(source, line) == LineRead::kEnd;  // the header
  uint64_t subject = 0;
  for (; !reachedEnd && subject <= lastNeeded; ++subject) {
    const LineRead read = readLine(source, line);
    if (read == LineRead::kEnd) {
      reachedEnd = true;
      break;
    }
    const uint64_t lineNumber = subject + 2;
    const bool wanted = needed.count(static_cast<int32_t>(subject)) != 0;
    if (read == LineRead::kLine && isBlank(line)) {
      if (blankRun == kNone) blankRun = subject;
      if (wanted) {
        if (blanks.size() < kReportedLines) blanks.emplace_back(lineNumber, subject);
        ++blankCount;
      }
      continue;
    }
    blankRun = kNone;
    reportBlanks();
    if (!wanted) continue;
    if (read == LineRead::kTooLong) {
      problems.add(msg::subjectLineTooLong(lineNumber, kMaxLineBytes, subject));
      continue;
    }
    std::optional<SubjectInfo> info = parseDataLine(line, lineNumber, subject, problems);
    if (info) table.emplace(static_cast<int32_t>(subject), std::move(*info));
  }
  if (reachedEnd) {
    dataEnd = blankRun != kNone ? blankRun : subject;
  } else if (blankRun != kNone) {
    if (onlyBlanksFollow(source)) {
      dataEnd = blankRun;
    } else {
      reportBlanks();
    }
  }
  problems.finish();
  if (dataEnd != kNone) {
    report.dataLines = dataEnd;
    for (auto s = needed.lower_bound(static_cast<int32_t>(std::min<uint64_t>(dataEnd, INT32_MAX)));
         s != needed.end(); ++s) {
      report.withoutLine.push_back(*s);
    }
  }
  return report;
}

SubjectFileReport SubjectFileReader::read(const std::string& fileName,
                                          SubjectInfoTable& table) const {
  SubjectFileReport report = readFile(fileName, table);
  if (!report.withoutLine.empty()) {
    report.notes.push_back(msg::subjectFileEnds(fileName, report.dataLines, report.withoutLine));
  }
  // A header without its subject's metadata is not complete, whatever the
  // reason; said once for all of them.
  std::vector<int64_t> without;
  for (const int32_t subject : needed_) {
    if (subject >= 0 && table.count(subject) == 0) without.push_back(subject);
  }
  if (!without.empty()) {
    report.notes.push_back(msg::subjectsWithoutMetadata(without));
    report.complete = false;
  }
  return report;
}

SubjectFileReport SubjectFileReader::readFile(const std::string& fileName,
                                              SubjectInfoTable& table) const {
  SubjectFileReport report;
  if (needed_.empty() || *needed_.rbegin() < 0) return report;
  // O_NONBLOCK: a FIFO must not hold the run waiting for a writer.
  const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Nothing on standard output, as ever; a misnamed file is still named.
    if (errno == ENOENT) {
      report.notes.push_back(msg::subjectFileMissing(fileName));
    } else {
      report.messages.push_back(msg::subjectFileUnreadable(fileName, std::strerror(errno)));
      report.complete = false;
    }
    return report;
  }
  struct stat status {};
  std::string problem;
  if (fstat(fd, &status) != 0) {
    problem = std::strerror(errno);
  } else if (S_ISDIR(status.st_mode)) {
    problem = std::strerror(EISDIR);
  } else if (!S_ISREG(status.st_mode)) {
    problem = S_ISFIFO(status.st_mode) ? "it is a FIFO, not a regular file"
                                       : "it is a device or socket, not a regular file";
  }
  std::ifstream in;
  // Through the descriptor checked above, whatever the name stands for now.
  if (problem.empty()) in.open("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
  close(fd);
  if (problem.empty() && !in) problem = std::strerror(errno);
  if (!problem.empty()) {
    report.messages.push_back(msg::subjectFileUnreadable(fileName, problem));
    report.complete = false;
    return report;
  }
  report = parseSubjectFile(in, needed_, table);
  if (in.bad()) {
    report.messages.push_back(msg::subjectFileUnreadable(fileName, "read error"));
    report.complete = false;
  }
  return report;
}

}  // namespace erp2npx
