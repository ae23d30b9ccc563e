#include "npxcheck/command_line.h"

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <utility>

#include "input/hdf5_handle.h"
#include "npxcheck/erp_plot.h"
#include "npxcheck/inspect.h"
#include "npxcheck/report.h"
#include "npxcheck/session_files.h"
#include "npxcheck/source_check.h"

namespace erp2npx::npxcheck {

namespace {

namespace fs = std::filesystem;

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

Status writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
  file.close();
  return file ? Status::done() : Status::failed(path + ": cannot be written");
}

// Writes the page or plot; says why not on err.
bool written(const std::string& path, const std::string& bytes, std::ostream& err) {
  const Status status = writeFile(path, bytes);
  if (!status.ok()) printError(err, status.reason());
  return status.ok();
}

void printNonFinite(const ErpAverages& averages, std::ostream& err) {
  if (averages.nonFinite > 0) printError(err, nonFiniteNote(averages));
}

int runReport(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const TreeFiles tree = scanTree(line.tree);
  const HtmlReport report = buildHtmlReport(tree, line.source, chosenUnit(line));
  printCheck(report.check, out);
  const Result<TreeAverages>& averages = report.averaging.averages;
  if (averages.ok()) {
    printNonFinite(averages->all, err);
  } else {
    printError(err, "no ERP in the report: " + averages.reason());
  }
  if (!written(line.report, report.page, err)) return kExitProblems;
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
  const Result<ErpAverages> averaged = averageEpochs(tree, choice);
  if (!averaged.ok()) {
    printError(err, averaged.reason());
    return kExitProblems;
  }
  const ErpAverages& averages = *averaged;
  printNonFinite(averages, err);
  if (!written(line.plot, renderErpSvg(averages), err)) return kExitProblems;
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

Status requireFile(const std::string& path) {
  std::error_code ignored;
  if (path.empty() || fs::is_regular_file(path, ignored)) return Status::done();
  return Status::failed(path +
                        (fs::exists(path, ignored) ? ": not a regular file" : ": no such file"));
}

// Names on the command line that must exist before anything runs.
Status requireInputs(const CommandLine& line) {
  if (line.mode == Mode::kHelp || line.mode == Mode::kVersion) return Status::done();
  if (line.mode == Mode::kInspect) {
    const Status input = requireFile(line.inspectFile);
    return input.ok() ? requireFile(line.subjectFile) : input;
  }
  std::error_code ignored;
  if (!fs::is_directory(line.tree, ignored)) return Status::failed(line.tree + ": not a directory");
  return requireFile(line.source);
}

// The command line as given: options in their fields, the rest in order.
struct SortedArguments {
  CommandLine line;
  std::vector<std::string> positional;
};

// The field of an option that takes a value, or null for an unknown one.
std::string* valueField(CommandLine& line, const std::string& name) {
  static const std::pair<const char*, std::string CommandLine::*> kValueOptions[] = {
      {"--source", &CommandLine::source},      {"--plot", &CommandLine::plot},
      {"--report", &CommandLine::report},      {"--unit", &CommandLine::unit},
      {"--session", &CommandLine::session},    {"--subject", &CommandLine::subject},
      {"--inspect", &CommandLine::inspectFile}};
  for (const auto& [option, field] : kValueOptions) {
    if (name == option) return &(line.*field);
  }
  return nullptr;
}

// An option given as "--name VALUE" or "--name=VALUE", at arguments[i].
Status takeValue(const std::vector<std::string>& arguments, size_t& i, CommandLine& line) {
  const std::string& argument = arguments[i];
  const size_t equals = argument.find('=');
  const std::string name = argument.substr(0, equals);
  std::string* field = valueField(line, name);
  if (field == nullptr) return Status::failed("unknown option " + name);
  if (!field->empty()) return Status::failed("option " + name + " is given twice");
  if (equals != std::string::npos) {
    *field = argument.substr(equals + 1);
  } else if (i + 1 < arguments.size()) {
    *field = arguments[++i];
  }
  if (field->empty()) return Status::failed("option " + name + " needs a value");
  return Status::done();
}

// Sorts the arguments; --help and --version end the sorting, "--" ends the
// options.
Result<SortedArguments> sortArguments(const std::vector<std::string>& arguments) {
  SortedArguments sorted;
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      sorted.positional.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h" || argument == "--version") {
      sorted.line.mode = argument == "--version" ? Mode::kVersion : Mode::kHelp;
      return sorted;
    } else if (argument == "--verbose") {
      sorted.line.verbose = true;
    } else if (const Status taken = takeValue(arguments, i, sorted.line); !taken.ok()) {
      return taken;
    }
  }
  return sorted;
}

