#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/status.h"

namespace erp2npx::npxcheck {

enum class Mode { kHelp, kVersion, kCheck, kPlot, kReport, kInspect };

struct CommandLine {
  Mode mode = Mode::kCheck;
  std::string tree;
  std::string source;       // --source, empty for none
  std::string plot;         // --plot
  std::string report;       // --report
  std::string unit;         // --unit, empty for auto
  std::string session;      // --session, empty for all sessions
  std::string subject;      // --subject, empty for all subjects
  std::string inspectFile;  // --inspect FILE
  std::string subjectFile;  // its optional DataSets.txt
  bool verbose = false;     // --verbose: --inspect lists every session and trial
};

// Exit values.
constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

std::string usageText();

// The number of "--subject N": 1 to 2^31, as subject directories are numbered.
std::optional<int64_t> subjectNumber(const std::string& text);

// Parses the arguments after the program name; fails on a usage error.
Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

// Runs the tool: reports on out, errors on err; returns the exit value.
int runNpxcheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace erp2npx::npxcheck
