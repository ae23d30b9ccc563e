#pragma once

#include <string>

namespace erp2npx {

// The path of a file of this name in the directory of the running
// executable; a directory part of the name is ignored. Links are resolved,
// so files beside the real executable are found however it was started.
std::string fileBesideExecutable(const std::string& fileName);

// What the symbolic link at link names, whatever its length; empty when it
// cannot be read.
std::string linkTarget(const std::string& link);

}  // namespace erp2npx
