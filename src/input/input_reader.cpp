#include "input/input_reader.h"

#include <algorithm>
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

namespace {

// The storage of an opened dataset, or why it is not read: stored in a way,
// of a type or of a shape that is not.
Result<DatasetStorage> readableStorage(const char* name, hid_t dataset) {
  Result<DatasetStorage> storage = describeStorage(dataset);
  if (!storage.ok()) return storage;
  const Hid type = datatypeHandle(H5Dget_type(dataset));
  const H5T_class_t typeClass = type.valid() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
  if (typeClass != H5T_FLOAT && typeClass != H5T_INTEGER) {
    return Status::failed(msg::kValuesNotNumbers);
  }
  const std::string shape = shapeRefusal(name, storage->grid.dims());
  if (!shape.empty()) return Status::failed(shape);
  return storage;
}

// The first count values of a table, through the reading its type needs.
template <typename T>
Result<std::vector<T>> readLeading(hid_t dataset, const DatasetStorage& storage, uint64_t count) {
  if constexpr (std::is_same_v<T, int32_t>) {
    return readLeadingIntegers(dataset, storage, count);
  } else {
    return readLeadingValues<T>(dataset, storage, count);
  }
}

}  // namespace

void InputReader::unreadable(const char* name, const std::string& reason) {
  console_.line(msg::datasetUnreadable(name, fileName_, reason));
  complete_ = false;
}

InputReader::Table InputReader::unreadableTable(const char* name, const std::string& reason) {
  unreadable(name, reason);
  Table table;
  table.found = Found::kUnreadable;
  return table;
}

void InputReader::partlyWritten(const char* name, const DatasetStorage& storage,
                                const std::string& consequence) {
  console_.line(msg::datasetPartlyWritten(name, fileName_, storage.storedChunks,
                                          storage.grid.chunkCount(), consequence));
  complete_ = false;
}

OpenedDataset InputReader::open(const char* name, hid_t access) {
  OpenedDataset opened = openInputDataset(*file_, name, access);
  if (opened.found == OpenedDataset::Found::kMissing) {
    console_.text(msg::datasetMissing(name));
    if (!opened.cause.empty()) console_.note(msg::datasetCause(name, fileName_, opened.cause));
    complete_ = false;
  } else if (opened.found == OpenedDataset::Found::kRefused) {
    unreadable(name, opened.refusal);
  }
  return opened;
}

template <typename T>
InputReader::Table InputReader::readTable(const char* name, std::vector<T>& values) {
  const OpenedDataset opened = open(name);
  Table result;
  if (opened.found == OpenedDataset::Found::kMissing) return result;
  if (opened.found == OpenedDataset::Found::kRefused) {
    result.found = Found::kUnreadable;
    return result;
  }
  const Result<DatasetStorage> described = readableStorage(name, opened.dataset.get());
  if (!described.ok()) return unreadableTable(name, described.reason());
  const DatasetStorage& storage = *described;
  if (holdsOneValuePerStimulus(name) && storage.elements > static_cast<uint64_t>(INT32_MAX)) {
    return unreadableTable(name, msg::tooManyValues(storage.elements));
  }
  using Allocation = DatasetStorage::Allocation;
  if (storage.allocation == Allocation::kPartial) {
    partlyWritten(name, storage, msg::takenAsLeading(storage.writtenPrefix, storage.elements));
  }
  try {
    const uint64_t count = storage.allocation == Allocation::kNone ? 0 : storage.writtenPrefix;
    Result<std::vector<T>> read = readLeading<T>(opened.dataset.get(), storage, count);
    if (!read.ok()) return unreadableTable(name, read.reason());
    values = std::move(read).value();
  } catch (const std::bad_alloc&) {
    return unreadableTable(name, msg::tooLargeForMemory(storage.elements));
  } catch (const std::length_error&) {
    return unreadableTable(name, msg::tooLargeForMemory(storage.elements));
  }
  result.found = Found::kRead;
  result.declared = storage.allocation == Allocation::kNone ? 0 : storage.elements;
  return result;
}

template InputReader::Table InputReader::readTable<int32_t>(const char*, std::vector<int32_t>&);
template InputReader::Table InputReader::readTable<double>(const char*, std::vector<double>&);

InputReader::Features InputReader::openFeatures(uint64_t epochCount, uint64_t epochValues) {
  const char* name = "/features";
  Features result;
  OpenedDataset opened = open(name, chunkCacheAccess().get());
  if (opened.found != OpenedDataset::Found::kOpened) return result;
  const Result<DatasetStorage> described = readableStorage(name, opened.dataset.get());
  if (!described.ok()) {
    unreadable(name, described.reason());
    return result;
  }
  const DatasetStorage& storage = *described;
  if (storage.allocation == DatasetStorage::Allocation::kNone) return result;
  // Before any read: the library caches an unwritten chunk it was asked to
  // read as if it existed.
  result.held = storage.elements;
  std::vector<bool> unwritten;
  if (storage.allocation == DatasetStorage::Allocation::kPartial) {
    Result<std::vector<bool>> found =
        findUnwrittenEpochs(opened.dataset.get(), storage, epochCount, epochValues);
    if (found.ok()) {
      unwritten = std::move(found).value();
      partlyWritten(name, storage, msg::unwrittenSessionsSkipped());
    } else {
      // Too little of it is written to be worth sorting out epoch by epoch.
      result.held = storage.writtenPrefix;
      partlyWritten(name, storage, msg::takenAsLeading(result.held, storage.elements));
    }
  }
  const Result<std::vector<double>> probed = readLeadingValues<double>(
      opened.dataset.get(), storage, std::min(storage.writtenPrefix, epochValues));
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
