#pragma once

// Writes HDF5 input files for the sample generator, the tests and the fuzz
// targets: one place that knows how a dataset of a given type, shape, layout
// and filters is made. Calls return what the library said (an invalid handle
// or a negative status) and leave reporting to the caller.

#include <hdf5.h>

#include <string>
#include <vector>

#include "input/hdf5_handle.h"

namespace erp2npx::input_writer {

// One step of a chunked dataset's filter pipeline; the steps run in the
// order given.
struct Filter {
  enum Kind { kShuffle, kDeflate, kFletcher32 } kind;
  unsigned level = 0;  // of deflate
};

// How a dataset is stored.
struct Layout {
  enum class Space { kSimple, kScalar, kNull } space = Space::kSimple;
  std::vector<hsize_t> dims;   // of a simple space
  bool unlimited = false;      // a simple space that may grow in every dimension
  std::vector<hsize_t> chunk;  // empty: not chunked
  std::vector<Filter> filters;
  bool compact = false;
  bool lateAllocation = false;
  // The value of elements never written, when not the library's default.
  hid_t fillType = H5I_INVALID_HID;
  const void* fill = nullptr;
  // Raw values kept in this file instead, externalBytes of them.
  std::string external;
  hsize_t externalBytes = 0;
  // A virtual dataset showing the whole of this one, "." for the same file.
  std::string virtualFile, virtualDataset;
  // Timestamps make two otherwise equal files differ.
  bool trackTimes = true;
};

// A new file, its contents after userBlock bytes kept for other programs.
Hid createFile(const std::string& path, hsize_t userBlock = 0);
// Opens an existing file for writing.
Hid openFile(const std::string& path);

// Removes the link name, if there is one, so a dataset can take its place.
void unlink(hid_t file, const char* name);

Hid createDataset(hid_t where, const char* name, hid_t fileType, const Layout& layout);

// Writes all elements from data, held as memType.
herr_t writeAll(hid_t dataset, hid_t memType, const void* data);
// Writes count entries of the first dimension from first on, the other
// dimensions whole.
herr_t writeRows(hid_t dataset, hid_t memType, hsize_t first, hsize_t count, const void* data);

// Creates the dataset and, when data is given and the dataset has elements,
// writes all of them; an invalid handle when either fails.
Hid writeDataset(hid_t where, const char* name, hid_t fileType, const Layout& layout, hid_t memType,
                 const void* data);

// A link name in file to the object otherName of the file otherFile.
herr_t externalLink(hid_t file, const char* name, const std::string& otherFile,
                    const char* otherName);

}  // namespace erp2npx::input_writer
