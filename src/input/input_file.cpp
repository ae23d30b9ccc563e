#include "input/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/messages.h"
#include "common/status.h"

namespace erp2npx {

namespace {

std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

// Refuses every external link met while a path is resolved: it would open
// another file (possibly a FIFO or a device) and read from it.
struct ExternalLinkSeen {
  bool seen = false;
  std::string target;
};

herr_t denyExternalLink(const char*, const char*, const char* childFile, const char*, unsigned*,
                        hid_t, void* data) {
  auto* seen = static_cast<ExternalLinkSeen*>(data);
  if (!seen->seen) seen->target = childFile != nullptr ? childFile : "";
  seen->seen = true;
  return -1;
}

bool sameFile(hid_t object, hid_t file) {
  H5O_info_t objectInfo{};
  H5O_info_t rootInfo{};
  return H5Oget_info2(object, &objectInfo, H5O_INFO_BASIC) >= 0 &&
         H5Oget_info2(file, &rootInfo, H5O_INFO_BASIC) >= 0 && objectInfo.fileno == rootInfo.fileno;
}

// What the library's error stack says about the call that just failed: the
// innermost error, and whether the file was found not to be HDF5 at all or
// shorter than its own records.
struct LibraryError {
  bool notHdf5 = false;
  bool truncated = false;
  std::string innermost;
};

herr_t noteError(unsigned, const H5E_error2_t* error, void* data) {
  auto* found = static_cast<LibraryError*>(data);
  found->notHdf5 = found->notHdf5 || error->min_num == H5E_NOTHDF5;
  found->truncated = found->truncated || error->min_num == H5E_TRUNCATED;
  if (error->desc != nullptr) found->innermost = error->desc;
  return 0;
}

// Must come right after the failing call: the next call clears the stack.
LibraryError lastLibraryError() {
  LibraryError found;
  // Its own result is left: a walk cut short keeps what it found, and
  // nothing found reads as "no reason given".
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, noteError, &found);
  return found;
}

std::string fileCause(const LibraryError& error, uint64_t size) {
  if (error.notHdf5) return "is not an HDF5 file";
  if (error.truncated) {
    return "is truncated: its " + std::to_string(size) +
           " bytes are fewer than its own records say it holds";
  }
  return "cannot be read as an HDF5 file (" +
         (error.innermost.empty() ? std::string("no reason given") : error.innermost) + ")";
}

// What a soft link leads to, for naming it.
Result<std::string> softLinkTarget(hid_t file, const char* name, size_t length) {
  std::vector<char> target(length + 1, '\0');
  if (H5Lget_val(file, name, target.data(), target.size(), H5P_DEFAULT) < 0) {
    return Status::failed(msg::kCannotBeExamined);
  }
  return std::string(target.data());
}

// Why a name of the file that the library could not open as a dataset is
// not one; empty when nothing has that name. access refuses external links,
// so a soft link to one never leads into another file.
std::string notADataset(hid_t file, const char* name, hid_t access, const LibraryError& error) {
  if (H5Lexists(file, name, H5P_DEFAULT) <= 0) return {};
  H5L_info_t link{};
  if (H5Lget_info(file, name, &link, H5P_DEFAULT) < 0) return "cannot be examined";
  std::string through;
  if (link.type == H5L_TYPE_SOFT) {
    const Result<std::string> target = softLinkTarget(file, name, link.u.val_size);
    if (!target.ok()) return target.reason();
    through = "is a soft link to \"" + *target + "\"";
  } else if (link.type != H5L_TYPE_HARD) {
    return "is a link of a kind that is not followed";
  }
  H5O_info_t object{};
  if (H5Oget_info_by_name2(file, name, &object, H5O_INFO_BASIC, access) < 0) {
    return through.empty() ? "cannot be opened" : through + ", which leads nowhere in the file";
  }
  const std::string prefix = through.empty() ? "is" : through + ",";
  switch (object.type) {
    case H5O_TYPE_GROUP:
      return prefix + " a group, not a dataset";
    case H5O_TYPE_NAMED_DATATYPE:
      return prefix + " a named datatype, not a dataset";
    case H5O_TYPE_DATASET:
      return (through.empty() ? "" : through + ", ") + "cannot be opened (" +
             (error.innermost.empty() ? std::string("no reason given") : error.innermost) + ")";
    default:
      return prefix + " not a dataset";
  }
}

std::string externalStoreName(hid_t creation) {
  char name[1024] = {};
  off_t offset = 0;
  hsize_t size = 0;
  if (H5Pget_external(creation, 0, sizeof name, name, &offset, &size) < 0) return "another file";
  return "\"" + std::string(name) + "\"";
}

// A copy of access, or fresh dataset access properties, that refuse every
// external link on the way and note it in seen. Fails when the library will
// not take the guard: opening without it could read another file.
Result<Hid> guardedAccess(hid_t access, ExternalLinkSeen& seen) {
  Hid properties =
      propertyListHandle(access == H5P_DEFAULT ? H5Pcreate(H5P_DATASET_ACCESS) : H5Pcopy(access));
  if (!properties.valid() || H5Pset_elink_cb(properties.get(), denyExternalLink, &seen) < 0) {
    return Status::failed(msg::externalLinksNotRefused());
  }
  return properties;
}

// Whether an opened dataset's values lie in the input file itself.
Status storedInside(hid_t dataset, hid_t file) {
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset));
  if (!creation.valid() || !sameFile(dataset, file)) {
    return Status::failed(msg::kNotInTheInputFile);
  }
  const int externalFiles = H5Pget_external_count(creation.get());
  const H5D_layout_t layout = H5Pget_layout(creation.get());
  if (externalFiles < 0 || layout == H5D_LAYOUT_ERROR) {
    return Status::failed(msg::kStorageUnexaminable);
  }
  if (externalFiles > 0) {
    return Status::failed(msg::storedOutsideInput(externalStoreName(creation.get())));
  }
  if (layout == H5D_VIRTUAL) {
    return Status::failed(msg::kVirtualDataset);
  }
  return Status::done();
}

