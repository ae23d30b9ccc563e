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
#include "common/status.h"

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

// The file behind a descriptor already opened, whatever its name stands for
// by now; anything but a regular file is refused.
Result<std::ifstream> openRegularFile(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return Status::failed(std::strerror(errno));
  if (S_ISDIR(status.st_mode)) return Status::failed(std::strerror(EISDIR));
  if (!S_ISREG(status.st_mode)) {
    return Status::failed(S_ISFIFO(status.st_mode)
                              ? "it is a FIFO, not a regular file"
                              : "it is a device or socket, not a regular file");
  }
  std::ifstream in("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
  if (!in) return Status::failed(std::strerror(errno));
  return Result<std::ifstream>(std::move(in));
}

// One pass over the data lines. Blank lines of needed subjects wait until a
// line that is not blank shows they do not end the file.
class DataLineScan {
 public:
  DataLineScan(const std::set<int32_t>& needed, SubjectInfoTable& table, SubjectFileReport& report)
      : needed_(needed), table_(table), report_(report), problems_(report) {}

  void take(LineRead read, const std::string& line, uint64_t subject) {
    const uint64_t lineNumber = subject + 2;
    const bool wanted = needed_.count(static_cast<int32_t>(subject)) != 0;
    if (read == LineRead::kLine && isBlank(line)) {
      if (blankRun_ == kNone) blankRun_ = subject;
      if (wanted) {
        if (blanks_.size() < kReportedLines) blanks_.emplace_back(lineNumber, subject);
        ++blankCount_;
      }
      return;
    }
    blankRun_ = kNone;
    reportBlanks();
    if (!wanted) return;
    if (read == LineRead::kTooLong) {
      problems_.add(msg::subjectLineTooLong(lineNumber, kMaxLineBytes, subject));
      return;
    }
    std::optional<SubjectInfo> info = parseDataLine(line, lineNumber, subject, problems_);
    if (info) table_.emplace(static_cast<int32_t>(subject), std::move(*info));
  }

  // After the last line taken: subject is the one the next line would
  // describe; reachedEnd, whether the file ended there.
  void finish(bool reachedEnd, uint64_t subject, std::streambuf& rest) {
    // Where the data lines end, when the file ends before the last needed one.
    uint64_t dataEnd = kNone;
    if (reachedEnd) {
      dataEnd = blankRun_ != kNone ? blankRun_ : subject;
    } else if (blankRun_ != kNone) {
      if (onlyBlanksFollow(rest)) {
        dataEnd = blankRun_;
      } else {
        reportBlanks();
      }
    }
    problems_.finish();
    if (dataEnd == kNone) return;
    report_.dataLines = dataEnd;
    for (auto s = needed_.lower_bound(static_cast<int32_t>(std::min<uint64_t>(dataEnd, INT32_MAX)));
         s != needed_.end(); ++s) {
      report_.withoutLine.push_back(*s);
    }
  }

 private:
  static constexpr uint64_t kNone = UINT64_MAX;

  void reportBlanks() {
    for (const auto& [lineNumber, subject] : blanks_) {
      problems_.add(msg::subjectLineFields(lineNumber, 1, subject));
    }
    problems_.hide(blankCount_ - blanks_.size());
    blanks_.clear();
    blankCount_ = 0;
  }

  const std::set<int32_t>& needed_;
  SubjectInfoTable& table_;
  SubjectFileReport& report_;
  ProblemLines problems_;
  std::vector<std::pair<uint64_t, uint64_t>> blanks_;  // line number, subject
  uint64_t blankCount_ = 0;
  uint64_t blankRun_ = kNone;  // the subject of the first of the last blank lines
};

}  // namespace

SubjectFileReport parseSubjectFile(std::istream& in, const std::set<int32_t>& needed,
                                   SubjectInfoTable& table) {
  SubjectFileReport report;
  if (needed.empty() || *needed.rbegin() < 0 || in.rdbuf() == nullptr) return report;
  std::streambuf& source = *in.rdbuf();
  const uint64_t lastNeeded = static_cast<uint64_t>(*needed.rbegin());
  DataLineScan scan(needed, table, report);
  std::string line;
  bool reachedEnd = readLine(source, line) == LineRead::kEnd;  // the header
  uint64_t subject = 0;
  while (!reachedEnd && subject <= lastNeeded) {
    const LineRead read = readLine(source, line);
    reachedEnd = read == LineRead::kEnd;
    if (!reachedEnd) scan.take(read, line, subject++);
  }
  scan.finish(reachedEnd, subject, source);
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
  Result<std::ifstream> in = openRegularFile(fd);
  close(fd);
  if (!in.ok()) {
    report.messages.push_back(msg::subjectFileUnreadable(fileName, in.reason()));
    report.complete = false;
    return report;
  }
  report = parseSubjectFile(*in, needed_, table);
  if (in->bad()) {
    report.messages.push_back(msg::subjectFileUnreadable(fileName, "read error"));
    report.complete = false;
  }
  return report;
}

}  // namespace erp2npx
