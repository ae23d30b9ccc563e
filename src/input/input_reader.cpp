#include "input/input_reader.h"

#include <climits>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "common/config.h"
#include "common/messages.h"
#include "input/dataset_loader.h"

namespace erp2npx {

namespace {

// The innermost groups of values a dataset's last dimension may hold.
struct ValueGroups {
  const char* name;
  uint64_t sizes[2];
  const char* described;  // follows "is"
};

const ValueGroups kValueGroups[] = {
    {"/features",
     {kChannelCount, kEpochValues},
     "neither the 8 channel values of one sample nor the 1024 values of one epoch"},
    {"/target", {7, 7}, "not the 7 values of one trial"},
    {"/matrix_dims", {2, 2}, "not the 2 values (rows, columns) of one session"}};

}  // namespace

std::string shapeTuple(const std::vector<hsize_t>& dims) {
  std::string text = "(";
  for (size_t d = 0; d < dims.size(); ++d) text += (d == 0 ? "" : ", ") + std::to_string(dims[d]);
  return text + ")";
}

std::string shapeRefusal(const std::string& datasetName, const std::vector<hsize_t>& dims) {
  for (const ValueGroups& groups : kValueGroups) {
    if (datasetName != groups.name) continue;
    std::vector<hsize_t> steps;  // the dimensions values really vary along
    for (const hsize_t d : dims) {
      if (d == 0) return {};  // no values to misplace
      if (d > 1) steps.push_back(d);
    }
    if (steps.size() < 2 || steps.back() == groups.sizes[0] || steps.back() == groups.sizes[1]) {
      return {};
    }
    return msg::shapeAgainstOrder(shapeTuple(dims), steps.back(), groups.described);
  }
  return {};
}

void InputReader::unreadable(const char* name, const std::string& reason) {
  console_.line(msg::datasetUnreadable(name, fileName_, reason));
  complete_ = false;
}

void InputReader::partlyWritten(const char* name, const DatasetStorage& storage,
                                const std::string& consequence) {
  console_.line(msg::datasetPartlyWritten(name, fileName_, storage.storedChunks,
                                          storage.grid.chunkCount(), consequence));
  complete_ = false;
}

bool InputReader::open(const char* name, OpenedDataset& opened, DatasetStorage& storage,
                       hid_t access) {
  opened = openInputDataset(*file_, name, access);
  if (opened.status == OpenedDataset::Status::kMissing) {
    console_.text(msg::datasetMissing(name));
    if (!opened.cause.empty()) console_.note(msg::datasetCause(name, fileName_, opened.cause));
    complete_ = false;
    return false;
  }
  if (opened.status == OpenedDataset::Status::kRefused) {
    unreadable(name, opened.refusal);
    return false;
  }
  const erp2npx::Status described = describeStorage(opened.dataset.get(), storage);
  if (!described.ok()) {
    unreadable(name, described.reason());
    return false;
  }
  const Hid type = datatypeHandle(H5Dget_type(opened.dataset.get()));
  const H5T_class_t typeClass = type.valid() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
  if (typeClass != H5T_FLOAT && typeClass != H5T_INTEGER) {
    unreadable(name, "its values are not numbers");
    return false;
  }
  const std::string shape = shapeRefusal(name, storage.grid.dims());
  if (!shape.empty()) {
    unreadable(name, shape);
    return false;
  }
  return true;
}

template <typename T>
InputReader::Table InputReader::readTable(const char* name, std::vector<T>& values) {
  const bool perStimulus = holdsOneValuePerStimulus(name);
  Table result;
  OpenedDataset opened;
  DatasetStorage storage;
  if (!open(name, opened, storage)) {
    result.status =
        opened.status == OpenedDataset::Status::kMissing ? Status::kMissing : Status::kUnreadable;
    return result;
  }
  if (perStimulus && storage.elements > static_cast<uint64_t>(INT32_MAX)) {
    unreadable(name, msg::tooManyValues(storage.elements));
    result.status = Status::kUnreadable;
    return result;
  }
  using Allocation = DatasetStorage::Allocation;
  if (storage.allocation == Allocation::kPartial) {
    partlyWritten(name, storage, msg::takenAsLeading(storage.writtenPrefix, storage.elements));
  }
  try {
    const uint64_t count = storage.allocation == Allocation::kNone ? 0 : storage.writtenPrefix;
    erp2npx::Status read = erp2npx::Status::done();
    if constexpr (std::is_same_v<T, int32_t>) {
      read = readLeadingIntegers(opened.dataset.get(), storage, count, values);
    } else {
      read = readLeadingValues(opened.dataset.get(), storage, count, values);
    }
    if (!read.ok()) {
      unreadable(name, read.reason());
      result.status = Status::kUnreadable;
      return result;
    }
  } catch (const std::bad_alloc&) {
    unreadable(name, msg::tooLargeForMemory(storage.elements));
    result.status = Status::kUnreadable;
    return result;
  } catch (const std::length_error&) {
    unreadable(name, msg::tooLargeForMemory(storage.elements));
    result.status = Status::kUnreadable;
    return result;
  }
  result.status = Status::kRead;
  result.declared = storage.allocation == Allocation::kNone ? 0 : storage.elements;
  return result;
}

template InputReader::Table InputReader::readTable<int32_t>(const char*, std::vector<int32_t>&);
template InputReader::Table InputReader::readTable<double>(const char*, std::vector<double>&);

InputReader::Features InputReader::openFeatures(uint64_t epochCount, uint64_t epochValues) {
  const char* name = "/features";
  Features result;
  OpenedDataset opened;
  DatasetStorage storage;
  if (!open(name, opened, storage, chunkCacheAccess().get())) return result;
  if (storage.allocation == DatasetStorage::Allocation::kNone) return result;
  // Before any read: the library caches an unwritten chunk it was asked to
  // read as if it existed.
  result.held = storage.elements;
  std::vector<bool> unwritten;
  if (storage.allocation == DatasetStorage::Allocation::kPartial) {
    if (findUnwrittenEpochs(opened.dataset.get(), storage, epochCount, epochValues, unwritten)) {
      partlyWritten(name, storage, msg::unwrittenSessionsSkipped());
    } else {
      // Too little of it is written to be worth sorting out epoch by epoch.
      unwritten.clear();
      result.held = storage.writtenPrefix;
      partlyWritten(name, storage, msg::takenAsLeading(result.held, storage.elements));
    }
  }
  std::vector<double> probe;
  const erp2npx::Status probed = readLeadingValues(
      opened.dataset.get(), storage, std::min(storage.writtenPrefix, epochValues), probe);
  if (!probed.ok()) {
    unreadable(name, probed.reason());
    result.held = 0;
    return result;
  }
  if (result.held >= epochCount * epochValues) {
    EpochReading reading = chooseEpochReading({file_, name, std::move(opened.dataset), storage});
    result.epochs =
        StoredEpochs(std::move(reading), static_cast<size_t>(epochCount), std::move(unwritten));
  }
  return result;
}

}  // namespace erp2npx
