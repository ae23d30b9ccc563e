#include "npxcheck/session_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#include "output/output_file.h"

namespace erp2npx::npxcheck {

namespace {

namespace fs = std::filesystem;

using DirectoryId = std::pair<dev_t, ino_t>;

// One directory being walked: its entries, read whole and sorted, so that
// the walk holds no directory open and its order does not depend on the
// file system.
struct Level {
  std::vector<std::string> names;
  size_t next = 0;
  std::string relative;  // "" for the root
  DirectoryId id;
};

std::string shownPath(const std::string& relative) {
  return "\"" + (relative.empty() ? std::string(".") : relative) + "\"";
}

// ".bin" of "Subj01_01_06_06.bin"; a leading dot starts no extension.
std::string extensionOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

// Walks the tree depth first. Everything that keeps it from seeing a
// directory's contents is a problem: a tree that cannot be read whole cannot
// be called sound.
struct TreeScan {
  TreeFiles& tree;
  std::map<std::string, SessionFiles> sessions;
  std::map<DirectoryId, std::string> scanned;
  std::vector<Level> levels;

  std::string fullPath(const std::string& relative) const {
    return relative.empty() ? tree.root : tree.root + "/" + relative;
  }

  void problem(const std::string& relative, const std::string& text) {
    tree.problems.push_back((relative.empty() ? tree.root : relative) + ": " + text);
  }

  void enter(const std::string& relative, const DirectoryId& id) {
    DIR* dir = opendir(fullPath(relative).c_str());
    if (dir == nullptr) {
      problem(relative, std::string("cannot be read: ") + std::strerror(errno));
      return;
    }
    Level level{{}, 0, relative, id};
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir);
      if (entry == nullptr) break;
      const std::string name = entry->d_name;
      if (name != "." && name != "..") level.names.push_back(name);
    }
    if (errno != 0) {
      problem(relative, std::string("cannot be read to its end: ") + std::strerror(errno));
    }
    closedir(dir);
    std::sort(level.names.begin(), level.names.end());
    scanned[id] = relative;
    levels.push_back(std::move(level));
  }

  void directory(const std::string& relative, const DirectoryId& id) {
    for (const Level& level : levels) {
      if (level.id == id) {
        problem(relative, "is a link back to " + shownPath(level.relative) + ", a directory loop");
        return;
      }
    }
    const auto seen = scanned.find(id);
    if (seen != scanned.end()) {
      problem(relative, "leads to the directory already scanned as " + shownPath(seen->second));
      return;
    }
    enter(relative, id);
  }

  void file(const std::string& relative, const std::string& name, bool regular) {
    const std::string extension = extensionOf(name);
    if (extension != kPartialSuffix && extension != ".bin" && extension != ".npx") return;
    if (!regular) {
      problem(relative, "is not a regular file");
    } else if (extension == kPartialSuffix) {
      tree.partials.push_back(relative);
    } else {
      const std::string stem = relative.substr(0, relative.size() - extension.size());
      SessionFiles& files = sessions[stem];
      files.relativeStem = stem;
      (extension == ".bin" ? files.hasBin : files.hasNpx) = true;
    }
  }

  void run() {
    struct stat info;
    if (stat(tree.root.c_str(), &info) != 0) {
      problem("", std::string("cannot be examined: ") + std::strerror(errno));
      return;
    }
    enter("", DirectoryId{info.st_dev, info.st_ino});
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next == level.names.size()) {
        levels.pop_back();
        continue;
      }
      const std::string name = level.names[level.next++];
      const std::string relative = level.relative.empty() ? name : level.relative + "/" + name;
      // stat, not lstat: links are followed as the converter follows them.
      if (stat(fullPath(relative).c_str(), &info) != 0) {
        problem(relative, std::string("cannot be examined: ") + std::strerror(errno));
      } else if (S_ISDIR(info.st_mode)) {
        directory(relative, DirectoryId{info.st_dev, info.st_ino});
      } else {
        file(relative, name, S_ISREG(info.st_mode));
      }
    }
  }
};

}  // namespace

TreeFiles scanTree(const std::string& root) {
  TreeFiles tree;
  tree.root = root;
  TreeScan scan{tree, {}, {}, {}};
  scan.run();
  for (auto& entry : scan.sessions) tree.sessions.push_back(std::move(entry.second));
  std::sort(tree.partials.begin(), tree.partials.end());
  return tree;
}

std::string treePath(const TreeFiles& tree, const std::string& relative) {
  return (fs::path(tree.root) / relative).string();
}

std::string stemName(const std::string& relativeStem) {
  return fs::path(relativeStem).filename().string();
}

}  // namespace erp2npx::npxcheck
