#pragma once

#include <hdf5.h>

#include <cstdint>
#include <memory>
#include <string>

#include "input/hdf5_handle.h"

namespace erp2npx {

// The input file, opened once for the whole run: the tables are read from it
// during the load and the epochs during the walk, through this one handle,
// so a file replaced in between can never mix two inputs.
class InputFile {
 public:
  // Opens a regular file only: a FIFO or device would block the run or never
  // end. On failure, why says what is wrong when it is not the usual case
  // of a missing, unreadable or non-HDF5 file; cause, when given, says what
  // kept it from opening in any case ("is not an HDF5 file", "is truncated
  // ...").
  static std::shared_ptr<InputFile> open(const std::string& path, std::string& why,
                                         std::string* cause = nullptr);

  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  hid_t id() const { return file_.get(); }
  // For reading contiguous values straight from the file.
  int descriptor() const { return fd_; }
  uint64_t size() const { return size_; }
  // Whether the file has lost bytes since it was opened: the library reads
  // what lies past its end as zeros, which only this tells from real data.
  bool shrunk() const;

 private:
  InputFile() = default;

  int fd_ = -1;
  uint64_t size_ = 0;
  Hid file_;
};

// What opening a root dataset found.
struct OpenedDataset {
  enum class Status { kMissing, kRefused, kOpened };
  Status status = Status::kMissing;
  std::string refusal;  // why a dataset that exists is not read
  // For one missing whose name is there: what stands there instead, or why
  // the library could not open it ("is a group, not a dataset").
  std::string cause;
  Hid dataset;
};

// Opens a dataset of the input file itself. Refused: one reached through an
// external link, one whose values are stored in other files, and a virtual
// one: their values would come from outside the input file.
OpenedDataset openInputDataset(const InputFile& file, const char* name, hid_t access = H5P_DEFAULT);

}  // namespace erp2npx
