#pragma once

// Helpers shared by the fuzz targets.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "common/config.h"
#include "output/binary_epoch_file.h"

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

// A binary epoch file read through the converter's own decoder. Stops the run
// unless the file holds whole epochs and the very header the converter writes
// for them.
struct EpochFile {
  EpochFileHeader header;
  std::vector<float> values;
};
inline EpochFile readEpochFile(const std::string& path, const std::string& name) {
  EpochFile file;
  EpochFileReader reader;
  if (!reader.open(path).ok()) fail(name + ": no binary epoch file");
  file.header = reader.header();
  const uint64_t size = reader.fileSize();
  const uint64_t offset = dataOffset(file.header);
  if (size < offset || (size - offset) % (kEpochValues * sizeof(float)) != 0) {
    fail(name + ": size " + std::to_string(size) + " is no whole number of epochs");
  }
  const EpochFileHeader expected = expectedEpochFileHeader(
      channelList(), static_cast<int32_t>((size - offset) / (kChannelCount * sizeof(float))));
  const EpochFileHeader& h = file.header;
  if (std::tie(h.magic, h.version, h.headerLength, h.rate, h.positions, h.channelCount, h.reserved,
               h.channelNames, h.namesTerminated) !=
      std::tie(expected.magic, expected.version, expected.headerLength, expected.rate,
               expected.positions, expected.channelCount, expected.reserved, expected.channelNames,
               expected.namesTerminated)) {
    fail(name + ": header counts " + std::to_string(h.positions) + " positions in " +
         std::to_string(size) + " bytes, or its fixed fields are not the converter's");
  }
  file.values.resize(static_cast<size_t>((size - offset) / sizeof(float)));
  if (!reader.readValues(0, file.values.size(), file.values.data())) fail(name + ": unreadable");
  return file;
}

}  // namespace erp2npx::fuzz
