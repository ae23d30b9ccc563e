#pragma once

#include <hdf5.h>

#include <cstdint>
#include <memory>
#include <string>

#include "input/hdf5_handle.h"

namespace erp2npx {

class InputFile;

// What opening the input file found. One that does not open has one of two
// accounts, each for a line of its own: a refusal, for something that is
// there but no regular file, which the run states in its own words ("it is
// a FIFO, not a regular file"); or the cause, for one missing, unreadable or
// not HDF5: what the system or the library said, worded to follow the
// file's name ("is not an HDF5 file"), noted beside the run's fixed line.
// Neither, when nothing was said. A dataset opens to the same shape
// (OpenedDataset below).
struct OpenedInputFile {
  enum class Found { kUnopened, kRefused, kOpened };
  Found found = Found::kUnopened;
  std::string refusal;
  std::string cause;
  std::shared_ptr<InputFile> file;
};

// The input file, opened once for the whole run: the tables are read from it
// during the load and the epochs during the walk, through this one handle,
// so a file replaced in between can never mix two inputs.
class InputFile {
 public:
  // Opens a regular file only: a FIFO or device would block the run or never
  // end.
  static OpenedInputFile open(const std::string& path);

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
  enum class Found { kMissing, kRefused, kOpened };
  Found found = Found::kMissing;
  std::string refusal;  // why a dataset that exists is not read
  // For one missing whose name is there: what stands there instead, or why
  // the library could not open it ("is a group, not a dataset").
  std::string cause;
  Hid dataset;
};

// Opens a dataset of the input file itself. Refused: one reached through an
// external link, one whose values are stored in other files, and a virtual
// one: their values would come from outside the input file; and any one
// when the library cannot be set to refuse external links on the way.
OpenedDataset openInputDataset(const InputFile& file, const char* name, hid_t access = H5P_DEFAULT);

}  // namespace erp2npx
