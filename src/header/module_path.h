#pragma once

#include <string>

namespace erp2npx {

// A path split into its parts, to build the path of a file that lies beside
// the running executable.
class ModulePath {
 public:
  // The running executable's own path; links are resolved, so files beside
  // the real executable are found however it was started.
  ModulePath();
  explicit ModulePath(const std::string& fullPath) { assign(fullPath); }

  void assign(const std::string& fullPath);
  // Keeps the directory; takes name and extension from fileName.
  void replaceFileName(const std::string& fileName);

  const std::string& path() const { return path_; }
  const std::string& drive() const { return drive_; }
  const std::string& dir() const { return dir_; }
  const std::string& fname() const { return fname_; }
  const std::string& ext() const { return ext_; }

 private:
  std::string path_;
  std::string drive_;  // always empty here: the platform has no drive letters
  std::string dir_;    // with its trailing separator
  std::string fname_;  // without extension
  std::string ext_;    // with its leading dot
};

}  // namespace erp2npx
