#pragma once

#include <cstdint>
#include <string>

#include "npxcheck/check_report.h"
#include "npxcheck/session_files.h"

namespace erp2npx::npxcheck {

struct SourceSummary {
  uint64_t stimuli = 0;    // in the source
  uint64_t accounted = 0;  // found, bit-equal and with matching events, in their epoch
};

// Proves the tree against the input it was converted from: every stimulus in
// its epoch of its session's file, samples bit-equal to the source narrowed to
// float32, codes, labels and trials as the header's events. Reads the source
// and each file session by session, in blocks.
SourceSummary checkAgainstSource(const TreeFiles& tree, const std::string& sourcePath,
                                 CheckReport& report);

// "source: S stimuli, A accounted for"
std::string sourceSummaryLine(const SourceSummary& summary);

}  // namespace erp2npx::npxcheck
