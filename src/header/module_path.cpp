#include "header/module_path.h"

#include <unistd.h>

#include <vector>

namespace erp2npx {

namespace {

struct PathParts {
  std::string dir;
  std::string fname;
  std::string ext;
};

PathParts splitPath(const std::string& path) {
  PathParts parts;
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  parts.dir = path.substr(0, nameStart);
  const std::string name = path.substr(nameStart);
  const size_t dot = name.rfind('.');
  parts.fname = dot == std::string::npos ? name : name.substr(0, dot);
  parts.ext = dot == std::string::npos ? std::string() : name.substr(dot);
  return parts;
}

std::string executablePath() {
  // The link target can be longer than any fixed buffer; grow until it fits.
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

namespace ModulePathOps {

void assign(ModulePath& modulePath, const std::string& fullPath) {
  const PathParts parts = splitPath(fullPath);
  modulePath.path = fullPath;
  modulePath.drive.clear();
  modulePath.dir = parts.dir;
  modulePath.fname = parts.fname;
  modulePath.ext = parts.ext;
}

void replaceFileName(ModulePath& modulePath, const std::string& fileName) {
  const PathParts parts = splitPath(fileName);
  modulePath.fname = parts.fname;
  modulePath.ext = parts.ext;
  modulePath.path = modulePath.drive + modulePath.dir + modulePath.fname + modulePath.ext;
}

}  // namespace ModulePathOps

ModulePath moduleOfExecutable() {
  ModulePath modulePath;
  ModulePathOps::assign(modulePath, executablePath());
  return modulePath;
}

}  // namespace erp2npx
