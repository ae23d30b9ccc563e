#include "header/beside_executable.h"

#include <unistd.h>

#include <vector>

namespace erp2npx {

std::string linkTarget(const std::string& link) {
  // The target can be longer than any fixed buffer; grow until it fits.
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// "/opt/bin/" of "/opt/bin/erp2npx", "" of "erp2npx".
std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

}  // namespace

std::string fileBesideExecutable(const std::string& fileName) {
  // Looked up once for the run: the executable does not move.
  static const std::string directory = directoryOf(linkTarget("/proc/self/exe"));
  return directory + fileName.substr(fileName.rfind('/') + 1);
}

}  // namespace erp2npx
