#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace erp2npx::check {

enum class Mode { kHelp, kVersion, kCheck, kPlot, kInspect };

struct CommandLine {
  Mode mode = Mode::kCheck;
  std::string tree;
  std::string source;       // --source, empty for none
  std::string plot;         // --plot
  std::string session;      // --session, empty for all sessions
  std::string inspectFile;  // --inspect FILE
  std::string subjectFile;  // its optional DataSets.txt
};

// Exit values.
constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

std::string usageText();

// Parses the arguments after the program name; false with the reason on a
// usage error.
bool parseCommandLine(const std::vector<std::string>& arguments, CommandLine& line,
                      std::string& error);

// Runs the tool: reports on out, errors on err; returns the exit value.
int runNpxcheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace erp2npx::check
