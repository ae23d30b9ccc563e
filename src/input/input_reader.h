#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/console.h"
#include "input/dataset_storage.h"
#include "input/epoch_matrix.h"
#include "input/input_file.h"

namespace erp2npx {

// Reads the datasets of one open input file as the converter takes them, and
// reports into the console whatever keeps one from being read soundly: a
// missing dataset, one refused or unreadable, one only partly written.
class InputReader {
 public:
  enum class Status { kMissing, kUnreadable, kRead };

  // One table as it was found.
  struct Table {
    Status status = Status::kMissing;
    uint64_t declared = 0;  // elements, 0 while nothing is stored
  };

  // The samples as they can be read for the walk.
  struct Features {
    EpochMatrix epochs;  // empty unless the dataset soundly holds every epoch asked for
    uint64_t held = 0;   // values it soundly holds
  };

  InputReader(std::shared_ptr<const InputFile> file, std::string fileName, Console& console)
      : file_(std::move(file)), fileName_(std::move(fileName)), console_(console) {}

  // Nothing was reported.
  bool complete() const { return complete_; }

  // Reads a table whole, or up to its first unwritten chunk. A table of one
  // value per stimulus is never read past what 32-bit numbers can count.
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
  bool open(const char* name, OpenedDataset& opened, DatasetStorage& storage,
            hid_t access = H5P_DEFAULT);

  std::shared_ptr<const InputFile> file_;
  std::string fileName_;
  Console& console_;
  bool complete_ = true;
};

}  // namespace erp2npx