// File access properties for reading epochs in whole runs. The library's
// defaults when it refuses a setting: they read the same values, only
// copying more and caching up to its larger default.
Hid tunedFileAccess() {
  Hid access = propertyListHandle(H5Pcreate(H5P_FILE_ACCESS));
  if (!access.valid()) return defaultProperties();
  // Epochs are read as whole runs; the library's sieve buffer would only copy
  // scattered ones through a larger buffer.
  if (H5Pset_sieve_buf_size(access.get(), 0) < 0) return defaultProperties();
  // The library's metadata cache grows to 32 MB while it walks a large
  // chunk index; the index is walked in order, so a small one serves as well.
  H5AC_cache_config_t cache{};
  cache.version = H5AC__CURR_CACHE_CONFIG_VERSION;
  if (H5Pget_mdc_config(access.get(), &cache) < 0) return defaultProperties();
  cache.set_initial_size = true;
  cache.initial_size = size_t{1} << 20;
  cache.min_size = size_t{1} << 20;
  cache.max_size = size_t{4} << 20;
  if (H5Pset_mdc_config(access.get(), &cache) < 0) return defaultProperties();
  return access;
}

}  // namespace

OpenedInputFile InputFile::open(const std::string& path) {
  OpenedInputFile opened;
  std::shared_ptr<InputFile> file(new InputFile());
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  file->fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (file->fd_ < 0) {
    opened.cause = std::string("cannot be opened: ") + std::strerror(errno);
    return opened;
  }
  struct stat status {};
  if (fstat(file->fd_, &status) != 0) return opened;
  if (!S_ISREG(status.st_mode)) {
    opened.found = OpenedInputFile::Found::kRefused;
    opened.refusal = "it is " + kindOf(status.st_mode) + ", not a regular file";
    return opened;
  }
  file->size_ = static_cast<uint64_t>(status.st_size);
  const Hid access = tunedFileAccess();
  // Through the descriptor already checked: the name may have been replaced
  // since, and the library would then open whatever stands there now.
  const std::string ownPath = "/proc/self/fd/" + std::to_string(file->fd_);
  file->file_ = fileHandle(H5Fopen(ownPath.c_str(), H5F_ACC_RDONLY, access.get()));
  if (!file->file_.valid()) {
    opened.cause = fileCause(lastLibraryError(), file->size_);
    return opened;
  }
  opened.found = OpenedInputFile::Found::kOpened;
  opened.file = std::move(file);
  return opened;
}

bool InputFile::shrunk() const {
  struct stat status;
  return fstat(fd_, &status) != 0 || static_cast<uint64_t>(status.st_size) < size_;
}

InputFile::~InputFile() {
  file_.reset();
  if (fd_ >= 0) close(fd_);
}

OpenedDataset openInputDataset(const InputFile& file, const char* name, hid_t access) {
  OpenedDataset opened;
  const auto refuse = [&opened](std::string refusal) {
    opened.dataset.reset();
    opened.found = OpenedDataset::Found::kRefused;
    opened.refusal = std::move(refusal);
    return std::move(opened);
  };
  ExternalLinkSeen externalLink;
  const Result<Hid> properties = guardedAccess(access, externalLink);
  if (!properties.ok()) return refuse(properties.reason());
  opened.dataset = datasetHandle(H5Dopen2(file.id(), name, properties->get()));
  const LibraryError error = opened.dataset.valid() ? LibraryError{} : lastLibraryError();
  if (externalLink.seen) {
    return refuse("it is reached through an external link to the file \"" + externalLink.target +
                  "\", outside the input file");
  }
  if (!opened.dataset.valid()) {
    opened.cause = notADataset(file.id(), name, properties->get(), error);
    return opened;
  }
  const Status inside = storedInside(opened.dataset.get(), file.id());
  if (!inside.ok()) return refuse(inside.reason());
  opened.found = OpenedDataset::Found::kOpened;
  return opened;
}

}  // namespace erp2npx
