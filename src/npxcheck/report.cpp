#include "npxcheck/report.h"

#include <filesystem>
#include <set>

#include "header/npx_reader.h"
#include "npxcheck/tree_check.h"
#include "output/binary_epoch_file.h"
#include "output/output_names.h"

namespace erp2npx::npxcheck {

namespace {

// Problems the page lists; the command line lists them all.
constexpr size_t kListedProblems = 1000;

// What the page says about one session, from its two files.
struct SessionRow {
  std::string directory;  // "DB_00/Subject_01"
  std::string name;       // "Subj01_01_06_06"
  std::string matrix;     // "6 x 6"
  uint64_t trials = 0;
  uint64_t epochs = 0;
  uint64_t targets = 0;
  uint64_t standards = 0;
  std::string spelled;
};

// The encoder symbol at a 1-based "Row%d-Col%d" of the session's matrix.
const NpxFile::Symbol* encoderSymbolAt(const NpxFile& npx, const SessionStem& stem,
                                       const std::string& name) {
  const size_t dash = name.find("-Col");
  if (dash == std::string::npos) return nullptr;
  const std::optional<int64_t> row = parseWholeNumber(name.substr(3, dash - 3));
  const std::optional<int64_t> column = parseWholeNumber(name.substr(dash + 4));
  if (!row || !column) return nullptr;
  for (const NpxFile::Symbol& symbol : npx.encoderSymbols) {
    if (symbol.rowCode == *row - 1 && symbol.columnCode == *column - 1 + stem.layout.rows) {
      return &symbol;
    }
  }
  return nullptr;
}

// A trial target class's name as the symbol it spells: 6-by-6 names are the
// symbols; "Row%d-Col%d" is looked up among the header's encoder symbols,
// and shown in brackets where none holds it.
std::string spelledSymbol(const std::string& name, const NpxFile& npx,
                          const std::optional<SessionStem>& stem) {
  if (name.empty()) return "?";
  if (stem && name.size() > 3 && name.compare(0, 3, "Row") == 0) {
    if (const NpxFile::Symbol* symbol = encoderSymbolAt(npx, *stem, name)) return symbol->name;
  }
  return name.size() == 1 ? name : "[" + name + "]";
}

SessionRow sessionRow(const TreeFiles& tree, const SessionFiles& files, const NpxFile& npx) {
  SessionRow row;
  const std::filesystem::path stem(files.relativeStem);
  row.directory = stem.parent_path().string();
  row.name = stem.filename().string();
  const std::optional<SessionStem> parsed = parseSessionStem(row.name);
  row.matrix =
      parsed ? std::to_string(parsed->layout.rows) + " x " + std::to_string(parsed->layout.columns)
             : "?";
  // Only a count the file holds sizes the map.
  EpochFileReader reader;
  int64_t positions = 0;
  if (reader.open(treePath(tree, files.relativeStem + ".bin")).ok() &&
      reader.fileSize() == announcedFileSize(reader.header())) {
    positions = reader.header().positions;
  }
  const SessionEventMap map = mapSessionEvents(npx, positions);
  row.epochs = map.epochs.size();
  for (const EpochMarks& marks : map.epochs) {
    row.targets += marks.targetMarks > 0 ? 1 : 0;
    row.standards += marks.standardMarks > 0 ? 1 : 0;
  }
  row.trials = map.trials.size();
  for (const TrialMarks& trial : map.trials) {
    row.spelled += spelledSymbol(trial.hasTarget ? trial.targetName : "", npx, parsed);
  }
  return row;
}

std::string cell(const std::string& text, const char* tag = "td") {
  return std::string("<") + tag + ">" + xmlText(text) + "</" + tag + ">";
}

std::string numberCell(uint64_t value) {
  return "<td class=\"n\">" + std::to_string(value) + "</td>";
}

constexpr const char* kStyle =
    "body{font-family:'DejaVu Sans',Arial,Helvetica,sans-serif;margin:24px;color:#222;"
    "background:#fff}"
    "h1{font-size:24px}h2{font-size:19px;margin-top:32px;border-bottom:1px solid #ccc}"
    "table{border-collapse:collapse;margin:8px 0}"
    "td,th{border:1px solid #ccc;padding:3px 8px;text-align:left;vertical-align:top}"
    "th{background:#f0f0f0}td.n{text-align:right}"
    ".ok{color:#176b17;font-weight:bold}.bad{color:#a00000;font-weight:bold}"
    "ul.problems li{font-family:monospace}"
    "svg{display:block;max-width:100%;height:auto;margin:8px 0 24px 0}";

// What the page counts and lists, gathered with one header read at a time:
// each session's row, and each subject's details from the first session of
// its subject directory.
struct TreeContents {
  std::vector<SessionRow> rows;
  std::vector<std::pair<std::string, NpxFile>> subjects;
  std::set<std::string> databases;
  SessionRow total;
};

TreeContents readContents(const TreeFiles& tree) {
  TreeContents contents;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx) continue;
    NpxFile npx = readNpxFile(treePath(tree, files.relativeStem + ".npx"));
    contents.rows.push_back(sessionRow(tree, files, npx));
    const SessionRow& row = contents.rows.back();
    contents.total.epochs += row.epochs;
    contents.total.targets += row.targets;
    contents.total.standards += row.standards;
    contents.total.trials += row.trials;
    contents.databases.insert(std::filesystem::path(row.directory).parent_path().string());
    if (contents.subjects.empty() || contents.subjects.back().first != row.directory) {
      npx.classes.clear();
      contents.subjects.emplace_back(row.directory, std::move(npx));
    }
  }
  return contents;
}

