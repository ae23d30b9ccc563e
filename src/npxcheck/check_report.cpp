#include "npxcheck/check_report.h"

#include <cinttypes>
#include <cstdio>

#include "output/output_names.h"

namespace erp2npx::npxcheck {

void addProblem(CheckReport& report, const std::string& file, const std::string& text) {
  report.problems.push_back(file + ": " + text);
}

std::vector<std::string> reportedLines(const std::vector<std::string>& messages) {
  std::vector<std::string> lines;
  for (const std::string& message : messages) {
    const size_t first = message.find_first_not_of('\n');
    const size_t last = message.find_last_not_of('\n');
    if (first != std::string::npos) lines.push_back(message.substr(first, last - first + 1));
  }
  return lines;
}

namespace {

// Length of the UTF-8 sequence at text[i] of a character a terminal prints,
// 0 when there is none: overlong forms, surrogates and C1 controls excluded.
size_t printableSequence(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead >= 0x20 && lead < 0x7F) return 1;
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return code <= 0x9F ? 0 : length;
}

}  // namespace

std::string shown(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = printableSequence(text, i);
    if (length == 0) {
      static const char kHex[] = "0123456789abcdef";
      const unsigned char c = static_cast<unsigned char>(text[i++]);
      out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
      continue;
    }
    if (text[i] == '\\') out += '\\';
    out.append(text, i, length);
    i += length;
  }
  return out;
}

std::string xmlText(const std::string& text) {
  std::string out;
  for (const char c : shown(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string databaseName(int64_t database) { return databaseDirectoryName(database); }

std::string subjectName(int64_t subject) { return subjectDirectoryName(subject); }

std::string sessionName(int64_t session) {
  char text[40];
  std::snprintf(text, sizeof text, "session %02" PRId64, session + 1);
  return text;
}

std::string sessionPlace(int64_t database, int64_t subject, int64_t session) {
  return databaseName(database) + "/" + subjectName(subject) + ", " + sessionName(session);
}

std::string countOf(uint64_t count, const std::string& singular, const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

std::string summaryLine(const CheckReport& report) {
  return countOf(report.files, "file", "files") + ", " + countOf(report.epochs, "epoch", "epochs") +
         ", " + countOf(report.problems.size(), "problem", "problems");
}

}  // namespace erp2npx::npxcheck
