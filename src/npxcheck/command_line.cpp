#include "npxcheck/command_line.h"

#include <filesystem>
#include <fstream>

#include "input/hdf5_handle.h"
#include "npxcheck/erp_plot.h"
#include "npxcheck/inspect.h"
#include "npxcheck/report.h"
#include "npxcheck/session_files.h"
#include "npxcheck/source_check.h"
#include "npxcheck/tree_check.h"

namespace erp2npx::npxcheck {

namespace {

namespace fs = std::filesystem;

struct UsageError {
  std::string text;
};

// The value of an option given as "--name VALUE" or "--name=VALUE".
std::string optionValue(const std::vector<std::string>& arguments, size_t& i,
                        const std::string& name, const std::string& inlineValue, bool hasInline) {
  if (hasInline) return inlineValue;
  if (i + 1 >= arguments.size()) throw UsageError{"option " + name + " needs a value"};
  return arguments[++i];
}

// Every line goes out through here: what it quotes from files and names
// reaches the terminal without control bytes.
void print(std::ostream& stream, const std::string& line) { stream << shown(line) << '\n'; }

void printError(std::ostream& err, const std::string& line) { print(err, "npxcheck: " + line); }

// The check's lines: its problems, the proof's count, the summary.
void printCheck(const CheckResult& result, std::ostream& out) {
  for (const std::string& problem : result.report.problems) print(out, problem);
  if (result.proven) print(out, sourceSummaryLine(result.source));
  print(out, summaryLine(result.report));
}

int runCheck(const CommandLine& line, std::ostream& out) {
  const CheckResult result = checkTreeAndSource(scanTree(line.tree), line.source);
  printCheck(result, out);
  return result.report.problems.empty() ? kExitOk : kExitProblems;
}

Unit chosenUnit(const CommandLine& line) {
  return line.unit.empty() ? Unit::kAuto : parseUnit(line.unit).value_or(Unit::kAuto);
}

bool writeFile(const std::string& path, const std::string& bytes, std::ostream& err) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
  file.close();
  if (!file) printError(err, path + ": cannot be written");
  return static_cast<bool>(file);
}

void printNonFinite(const ErpAverages& averages, std::ostream& err) {
  if (averages.nonFinite > 0) printError(err, nonFiniteNote(averages));
}

int runReport(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const TreeFiles tree = scanTree(line.tree);
  const HtmlReport report = buildHtmlReport(tree, line.source, chosenUnit(line));
  printCheck(report.check, out);
  if (!report.averagingError.empty()) {
    printError(err, "no ERP in the report: " + report.averagingError);
  }
  printNonFinite(report.averages.all, err);
  if (!writeFile(line.report, report.page, err)) return kExitProblems;
  print(out, "wrote " + line.report);
  return report.check.report.problems.empty() ? kExitOk : kExitProblems;
}

int runPlot(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const TreeFiles tree = scanTree(line.tree);
  // A plot of part of what was asked for would pass for the whole.
  if (!tree.problems.empty()) {
    for (const std::string& problem : tree.problems) printError(err, problem);
    printError(err, "no plot: the tree cannot be read whole");
    return kExitProblems;
  }
  PlotChoice choice;
  choice.session = line.session;
  choice.subject = line.subject.empty() ? 0 : subjectNumber(line.subject).value_or(0);
  choice.unit = chosenUnit(line);
  ErpAverages averages;
  const Status averaged = averageEpochs(tree, choice, averages);
  if (!averaged.ok()) {
    printError(err, averaged.reason());
    return kExitProblems;
  }
  printNonFinite(averages, err);
  if (!writeFile(line.plot, renderErpSvg(averages), err)) return kExitProblems;
  print(out, "wrote " + line.plot + ": " +
                 countOf(averages.sessions.size(), "session", "sessions") + ", " +
                 countOf(averages.targetEpochs, "target epoch", "target epochs") + ", " +
                 countOf(averages.standardEpochs, "standard epoch", "standard epochs"));
  return kExitOk;
}

// Inconsistencies first, then the summary of what the input holds.
int runInspect(const CommandLine& line, std::ostream& out) {
  const InspectReport report = inspectInput(line.inspectFile, line.subjectFile, line.verbose);
  size_t next = 0;
  if (!report.lines.empty()) print(out, report.lines[next++]);
  if (report.inconsistencies.empty()) {
    print(out, "Inconsistencies: none");
  } else {
    print(out, "Inconsistencies: " + std::to_string(report.inconsistencies.size()));
    for (const std::string& text : report.inconsistencies) print(out, "  " + text);
  }
  for (; next < report.lines.size(); ++next) print(out, report.lines[next]);
  return report.inconsistencies.empty() ? kExitOk : kExitProblems;
}

// Names on the command line that must exist before anything runs.
void requireInputs(const CommandLine& line) {
  if (line.mode == Mode::kHelp || line.mode == Mode::kVersion) return;
  std::error_code ignored;
  const auto requireFile = [&](const std::string& path) {
    if (!path.empty() && !fs::is_regular_file(path, ignored)) {
      throw UsageError{path +
                       (fs::exists(path, ignored) ? ": not a regular file" : ": no such file")};
    }
  };
  if (line.mode == Mode::kInspect) {
    requireFile(line.inspectFile);
    requireFile(line.subjectFile);
    return;
  }
  if (!fs::is_directory(line.tree, ignored)) throw UsageError{line.tree + ": not a directory"};
  requireFile(line.source);
}

}  // namespace

