#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

#include "input/input_file.h"

namespace erp2npx {

// What an input file's dataset is, as a person looking at it wants to know:
// its stored type, shape, bytes on disk, layout and filters.
struct DatasetSurvey {
  std::string name;
  bool present = false;
  std::string refusal;  // why it would not be read, for one that exists (its shape included)
  std::string type;
  std::vector<hsize_t> dims;
  uint64_t elements = 0;
  uint64_t storageBytes = 0;
  std::string storage;  // layout and filters
};

DatasetSurvey surveyDataset(const InputFile& file, const char* name);

// "3 x 128 x 8", or "scalar".
std::string shapeText(const std::vector<hsize_t>& dims);

}  // namespace erp2npx
