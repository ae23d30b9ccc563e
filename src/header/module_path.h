#pragma once

#include <string>

namespace erp2npx {

// A path split into its parts, to build the path of a file that lies beside
// the running executable.
struct ModulePath {
  std::string path;
  std::string drive;  // always empty here: the platform has no drive letters
  std::string dir;    // with its trailing separator
  std::string fname;  // without extension
  std::string ext;    // with its leading dot
};

// The running executable's own path, split.
ModulePath moduleOfExecutable();

namespace ModulePathOps {
void assign(ModulePath& modulePath, const std::string& fullPath);
// Keeps the directory; takes name and extension from fileName.
void replaceFileName(ModulePath& modulePath, const std::string& fileName);
}  // namespace ModulePathOps

}  // namespace erp2npx
