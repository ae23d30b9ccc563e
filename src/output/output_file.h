#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace erp2npx {

// A file that appears under its final name only once it is complete: it is
// written under a temporary name beside it and renamed into place, so an
// interrupted run never leaves a truncated file that looks finished.
struct OutputFile {
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  ~OutputFile();  // an uncommitted file is removed

  std::string finalPath;
  std::string tempPath;
  int fd = -1;
};

// Suffix of the temporary name; a leftover of a killed run carries it.
constexpr const char* kPartialSuffix = ".partial";

// Prepares the file for writing. Returns 0, or the error number that creating
// the file under its final name would give (a directory or a read-only file
// in the way, a directory without write permission).
int createOutputFile(const std::string& finalPath, OutputFile& file);

// Writes all bytes; on failure sets error to the reason.
bool writeAll(OutputFile& file, const void* data, size_t size, std::string& error);

// Writes all bytes at the given offset from the start of the file.
bool writeAt(OutputFile& file, uint64_t offset, const void* data, size_t size, std::string& error);

// Closes the file and renames it into place; on failure removes it.
bool commitOutputFile(OutputFile& file, std::string& error);

// Closes and removes the temporary file.
void abandonOutputFile(OutputFile& file);

// Makes an interrupt (Ctrl-C, a termination request) remove the temporary file
// being written before the process ends as it would have.
void removePartialFileOnInterrupt();

// Creates a directory unless it exists; false with the reason when the path
// is not a usable directory afterwards.
bool ensureDirectory(const std::string& path, std::string& error);

}  // namespace erp2npx
