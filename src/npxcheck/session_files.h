#pragma once

#include <string>
#include <vector>

namespace erp2npx::npxcheck {

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
  // Directories and entries that could not be scanned, one line each naming
  // the path and the reason: what they hold is unknown.
  std::vector<std::string> problems;
};

// Scans every directory below root, following links to directories as the
// converter writes through them.
TreeFiles scanTree(const std::string& root);

// Path of a tree file given relative to the root.
std::string treePath(const TreeFiles& tree, const std::string& relative);

// The last component of a relative stem: "Subj01_01_06_06".
std::string stemName(const std::string& relativeStem);

}  // namespace erp2npx::npxcheck