std::string pageStart(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"UTF-8\"/>\n<title>" +
         xmlText(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n" + "<h1>" +
         xmlText(title) + "</h1>\n";
}

std::string conversionSection(const TreeContents& contents) {
  std::string page = "<h2 id=\"summary\">Conversion</h2>\n<table class=\"summary\">\n";
  const SessionRow& total = contents.total;
  const std::pair<const char*, uint64_t> counts[] = {{"databases", contents.databases.size()},
                                                     {"subjects", contents.subjects.size()},
                                                     {"sessions", contents.rows.size()},
                                                     {"trials", total.trials},
                                                     {"epochs", total.epochs},
                                                     {"targets", total.targets},
                                                     {"standards", total.standards}};
  for (const auto& [what, value] : counts) {
    page += "<tr>" + cell(what, "th") + numberCell(value) + "</tr>\n";
  }
  return page + "</table>\n";
}

std::string checkSection(const CheckResult& result, const std::string& sourcePath) {
  const CheckReport& check = result.report;
  std::string page = "<h2 id=\"check\">Check</h2>\n";
  page += std::string("<p class=\"") + (check.problems.empty() ? "ok" : "bad") + "\">" +
          (check.problems.empty() ? "Sound: " : "Problems found: ") + xmlText(summaryLine(check)) +
          "</p>\n";
  if (result.proven) {
    page += "<p>Against " + xmlText(sourcePath) + ": " + xmlText(sourceSummaryLine(result.source)) +
            "</p>\n";
  }
  if (check.problems.empty()) return page;
  page += "<ul class=\"problems\">\n";
  for (size_t i = 0; i < check.problems.size() && i < kListedProblems; ++i) {
    page += "<li>" + xmlText(check.problems[i]) + "</li>\n";
  }
  if (check.problems.size() > kListedProblems) {
    page += "<li>... and " + std::to_string(check.problems.size() - kListedProblems) +
            " more: npxcheck lists them all</li>\n";
  }
  return page + "</ul>\n";
}

std::string subjectSection(const std::vector<std::pair<std::string, NpxFile>>& subjects) {
  std::string page = "<h2 id=\"subjects\">Subjects</h2>\n<table class=\"subjects\">\n<tr>";
  const char* const details[] = {"Age", "Sex", "Condition", "Study"};
  page += cell("subject", "th");
  for (const char* name : details) page += cell(name, "th");
  page += "</tr>\n";
  for (const auto& [directory, npx] : subjects) {
    page += "<tr>" + cell(directory);
    for (const char* name : details) {
      std::string value = "-";
      for (const auto& [attribute, text] : npx.subject) {
        if (attribute == name) value = text;
      }
      page += cell(value);
    }
    page += "</tr>\n";
  }
  return page + "</table>\n";
}

// The grand average gets its title here: the page shows it beside the
// subjects' own.
std::string erpSection(TreeAveraging& averaging, const TreeFiles& tree) {
  std::string page = "<h2 id=\"erp\">Average ERPs</h2>\n";
  if (!averaging.leftOut.empty()) {
    page += "<p class=\"bad\">Left out of the averages:</p>\n<ul class=\"left-out\">\n";
    for (const std::string& reason : averaging.leftOut) {
      page += "<li>" + xmlText(reason) + "</li>\n";
    }
    page += "</ul>\n";
  }
  if (!averaging.averages.ok()) {
    return page + "<p class=\"bad\">No averages: " + xmlText(averaging.averages.reason()) +
           "</p>\n";
  }
  if (!tree.problems.empty()) {
    page +=
        "<p class=\"bad\">The tree could not be read whole: the averages hold the sessions "
        "that could be read.</p>\n";
  }
  TreeAverages& averages = *averaging.averages;
  averages.all.title =
      "Grand average of " + countOf(averages.all.sessions.size(), "session", "sessions");
  page += renderErpSvgElement(averages.all);
  for (const ErpAverages& subject : averages.subjects) {
    if (subject.targetEpochs + subject.standardEpochs == 0) continue;
    page += renderErpSvgElement(subject);
  }
  return page;
}

std::string sessionSection(const std::vector<SessionRow>& rows) {
  std::string page = "<h2 id=\"sessions\">Sessions</h2>\n<table class=\"sessions\">\n<tr>";
  for (const char* head :
       {"directory", "session", "matrix", "trials", "epochs", "targets", "spelled text"}) {
    page += cell(head, "th");
  }
  page += "</tr>\n";
  for (const SessionRow& row : rows) {
    page += "<tr>" + cell(row.directory) + cell(row.name) + cell(row.matrix) +
            numberCell(row.trials) + numberCell(row.epochs) + numberCell(row.targets) +
            cell(row.spelled) + "</tr>\n";
  }
  return page + "</table>\n";
}

}  // namespace

CheckResult checkTreeAndSource(const TreeFiles& tree, const std::string& sourcePath) {
  CheckResult result;
  result.report = checkTree(tree);
  if (!sourcePath.empty()) {
    result.source = checkAgainstSource(tree, sourcePath, result.report);
    result.proven = true;
  }
  return result;
}

HtmlReport buildHtmlReport(const TreeFiles& tree, const std::string& sourcePath, Unit unit) {
  HtmlReport report{checkTreeAndSource(tree, sourcePath), averageTreeBySubject(tree, unit), {}};
  const TreeContents contents = readContents(tree);
  report.page = pageStart("Conversion report for " + tree.root) + conversionSection(contents) +
                checkSection(report.check, sourcePath) + subjectSection(contents.subjects) +
                erpSection(report.averaging, tree) + sessionSection(contents.rows) +
                "</body>\n</html>\n";
  return report;
}

}  // namespace erp2npx::npxcheck
