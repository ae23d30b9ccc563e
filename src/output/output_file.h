#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"

namespace erp2npx {

// Suffix of the temporary name; a leftover of a killed run carries it.
constexpr const char* kPartialSuffix = ".partial";

// A file that appears under its final name only once it is complete: it is
// written under a temporary name beside it and renamed into place, so an
// interrupted run never leaves a truncated file that looks finished. Its
// descriptor may be put down between writes and is taken up again by the
// next one, so that many files can be in progress with few descriptors.
class OutputFile {
 public:
  OutputFile() = default;
  explicit OutputFile(std::string finalPath) : finalPath_(std::move(finalPath)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  ~OutputFile();  // an uncommitted file is removed

  // Creates the temporary file; fails as creating the file under its final
  // name would (a directory or a read-only file in the way, a directory
  // without write permission), with the error number a fixed message quotes.
  Status create();

  // Appends all bytes.
  Status write(const void* data, size_t size);
  // Reserves the file's final size, so that writes in any order only fill
  // it; where the file system cannot, or only by writing every page (in
  // memory), the writes reserve as they go.
  Status reserve(uint64_t size);
  // Closes the descriptor; the next write opens the file again.
  void putDown();
  // Opens the created file again after putDown.
  Status takeUp();
  // For writes issued elsewhere while the file holds it; -1 when it does not.
  int descriptor() const { return fd_; }

  // Closes the file and renames it into place; on failure removes it.
  Status commit();
  // Closes and removes the temporary file.
  void abandon();

 private:
  std::string finalPath_;
  std::string tempPath_;  // while created and not committed
  int fd_ = -1;
  size_t registration_ = 0;  // among the files in progress, 0 for none
};

// Writes all bytes at offset of fd, repeating a write that stores only part
// of them, as a full disk or a signal may make it do.
Status writeAllAt(int fd, uint64_t offset, const void* data, size_t size);

// Which directory a path leads to, links followed.
struct DirectoryIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator<(const DirectoryIdentity& other) const {
    return device != other.device ? device < other.device : inode < other.inode;
  }
};

// Creates a directory unless it exists; fails with the reason when the path
// is not a usable directory afterwards. identity, when given, receives which
// directory it is.
Status ensureDirectory(const std::string& path, DirectoryIdentity* identity = nullptr);

// Removes an earlier file at path that this process may replace (a regular
// file it may write), as a session that fails removes what an earlier run
// left under its names. True when one was removed; a file it may not
// replace, or nothing at all, is left as it is.
Result<bool> removeEarlierFile(const std::string& path);

// The names in directory of the files of the given session (0-based
// numbers) under any matrix size, as an earlier run may have left them,
// sorted; fails when the directory cannot be read.
Result<std::vector<std::string>> sessionFilesIn(const std::string& directory, int32_t subject,
                                                int32_t session);

// An advisory lock on the working directory, held while it lives: two
// conversions in one folder would otherwise replace each other's files in
// progress. Nothing is added to the directory.
class WorkingDirectoryLock {
 public:
  WorkingDirectoryLock();
  WorkingDirectoryLock(const WorkingDirectoryLock&) = delete;
  WorkingDirectoryLock& operator=(const WorkingDirectoryLock&) = delete;
  ~WorkingDirectoryLock();

  // False when another process holds it. Where locks are not to be had
  // (the folder cannot be opened, the file system has none), the run goes
  // on as before.
  bool held() const { return !heldElsewhere_; }

 private:
  int fd_ = -1;
  bool heldElsewhere_ = false;
};

}  // namespace erp2npx
