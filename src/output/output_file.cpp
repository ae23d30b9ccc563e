#include "output/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace erp2npx {

namespace {

// The temporary file being written, for the interrupt handler to remove. Only
// one output file is open at a time.
char pendingPartial[4096];
volatile sig_atomic_t hasPendingPartial = 0;

void rememberPartial(const std::string& path) {
  hasPendingPartial = 0;
  if (path.size() >= sizeof pendingPartial) return;
  std::memcpy(pendingPartial, path.c_str(), path.size() + 1);
  hasPendingPartial = 1;
}

void onInterrupt(int signalNumber) {
  if (hasPendingPartial) unlink(pendingPartial);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

void removePartialFileOnInterrupt() {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) signal(signalNumber, onInterrupt);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : finalPath(std::move(other.finalPath)),
      tempPath(std::move(other.tempPath)),
      fd(std::exchange(other.fd, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    abandonOutputFile(*this);
    finalPath = std::move(other.finalPath);
    tempPath = std::move(other.tempPath);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

OutputFile::~OutputFile() { abandonOutputFile(*this); }

int createOutputFile(const std::string& finalPath, OutputFile& file) {
  abandonOutputFile(file);
  struct stat status {};
  if (lstat(finalPath.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return EISDIR;
    // Opening without truncation tells whether the existing file may be
    // replaced, and leaves it intact until the new one is complete.
    const int probe = open(finalPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return errno;
    close(probe);
  }
  const std::string tempPath = finalPath + kPartialSuffix;
  // A leftover of an interrupted run is replaced, never followed: whatever
  // stands under the temporary name (a link included) is removed first.
  if (unlink(tempPath.c_str()) != 0 && errno != ENOENT) return errno;
  rememberPartial(tempPath);
  const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    hasPendingPartial = 0;
    return error;
  }
  file.finalPath = finalPath;
  file.tempPath = tempPath;
  file.fd = fd;
  return 0;
}

namespace {

// Repeats a write that stores only part of the bytes, as a full disk or a
// signal may make it do, until all are written or it fails.
template <typename WriteSome>
bool writeFully(const void* data, size_t size, std::string& error, WriteSome writeSome) {
  const char* bytes = static_cast<const char*>(data);
  uint64_t done = 0;
  while (size > 0) {
    const ssize_t written = writeSome(bytes, size, done);
    if (written < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
    done += static_cast<uint64_t>(written);
  }
  return true;
}

}  // namespace

bool writeAll(OutputFile& file, const void* data, size_t size, std::string& error) {
  return writeFully(data, size, error, [&](const char* bytes, size_t count, uint64_t) {
    return write(file.fd, bytes, count);
  });
}

bool writeAt(OutputFile& file, uint64_t offset, const void* data, size_t size, std::string& error) {
  return writeFully(data, size, error, [&](const char* bytes, size_t count, uint64_t done) {
    return pwrite(file.fd, bytes, count, static_cast<off_t>(offset + done));
  });
}

bool commitOutputFile(OutputFile& file, std::string& error) {
  // Don't retry close on EINTR: the descriptor is gone either way.
  const int closed = close(std::exchange(file.fd, -1));
  if (closed != 0) {
    error = std::strerror(errno);
    abandonOutputFile(file);
    return false;
  }
  if (rename(file.tempPath.c_str(), file.finalPath.c_str()) != 0) {
    error = std::strerror(errno);
    abandonOutputFile(file);
    return false;
  }
  hasPendingPartial = 0;
  file.tempPath.clear();
  return true;
}

void abandonOutputFile(OutputFile& file) {
  if (file.fd >= 0) close(std::exchange(file.fd, -1));
  if (!file.tempPath.empty()) {
    unlink(file.tempPath.c_str());
    hasPendingPartial = 0;
  }
  file.tempPath.clear();
}

bool ensureDirectory(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    error = "a file of that name is in the way";
    return false;
  }
  return true;
}

}  // namespace erp2npx