std::string usageText() {
  return "usage: npxcheck TREE                          check a converted tree\n"
         "       npxcheck TREE --source FILE.hdf5       ... and prove it against its input\n"
         "       npxcheck TREE --plot OUT.svg [--session NAME | --subject N] [--unit U]\n"
         "                                              plot average target and standard epochs\n"
         "       npxcheck TREE --report OUT.html [--source FILE.hdf5] [--unit U]\n"
         "                                              check it and write one page about it\n"
         "       npxcheck --inspect FILE.hdf5 [DataSets.txt] [--verbose]\n"
         "                                              survey an input before converting it\n"
         "\n"
         "TREE holds DB_xx/Subject_xx/SubjSS_RR_rr_cc.{bin,npx} as the converter writes them.\n"
         "--plot OUT.svg   per channel: the target and standard means with their standard\n"
         "                 errors, their difference and the flash; under it each channel's\n"
         "                 largest difference, its latency and amplitude\n"
         "--session NAME   plot one session (e.g. Subj01_01_06_06); default all sessions\n"
         "--subject N      plot all sessions of subject N (as in Subject_NN), from 1\n"
         "--unit U         the unit the samples are stored in: V, mV, uV or auto (default):\n"
         "                 V when more than half the finite samples lie below 1e-3 in\n"
         "                 magnitude, else mV when more than half lie below 1, else uV\n"
         "--report OUT.html  the check's result, the subjects, the average ERP of all\n"
         "                 sessions and of each subject, and every session's spelled text,\n"
         "                 as one page that needs no network\n"
         "--verbose        with --inspect: every session and trial as well\n"
         "--help           show this text\n"
         "--version        show the version\n"
         "\n"
         "Exit value: 0 when all is well, 1 when a check finds problems, 2 on a usage error.\n";
}

std::optional<int64_t> subjectNumber(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  int64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > (int64_t{1} << 31)) return std::nullopt;
  return number;
}

