// Any bytes as the subject metadata file. Beyond not crashing, the table must
// hold exactly the usable lines of the subjects the input needs, each under
// its line's subject number with exactly the fields of its line.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/subject_file.h"

namespace {

using erp2npx::fuzz::fail;

// Lines as a reader of text from any system sees them: ended by LF, CR, or
// CR LF, a final line end opening no further line.
std::vector<std::string> textLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  bool open = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      lines.push_back(line);
      line.clear();
      open = false;
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
      open = true;
    }
  }
  if (open) lines.push_back(line);
  return lines;
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// Data lines: the header dropped, lines of nothing but blanks at the end
// describing nobody.
std::vector<std::string> dataLines(const std::string& text) {
  std::vector<std::string> lines = textLines(text);
  if (!lines.empty()) lines.erase(lines.begin());
  while (!lines.empty() && lines.back().find_first_not_of(" \t\v\f\r") == std::string::npos) {
    lines.pop_back();
  }
  return lines;
}

// The number rule written with the C library, as a second opinion.
std::optional<int32_t> referenceNumber(const std::string& field) {
  const char* start = field.c_str();
  while (*start == ' ' || (*start >= '\t' && *start <= '\r')) ++start;
  const char* digits = start + ((*start == '+' || *start == '-') ? 1 : 0);
  if (*digits < '0' || *digits > '9') return std::nullopt;
  errno = 0;
  const long long value = std::strtoll(start, nullptr, 10);
  if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = dataLines(text);
  // The input needs every subject up to past the last line, but for every
  // third one now and then: those lines are neither kept nor reported.
  const size_t skipped = size % 4;  // 3: none
  std::set<int32_t> needed;
  for (size_t k = 0; k <= lines.size() + 1; ++k) {
    if (k % 3 != skipped || k == lines.size() + 1) needed.insert(static_cast<int32_t>(k));
  }
  std::istringstream in(text);
  erp2npx::SubjectInfoTable table;
  const erp2npx::SubjectFileReport report = erp2npx::parseSubjectFile(in, needed, table);

  size_t unusable = 0;
  size_t kept = 0;
  for (size_t k = 0; k < lines.size(); ++k) {
    const bool wanted = needed.count(static_cast<int32_t>(k)) != 0;
    const std::vector<std::string> fields = splitAt(lines[k], '\t');
    std::optional<int32_t> numbers[4];
    bool usable = fields.size() >= 7 && lines[k].size() <= 65536;
    if (usable) {
      const int columns[4] = {1, 2, 4, 6};
      for (int i = 0; i < 4; ++i) {
        numbers[i] = referenceNumber(fields[columns[i]]);
        usable = usable && numbers[i].has_value();
      }
    }
    const auto found = table.find(static_cast<int32_t>(k));
    if ((wanted && usable) != (found != table.end())) {
      fail("entry " + std::to_string(k) + (wanted && usable ? " missing" : " kept"));
    }
    if (!wanted) continue;
    if (!usable) {
      ++unusable;
      continue;
    }
    ++kept;
    const erp2npx::SubjectInfo& info = found->second;
    if (info.study != fields[0] || info.sex != fields[3] || info.condition != fields[5]) {
      fail("texts of entry " + std::to_string(k));
    }
    if (info.column1Value != *numbers[0] || info.column2Value != *numbers[1] ||
        info.age != *numbers[2] || info.column6Value != *numbers[3]) {
      fail("numbers of entry " + std::to_string(k));
    }
  }
  if (table.size() != kept) fail("table size " + std::to_string(table.size()));
  // One message per unusable needed line, at most twenty and then their count.
  const size_t messages = unusable <= 20 ? unusable : 21;
  if (report.messages.size() != messages) {
    fail(std::to_string(report.messages.size()) + " messages for " + std::to_string(unusable) +
         " unusable lines");
  }
  if (report.complete != (unusable == 0)) fail("result does not match the unusable lines");
  // The needed subjects past the data lines are named, and only they.
  std::vector<int64_t> withoutLine;
  for (const int32_t k : needed) {
    if (static_cast<size_t>(k) >= lines.size()) withoutLine.push_back(k);
  }
  if (report.withoutLine != withoutLine || report.dataLines != lines.size()) {
    fail("subjects without a line do not match the " + std::to_string(lines.size()) +
         " data lines");
  }
  return 0;
}
