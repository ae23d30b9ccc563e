#pragma once

// Helpers shared by the fuzz targets.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace erp2npx::fuzz {

// Stops the run with the broken invariant, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string& what, const std::string& context = {}) {
  std::fprintf(stderr, "invariant broken: %s\n%s", what.c_str(), context.c_str());
  std::abort();
}

// A fresh folder for the files of the runs, removed when the process ends.
// In memory when the system offers it: the targets create and remove many
// small files per run, which a disk makes several times slower.
inline const std::string& scratchFolder(const char* name) {
  static std::string folder;
  if (!folder.empty()) return folder;
  std::error_code error;
  const std::filesystem::path memory = "/dev/shm";
  const std::filesystem::path base = std::filesystem::is_directory(memory, error)
                                         ? memory
                                         : std::filesystem::temp_directory_path();
  std::string pattern = (base / (std::string(name) + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a folder in " + base.string());
  folder = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

}  // namespace erp2npx::fuzz