Status parseCommandLine(const std::vector<std::string>& arguments, CommandLine& line) {
  line = CommandLine{};
  std::vector<std::string> positional;
  bool inspect = false;
  try {
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
      const std::string& argument = arguments[i];
      if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
        positional.push_back(argument);
        continue;
      }
      if (argument == "--") {
        optionsEnded = true;
        continue;
      }
      if (argument == "--help" || argument == "-h") {
        line.mode = Mode::kHelp;
        return Status::done();
      }
      if (argument == "--version") {
        line.mode = Mode::kVersion;
        return Status::done();
      }
      if (argument == "--verbose") {
        line.verbose = true;
        continue;
      }
      const size_t equals = argument.find('=');
      const std::string name = argument.substr(0, equals);
      const bool hasInline = equals != std::string::npos;
      const std::string inlineValue = hasInline ? argument.substr(equals + 1) : "";
      std::string* target = name == "--source"    ? &line.source
                            : name == "--plot"    ? &line.plot
                            : name == "--report"  ? &line.report
                            : name == "--unit"    ? &line.unit
                            : name == "--session" ? &line.session
                            : name == "--subject" ? &line.subject
                            : name == "--inspect" ? &line.inspectFile
                                                  : nullptr;
      if (target == nullptr) throw UsageError{"unknown option " + name};
      if (!target->empty()) throw UsageError{"option " + name + " is given twice"};
      *target = optionValue(arguments, i, name, inlineValue, hasInline);
      if (target->empty()) throw UsageError{"option " + name + " needs a value"};
      inspect = inspect || target == &line.inspectFile;
    }
    if (inspect) {
      if (!line.source.empty() || !line.plot.empty() || !line.report.empty() ||
          !line.unit.empty() || !line.session.empty() || !line.subject.empty()) {
        throw UsageError{
            "--inspect takes no tree and no --source, --plot, --report, --unit, --session or "
            "--subject"};
      }
      if (positional.size() > 1) throw UsageError{"unexpected argument " + positional[1]};
      line.mode = Mode::kInspect;
      if (!positional.empty()) line.subjectFile = positional[0];
      return Status::done();
    }
    if (line.verbose) throw UsageError{"--verbose needs --inspect"};
    if (!line.source.empty() && !line.plot.empty()) {
      throw UsageError{"--source and --plot cannot be combined"};
    }
    if (!line.report.empty() && !line.plot.empty()) {
      throw UsageError{"--report and --plot cannot be combined"};
    }
    if (!line.unit.empty()) {
      if (line.plot.empty() && line.report.empty())
        throw UsageError{"--unit needs --plot or --report"};
      if (!parseUnit(line.unit)) {
        throw UsageError{"--unit takes V, mV, uV or auto, not \"" + line.unit + "\""};
      }
    }
    if (!line.session.empty() && line.plot.empty()) throw UsageError{"--session needs --plot"};
    if (!line.subject.empty()) {
      if (line.plot.empty()) throw UsageError{"--subject needs --plot"};
      if (!line.session.empty()) throw UsageError{"--subject and --session cannot be combined"};
      if (!subjectNumber(line.subject)) {
        throw UsageError{"--subject needs a subject number from 1 to 2147483648, not \"" +
                         line.subject + "\""};
      }
    }
    if (positional.empty()) throw UsageError{"no tree given"};
    if (positional.size() > 1) throw UsageError{"unexpected argument " + positional[1]};
    line.tree = positional[0];
    line.mode = !line.plot.empty()     ? Mode::kPlot
                : !line.report.empty() ? Mode::kReport
                                       : Mode::kCheck;
    return Status::done();
  } catch (const UsageError& usage) {
    return Status::failed(usage.text);
  }
}

int runNpxcheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  CommandLine line;
  const Status parsed = parseCommandLine(arguments, line);
  std::string error = parsed.reason();
  bool usable = parsed.ok();
  if (usable) {
    try {
      requireInputs(line);
    } catch (const UsageError& usage) {
      error = usage.text;
      usable = false;
    }
  }
  if (!usable) {
    printError(err, error);
    err << "Try 'npxcheck --help' for more information.\n";
    return kExitUsage;
  }
  // Failures are reported in the tool's own words; the library's automatic
  // error stack would only repeat them.
  const QuietLibraryErrors quiet;
  switch (line.mode) {
    case Mode::kHelp:
      out << usageText();
      return kExitOk;
    case Mode::kVersion:
      out << "npxcheck " << NPXCHECK_VERSION << '\n';
      return kExitOk;
    case Mode::kPlot:
      return runPlot(line, out, err);
    case Mode::kReport:
      return runReport(line, out, err);
    case Mode::kInspect:
      return runInspect(line, out);
    case Mode::kCheck:
      break;
  }
  return runCheck(line, out);
}

}  // namespace erp2npx::npxcheck
