#include "check/session_files.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>

#include "output/output_file.h"

namespace erp2npx::check {

namespace fs = std::filesystem;

std::optional<SessionName> parseSessionName(const std::string& stem) {
  static const std::regex kPattern(R"(Subj(\d{2,9})_(\d{2,9})_(\d{2,9})_(\d{2,9}))");
  std::smatch match;
  if (!std::regex_match(stem, match, kPattern)) return std::nullopt;
  return SessionName{std::stoll(match[1]), std::stoll(match[2]), std::stoll(match[3]),
                     std::stoll(match[4])};
}

std::string sessionStem(int64_t subject, int64_t session, const SessionLayout& layout) {
  char name[128];
  std::snprintf(name, sizeof name, "Subj%02" PRId64 "_%02" PRId64 "_%02" PRId32 "_%02" PRId32,
                subject + 1, session + 1, layout.rows, layout.columns);
  return name;
}

std::string databaseDirectoryName(int64_t database) {
  char name[64];
  std::snprintf(name, sizeof name, "DB_%02" PRId64, database);
  return name;
}

std::string subjectDirectoryName(int64_t subject) {
  char name[64];
  std::snprintf(name, sizeof name, "Subject_%02" PRId64, subject + 1);
  return name;
}

TreeFiles scanTree(const std::string& root) {
  TreeFiles tree;
  tree.root = root;
  std::map<std::string, SessionFiles> sessions;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    const fs::path relative = fs::relative(it->path(), root, error);
    const std::string name = relative.filename().string();
    const std::string extension = relative.extension().string();
    if (extension == kPartialSuffix) {
      tree.partials.push_back(relative.generic_string());
    } else if (extension == ".bin" || extension == ".npx") {
      const std::string stem = (relative.parent_path() / relative.stem()).generic_string();
      SessionFiles& files = sessions[stem];
      files.relativeStem = stem;
      (extension == ".bin" ? files.hasBin : files.hasNpx) = true;
    }
  }
  for (auto& entry : sessions) tree.sessions.push_back(std::move(entry.second));
  std::sort(tree.partials.begin(), tree.partials.end());
  return tree;
}

std::string treePath(const TreeFiles& tree, const std::string& relative) {
  return (fs::path(tree.root) / relative).string();
}

std::string stemName(const std::string& relativeStem) {
  return fs::path(relativeStem).filename().string();
}

}  // namespace erp2npx::check
