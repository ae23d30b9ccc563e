#include "output/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/messages.h"
#include "output/files_in_progress.h"
#include "output/output_names.h"

namespace erp2npx {

namespace {

Status statusOf(int error) {
  return error == 0 ? Status::done() : Status::failed(std::strerror(error), error);
}

// The error number that creating a file at path would give for what stands
// there now, 0 when nothing is in the way.
int obstacleAt(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return 0;
  if (S_ISDIR(status.st_mode)) return EISDIR;
  // Opening without truncation tells whether the existing file may be
  // replaced, and leaves it intact until the new one is complete.
  const int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) return errno;
  close(probe);
  return 0;
}

// Whether name is that of a binary epoch file or header of the session.
bool isSessionFile(const std::string& name, int32_t subject, int32_t session) {
  if (name.size() < 4) return false;
  const std::string extension = name.substr(name.size() - 4);
  if (extension != ".bin" && extension != ".npx") return false;
  const std::optional<SessionStem> stem = parseSessionStem(name.substr(0, name.size() - 4));
  return stem && stem->subject == subject && stem->session == session;
}

}  // namespace

OutputFile::OutputFile(OutputFile&& other) noexcept
    : finalPath_(std::move(other.finalPath_)),
      tempPath_(std::exchange(other.tempPath_, std::string())),
      fd_(std::exchange(other.fd_, -1)),
      registration_(std::exchange(other.registration_, 0)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    abandon();
    finalPath_ = std::move(other.finalPath_);
    tempPath_ = std::exchange(other.tempPath_, std::string());
    fd_ = std::exchange(other.fd_, -1);
    registration_ = std::exchange(other.registration_, 0);
  }
  return *this;
}

OutputFile::~OutputFile() { abandon(); }

Status OutputFile::create() {
  abandon();
  if (const int obstacle = obstacleAt(finalPath_)) return statusOf(obstacle);
  const std::string tempPath = finalPath_ + kPartialSuffix;
  // A leftover of an interrupted run is replaced, never followed: whatever
  // stands under the temporary name (a link included) is removed first.
  if (unlink(tempPath.c_str()) != 0 && errno != ENOENT) return statusOf(errno);
  // Registered before it exists, so no interrupt can leave it behind.
  registration_ = registerFileInProgress(tempPath);
  const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int failure = errno;
    withdrawFileInProgress(std::exchange(registration_, 0));
    return statusOf(failure);
  }
  tempPath_ = tempPath;
  fd_ = fd;
  return Status::done();
}

Status OutputFile::takeUp() {
  if (tempPath_.empty()) return Status::failed(msg::kFileNotOpen);
  if (fd_ >= 0) return Status::done();
  fd_ = open(tempPath_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  return fd_ >= 0 ? Status::done() : statusOf(errno);
}

Status OutputFile::reserve(uint64_t size) {
  const Status open = takeUp();
  if (!open.ok()) return open;
  // In memory, reserving allocates and clears every page, a pass over the
  // whole file before the writes make another: there they reserve as they go.
  struct statfs system {};
  if (fstatfs(fd_, &system) == 0 && system.f_type == TMPFS_MAGIC) return Status::done();
  if (fallocate(fd_, 0, 0, static_cast<off_t>(size)) == 0 || errno == EOPNOTSUPP) {
    return Status::done();
  }
  return statusOf(errno);
}

void OutputFile::putDown() {
  // Don't retry close on EINTR: the descriptor is gone either way. A write
  // error it reports was a write that had already failed or will fail again.
  if (fd_ >= 0) close(std::exchange(fd_, -1));
}

namespace {

// Repeats a write that stores only part of the bytes, as a full disk or a
// signal may make it do, until all are written or it fails; the error
// number, 0 when all are written.
template <typename WriteSome>
int writeFully(const void* data, size_t size, WriteSome writeSome) {
  const char* bytes = static_cast<const char*>(data);
  uint64_t done = 0;
  while (size > 0) {
    const ssize_t written = writeSome(bytes, size, done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
    done += static_cast<uint64_t>(written);
  }
  return 0;
}

}  // namespace

Status OutputFile::write(const void* data, size_t size) {
  const Status open = takeUp();
  if (!open.ok()) return open;
  return statusOf(writeFully(data, size, [&](const char* bytes, size_t count, uint64_t) {
    return ::write(fd_, bytes, count);
  }));
}

Status writeAllAt(int fd, uint64_t offset, const void* data, size_t size) {
  return statusOf(writeFully(data, size, [&](const char* bytes, size_t count, uint64_t done) {
    return pwrite(fd, bytes, count, static_cast<off_t>(offset + done));
  }));
}

Status OutputFile::commit() {
  if (tempPath_.empty()) return Status::failed(msg::kFileNotOpen);
  if (fd_ >= 0 && close(std::exchange(fd_, -1)) != 0) {
    const Status failed = statusOf(errno);
    abandon();
    return failed;
  }
  if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    const Status failed = statusOf(errno);
    abandon();
    return failed;
  }
  withdrawFileInProgress(std::exchange(registration_, 0));
  tempPath_.clear();
  return Status::done();
}

void OutputFile::abandon() {
  putDown();
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
  tempPath_.clear();
  withdrawFileInProgress(std::exchange(registration_, 0));
}

Status ensureDirectory(const std::string& path, DirectoryIdentity* identity) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return statusOf(errno);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return statusOf(errno);
  if (!S_ISDIR(status.st_mode)) return Status::failed(msg::kFileInTheWay);
  if (identity != nullptr) *identity = DirectoryIdentity{status.st_dev, status.st_ino};
  return Status::done();
}

Result<bool> removeEarlierFile(const std::string& path) {
  // The same test as creating the file under this name: what could not be
  // replaced (a directory, a read-only file) is not this run's to remove.
  const int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) return false;
  struct stat status {};
  const bool regular = fstat(probe, &status) == 0 && S_ISREG(status.st_mode);
  close(probe);
  if (!regular) return false;
  if (unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  return statusOf(errno);
}

Result<std::vector<std::string>> sessionFilesIn(const std::string& directory, int32_t subject,
                                                int32_t session) {
  DIR* entries = opendir(directory.empty() ? "." : directory.c_str());
  if (entries == nullptr) return statusOf(errno);
  std::vector<std::string> names;
  while (const dirent* entry = readdir(entries)) {
    if (isSessionFile(entry->d_name, subject, session)) names.emplace_back(entry->d_name);
  }
  closedir(entries);
  std::sort(names.begin(), names.end());
  return names;
}

WorkingDirectoryLock::WorkingDirectoryLock() {
  fd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  int locked;
  do {
    locked = flock(fd_, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  heldElsewhere_ = locked != 0 && errno == EWOULDBLOCK;
}

WorkingDirectoryLock::~WorkingDirectoryLock() {
  if (fd_ >= 0) close(fd_);  // which releases the lock
}

}  // namespace erp2npx
