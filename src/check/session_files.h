#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "input/stimulus_table.h"

namespace erp2npx::check {

// The numbers in a session's file name, as written: subject and session
// counted from 1, then the speller matrix size.
struct SessionName {
  int64_t subject = 0;
  int64_t session = 0;
  int64_t rows = 0;
  int64_t columns = 0;
};

// "Subj01_02_06_06" gives 1, 2, 6, 6; anything else nothing.
std::optional<SessionName> parseSessionName(const std::string& stem);

// Names the converter gives, from the dataset's 0-based numbers.
std::string sessionStem(int64_t subject, int64_t session, const SessionLayout& layout);
std::string databaseDirectoryName(int64_t database);
std::string subjectDirectoryName(int64_t subject);

// The ".bin" and ".npx" of one session below the tree; paths are relative to
// the tree's root, without an extension.
struct SessionFiles {
  std::string relativeStem;  // "DB_00/Subject_01/Subj01_01_06_06"
  bool hasBin = false;
  bool hasNpx = false;
};

struct TreeFiles {
  std::string root;
  std::vector<SessionFiles> sessions;  // sorted by relativeStem
  std::vector<std::string> partials;   // leftovers of an interrupted run
};

TreeFiles scanTree(const std::string& root);

// Path of a tree file given relative to the root.
std::string treePath(const TreeFiles& tree, const std::string& relative);

// The last component of a relative stem: "Subj01_01_06_06".
std::string stemName(const std::string& relativeStem);

}  // namespace erp2npx::check
