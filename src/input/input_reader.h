#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/console.h"
#include "input/dataset_storage.h"
#include "input/input_file.h"
#include "input/stored_epochs.h"

namespace erp2npx {

// Values are taken in storage order whatever the dataspace, but a dataset of
// several dimensions whose last one cannot be the innermost group of its
// values is another layout: "/features" with a last dimension other than 8
// (the channels of one sample) or 1024 (one epoch), "/target" other than 7,
// "/matrix_dims" other than 2; dimensions of one entry aside. Returns why
// such a shape is refused, or nothing.
std::string shapeRefusal(const std::string& datasetName, const std::vector<hsize_t>& dims);

// "(100, 8, 128)"
std::string shapeTuple(const std::vector<hsize_t>& dims);

// Reads the datasets of one open input file as the converter takes them, and
// reports into the console whatever keeps one from being read soundly: a
// missing dataset, one refused or unreadable, one only partly written.
class InputReader {
 public:
  enum class Found { kMissing, kUnreadable, kRead };

  // One table as it was found.
  struct Table {
    Found found = Found::kMissing;
    uint64_t declared = 0;  // elements, 0 while nothing is stored
  };

  // The samples as they can be read for the walk.
  struct Features {
    StoredEpochs epochs;  // empty unless the dataset soundly holds every epoch asked for
    uint64_t held = 0;    // values it soundly holds
  };

  InputReader(std::shared_ptr<const InputFile> file, std::string fileName, Console& console)
      : file_(std::move(file)), fileName_(std::move(fileName)), console_(console) {}

  // Nothing was reported.
  bool complete() const { return complete_; }

  // Reads a table whole, or up to its first unwritten chunk. A table of one
  // value per stimulus is never read past what 32-bit numbers can count. A
  // table of integers is unreadable when one of its values is no 32-bit
  // integer.
  template <typename T>
  Table readTable(const char* name, std::vector<T>& values);

  // Opens "/features" for epochCount epochs of epochValues values without
  // reading it: describes it, finds the epochs never written and test-reads
  // the first one.
  Features openFeatures(uint64_t epochCount, uint64_t epochValues);

 private:
  void unreadable(const char* name, const std::string& reason);
  void partlyWritten(const char* name, const DatasetStorage& storage,
                     const std::string& consequence);
  Table unreadableTable(const char* name, const std::string& reason);
  // Opens a dataset, reporting one missing or refused.
  OpenedDataset open(const char* name, hid_t access = H5P_DEFAULT);

  std::shared_ptr<const InputFile> file_;
  std::string fileName_;
  Console& console_;
  bool complete_ = true;
};

}  // namespace erp2npx
