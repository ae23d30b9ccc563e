#include "output/output_names.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace erp2npx {

namespace {

// Numbers are widened before printing, so no value of the input overflows.
std::string formatted(const char* pattern, int64_t value) {
  char name[64];
  std::snprintf(name, sizeof name, pattern, value);
  return name;
}

// "a_b_c" into its fields.
std::vector<std::string> fields(const std::string& text) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == '_') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

}  // namespace

std::optional<int64_t> parseDecimal(const std::string& text) {
  const size_t first = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == first || text.size() > first + 11) return std::nullopt;
  int64_t value = 0;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return first == 1 ? -value : value;
}

std::string databaseDirectoryName(int64_t database) { return formatted("DB_%02" PRId64, database); }

std::string subjectDirectoryName(int64_t subject) {
  return formatted("Subject_%02" PRId64, subject + 1);
}

std::string sessionStem(int64_t subject, int64_t session, const SessionLayout& layout) {
  char name[128];
  std::snprintf(name, sizeof name, "Subj%02" PRId64 "_%02" PRId64 "_%02" PRId32 "_%02" PRId32,
                subject + 1, session + 1, layout.rows, layout.columns);
  return name;
}

std::optional<int32_t> parseDatabaseDirectoryName(const std::string& name) {
  const std::string prefix = "DB_";
  if (name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::optional<int64_t> database = parseDecimal(name.substr(prefix.size()));
  // Negative database numbers are skipped, never written.
  if (!database || *database < 0 || !isInt32(*database) ||
      databaseDirectoryName(*database) != name) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*database);
}

std::optional<SessionStem> parseSessionStem(const std::string& stem) {
  const std::string prefix = "Subj";
  if (stem.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::vector<std::string> parts = fields(stem.substr(prefix.size()));
  if (parts.size() != 4) return std::nullopt;
  std::optional<int64_t> numbers[4];
  for (size_t i = 0; i < 4; ++i) {
    numbers[i] = parseDecimal(parts[i]);
    if (!numbers[i]) return std::nullopt;
  }
  // Subjects and sessions are written from 0 upwards, plus 1; any 32-bit
  // matrix size is written as it is.
  const int64_t subject = *numbers[0] - 1;
  const int64_t session = *numbers[1] - 1;
  if (subject < 0 || session < 0 || !isInt32(subject) || !isInt32(session) ||
      !isInt32(*numbers[2]) || !isInt32(*numbers[3])) {
    return std::nullopt;
  }
  SessionStem parsed;
  parsed.subject = static_cast<int32_t>(subject);
  parsed.session = static_cast<int32_t>(session);
  parsed.layout =
      SessionLayout{static_cast<int32_t>(*numbers[2]), static_cast<int32_t>(*numbers[3])};
  if (sessionStem(subject, session, parsed.layout) != stem) return std::nullopt;
  return parsed;
}

}  // namespace erp2npx
