#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "input/stimulus_table.h"

namespace erp2npx {

// Names of the output tree, from the dataset's 0-based numbers: databases as
// they are, subjects and sessions plus 1, each at least two digits wide.
std::string databaseDirectoryName(int64_t database);  // "DB_00"
std::string subjectDirectoryName(int64_t subject);    // "Subject_01" for subject 0
std::string sessionStem(int64_t subject, int64_t session,
                        const SessionLayout& layout);  // "Subj01_01_06_06"

// The numbers behind a session file's stem.
struct SessionStem {
  int32_t subject = 0;  // 0-based, as the dataset counts
  int32_t session = 0;
  SessionLayout layout;
};

// The inverses: the numbers of a name exactly as the converter writes it for
// a database, subject or session it can write, else nothing.
std::optional<int32_t> parseDatabaseDirectoryName(const std::string& name);
std::optional<SessionStem> parseSessionStem(const std::string& stem);

// An optional minus sign and 1 to 11 decimal digits, as a number. Whether the
// text is printed as the converter prints it is for the caller's formatting
// round trip to tell.
std::optional<int64_t> parseDecimal(const std::string& text);

// Whether a parsed number is one the converter can have written.
inline bool isInt32(int64_t value) { return static_cast<int32_t>(value) == value; }

}  // namespace erp2npx