// The first rule broken, in the order given.
Status firstBroken(std::initializer_list<std::pair<bool, std::string>> rules) {
  for (const auto& [broken, text] : rules) {
    if (broken) return Status::failed(text);
  }
  return Status::done();
}

// One positional argument at most: the tree, or the subject file.
Status noSecondArgument(const std::vector<std::string>& positional) {
  if (positional.size() < 2) return Status::done();
  return Status::failed("unexpected argument " + positional[1]);
}

Status checkInspectOptions(const SortedArguments& sorted) {
  const CommandLine& line = sorted.line;
  if (!line.source.empty() || !line.plot.empty() || !line.report.empty() || !line.unit.empty() ||
      !line.session.empty() || !line.subject.empty()) {
    return Status::failed(
        "--inspect takes no tree and no --source, --plot, --report, --unit, --session or "
        "--subject");
  }
  return noSecondArgument(sorted.positional);
}

Status checkTreeOptions(const SortedArguments& sorted) {
  const CommandLine& line = sorted.line;
  const bool plot = !line.plot.empty(), report = !line.report.empty();
  const bool unit = !line.unit.empty(), session = !line.session.empty();
  const bool subject = !line.subject.empty();
  const Status checked = firstBroken(
      {{line.verbose, "--verbose needs --inspect"},
       {!line.source.empty() && plot, "--source and --plot cannot be combined"},
       {report && plot, "--report and --plot cannot be combined"},
       {unit && !plot && !report, "--unit needs --plot or --report"},
       {unit && !parseUnit(line.unit), "--unit takes V, mV, uV or auto, not \"" + line.unit + "\""},
       {session && !plot, "--session needs --plot"},
       {subject && !plot, "--subject needs --plot"},
       {subject && session, "--subject and --session cannot be combined"},
       {subject && !subjectNumber(line.subject),
        "--subject needs a subject number from 1 to 2147483648, not \"" + line.subject + "\""},
       {sorted.positional.empty(), "no tree given"}});
  return checked.ok() ? noSecondArgument(sorted.positional) : checked;
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

Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
  Result<SortedArguments> sorted = sortArguments(arguments);
  if (!sorted.ok()) return sorted.status();
  CommandLine& line = sorted->line;
  if (line.mode == Mode::kHelp || line.mode == Mode::kVersion) return std::move(line);
  const std::vector<std::string>& positional = sorted->positional;
  if (!line.inspectFile.empty()) {
    const Status checked = checkInspectOptions(*sorted);
    if (!checked.ok()) return checked;
    line.mode = Mode::kInspect;
    if (!positional.empty()) line.subjectFile = positional[0];
    return std::move(line);
  }
  const Status checked = checkTreeOptions(*sorted);
  if (!checked.ok()) return checked;
  line.tree = positional[0];
  line.mode = !line.plot.empty()     ? Mode::kPlot
              : !line.report.empty() ? Mode::kReport
                                     : Mode::kCheck;
  return std::move(line);
}

int runNpxcheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const Result<CommandLine> parsed = parseCommandLine(arguments);
  const Status usable = parsed.ok() ? requireInputs(*parsed) : parsed.status();
  if (!usable.ok()) {
    printError(err, usable.reason());
    err << "Try 'npxcheck --help' for more information.\n";
    return kExitUsage;
  }
  const CommandLine& line = *parsed;
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
