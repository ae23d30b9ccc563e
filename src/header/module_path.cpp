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

ModulePath::ModulePath() { assign(executablePath()); }

void ModulePath::assign(const std::string& fullPath) {
  const PathParts parts = splitPath(fullPath);
  path_ = fullPath;
  drive_.clear();
  dir_ = parts.dir;
  fname_ = parts.fname;
  ext_ = parts.ext;
}

void ModulePath::replaceFileName(const std::string& fileName) {
  const PathParts parts = splitPath(fileName);
  fname_ = parts.fname;
  ext_ = parts.ext;
  path_ = drive_ + dir_ + fname_ + ext_;
}

}  // namespace erp2npx
