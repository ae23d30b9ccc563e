#include "output/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "output/output_names.h"

namespace erp2npx {

namespace {

Status statusOf(int error) {
  return error == 0 ? Status::done() : Status::failed(std::strerror(error));
}

// The temporary files in progress, for the interrupt handler to remove. Nodes
// are only ever added at the head and reused, never freed, so the handler can
// walk the list whatever the main thread is doing; a node's path is read only
// while it is marked live.
struct PartialNode {
  char* path = nullptr;
  volatile sig_atomic_t live = 0;
  PartialNode* next = nullptr;
  size_t number = 0;  // its registration, from 1
};

PartialNode* volatile partialHead = nullptr;
std::vector<PartialNode*> freeNodes;  // main thread only
std::vector<PartialNode*> allNodes;   // by number - 1

size_t registerPartial(const std::string& path) {
  PartialNode* node = nullptr;
  if (!freeNodes.empty()) {
    node = freeNodes.back();
    freeNodes.pop_back();
    std::free(node->path);
    node->path = strdup(path.c_str());
  } else {
    node = new PartialNode();
    node->path = strdup(path.c_str());
    node->number = allNodes.size() + 1;
    node->next = partialHead;
    allNodes.push_back(node);
    partialHead = node;
  }
  node->live = node->path != nullptr ? 1 : 0;
  return node->number;
}

void unregisterPartial(size_t registration) {
  if (registration == 0 || registration > allNodes.size()) return;
  PartialNode* node = allNodes[registration - 1];
  node->live = 0;
  freeNodes.push_back(node);
}

void onInterrupt(int signalNumber) {
  for (PartialNode* node = partialHead; node != nullptr; node = node->next) {
    if (node->live) unlink(node->path);
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

void removePartialFilesOnInterrupt() {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) signal(signalNumber, onInterrupt);
}

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

int OutputFile::create() {
  abandon();
  struct stat status {};
  if (lstat(finalPath_.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return EISDIR;
    // Opening without truncation tells whether the existing file may be
    // replaced, and leaves it intact until the new one is complete.
    const int probe = open(finalPath_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return errno;
    close(probe);
  }
  const std::string tempPath = finalPath_ + kPartialSuffix;
  // A leftover of an interrupted run is replaced, never followed: whatever
  // stands under the temporary name (a link included) is removed first.
  if (unlink(tempPath.c_str()) != 0 && errno != ENOENT) return errno;
  // Registered before it exists, so no interrupt can leave it behind.
  registration_ = registerPartial(tempPath);
  const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    unregisterPartial(std::exchange(registration_, 0));
    return error;
  }
  tempPath_ = tempPath;
  fd_ = fd;
  return 0;
}

int OutputFile::takeUp() {
  if (fd_ >= 0) return 0;
  if (tempPath_.empty()) return EBADF;
  fd_ = open(tempPath_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  return fd_ >= 0 ? 0 : errno;
}

Status OutputFile::opened() {
  if (tempPath_.empty()) return Status::failed("the file is not open");
  return statusOf(takeUp());
}

Status OutputFile::reserve(uint64_t size) {
  const Status open = opened();
  if (!open.ok()) return open;
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
  const Status open = opened();
  if (!open.ok()) return open;
  return statusOf(writeFully(data, size, [&](const char* bytes, size_t count, uint64_t) {
    return ::write(fd_, bytes, count);
  }));
}

Status OutputFile::writeAt(uint64_t offset, const void* data, size_t size) {
  const Status open = opened();
  if (!open.ok()) return open;
  return statusOf(writeAllAt(fd_, offset, data, size));
}

int writeAllAt(int fd, uint64_t offset, const void* data, size_t size) {
  return writeFully(data, size, [&](const char* bytes, size_t count, uint64_t done) {
    return pwrite(fd, bytes, count, static_cast<off_t>(offset + done));
  });
}

Status OutputFile::commit() {
  if (tempPath_.empty()) return Status::failed("the file is not open");
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
  unregisterPartial(std::exchange(registration_, 0));
  tempPath_.clear();
  return Status::done();
}

void OutputFile::abandon() {
  putDown();
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
  tempPath_.clear();
  unregisterPartial(std::exchange(registration_, 0));
}

namespace {

sigset_t interruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signalNumber);
  return signals;
}

}  // namespace

InterruptsHeld::InterruptsHeld() {
  const sigset_t signals = interruptSignals();
  pthread_sigmask(SIG_BLOCK, &signals, &previous_);
}

InterruptsHeld::~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

Status ensureDirectory(const std::string& path, DirectoryIdentity* identity) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return statusOf(errno);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return statusOf(errno);
  if (!S_ISDIR(status.st_mode)) return Status::failed("a file of that name is in the way");
  if (identity != nullptr) *identity = DirectoryIdentity{status.st_dev, status.st_ino};
  return Status::done();
}

Status removeEarlierFile(const std::string& path, bool& removed) {
  removed = false;
  // The same test as creating the file under this name: what could not be
  // replaced (a directory, a read-only file) is not this run's to remove.
  const int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) return Status::done();
  struct stat status {};
  const bool regular = fstat(probe, &status) == 0 && S_ISREG(status.st_mode);
  close(probe);
  if (!regular) return Status::done();
  if (unlink(path.c_str()) != 0) return errno == ENOENT ? Status::done() : statusOf(errno);
  removed = true;
  return Status::done();
}

Status sessionFilesIn(const std::string& directory, int32_t subject, int32_t session,
                      std::vector<std::string>& names) {
  names.clear();
  DIR* entries = opendir(directory.empty() ? "." : directory.c_str());
  if (entries == nullptr) return statusOf(errno);
  while (const dirent* entry = readdir(entries)) {
    const std::string name = entry->d_name;
    if (name.size() < 4) continue;
    const std::string extension = name.substr(name.size() - 4);
    if (extension != ".bin" && extension != ".npx") continue;
    const std::optional<SessionStem> stem = parseSessionStem(name.substr(0, name.size() - 4));
    if (stem && stem->subject == subject && stem->session == session) names.push_back(name);
  }
  closedir(entries);
  std::sort(names.begin(), names.end());
  return Status::done();
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
