#pragma once

#include <string>

#include "npxcheck/check_report.h"
#include "npxcheck/erp_plot.h"
#include "npxcheck/session_files.h"
#include "npxcheck/source_check.h"

namespace erp2npx::npxcheck {

// The check of a tree and, with a source, its proof against it.
struct CheckResult {
  CheckReport report;
  bool proven = false;
  SourceSummary source;
};

// An empty sourcePath checks the tree alone.
CheckResult checkTreeAndSource(const TreeFiles& tree, const std::string& sourcePath);

struct HtmlReport {
  CheckResult check;
  TreeAveraging averaging;
  std::string page;
};

// Checks the tree and writes one page about it: the conversion's counts, the
// check's result, the subjects, the average ERPs of all sessions and of each
// subject, and every session's trials and spelled text. The page is XHTML
// with inline CSS and SVG: it names no other file and runs no script.
HtmlReport buildHtmlReport(const TreeFiles& tree, const std::string& sourcePath, Unit unit);

}  // namespace erp2npx::npxcheck
