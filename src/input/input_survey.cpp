#include "input/input_survey.h"

#include <algorithm>
#include <utility>

#include "input/dataset_storage.h"
#include "input/hdf5_handle.h"
#include "input/input_reader.h"

namespace erp2npx {

namespace {

std::string typeText(hid_t type) {
  const size_t bits = H5Tget_size(type) * 8;
  const H5T_class_t typeClass = H5Tget_class(type);
  const std::string order = H5Tget_order(type) == H5T_ORDER_BE ? "big-endian" : "little-endian";
  if (typeClass == H5T_INTEGER) {
    return std::to_string(bits) + "-bit " +
           (H5Tget_sign(type) == H5T_SGN_NONE ? "unsigned" : "signed") + " integer, " + order;
  }
  if (typeClass == H5T_FLOAT) return std::to_string(bits) + "-bit float, " + order;
  return "type class " + std::to_string(static_cast<int>(typeClass)) + ", " +
         std::to_string(bits / 8) + " bytes";
}

std::string layoutText(hid_t creation) {
  switch (H5Pget_layout(creation)) {
    case H5D_CONTIGUOUS:
      return "contiguous";
    case H5D_COMPACT:
      return "compact";
    case H5D_CHUNKED: {
      hsize_t chunk[H5S_MAX_RANK];
      const int rank = H5Pget_chunk(creation, H5S_MAX_RANK, chunk);
      std::string text = "chunked ";
      for (int d = 0; d < rank; ++d) text += (d == 0 ? "" : "x") + std::to_string(chunk[d]);
      return text;
    }
    default:
      return "virtual or unknown layout";
  }
}

std::string filterText(hid_t creation, unsigned index) {
  unsigned flags = 0;
  size_t valueCount = 4;
  unsigned values[4] = {};
  char name[64] = {};
  unsigned config = 0;
  const H5Z_filter_t filter =
      H5Pget_filter2(creation, index, &flags, &valueCount, values, sizeof name, name, &config);
  if (filter == H5Z_FILTER_DEFLATE) {
    return "deflate level " + std::to_string(valueCount > 0 ? values[0] : 0);
  }
  if (filter == H5Z_FILTER_SHUFFLE) return "shuffle";
  return name[0] != '\0' ? name : "filter " + std::to_string(filter);
}

std::string storageText(hid_t dataset) {
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset));
  if (!creation.valid()) return "?";
  std::string text = layoutText(creation.get());
  const int filters = H5Pget_nfilters(creation.get());
  for (int f = 0; f < filters; ++f) {
    text += (f == 0 ? ", filters: " : ", ") + filterText(creation.get(), static_cast<unsigned>(f));
  }
  return text;
}

}  // namespace

DatasetSurvey surveyDataset(const InputFile& file, const char* name) {
  DatasetSurvey survey;
  survey.name = name;
  const OpenedDataset opened = openInputDataset(file, name);
  if (opened.found == OpenedDataset::Found::kMissing) return survey;
  survey.present = true;
  if (opened.found == OpenedDataset::Found::kRefused) {
    survey.refusal = opened.refusal;
    survey.type = survey.storage = "not read";
    return survey;
  }
  const Hid& dataset = opened.dataset;
  const Hid type = datatypeHandle(H5Dget_type(dataset.get()));
  survey.type = type.valid() ? typeText(type.get()) : "?";
  const Hid space = dataspaceHandle(H5Dget_space(dataset.get()));
  const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  std::vector<hsize_t> dims(static_cast<size_t>(std::max(rank, 0)));
  // A shape that cannot be read is left out, as one whose rank cannot be.
  if (rank >= 0 && H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) >= 0) {
    survey.dims = std::move(dims);
    const hssize_t points = H5Sget_simple_extent_npoints(space.get());
    survey.elements = points > 0 ? static_cast<uint64_t>(points) : 0;
    survey.refusal = shapeRefusal(name, survey.dims);
  }
  survey.storageBytes = H5Dget_storage_size(dataset.get());
  survey.storage = storageText(dataset.get());
  const Result<DatasetStorage> storage = describeStorage(dataset.get());
  if (storage.ok() && storage->allocation == DatasetStorage::Allocation::kPartial) {
    survey.storage += ", " + std::to_string(storage->storedChunks) + " of " +
                      std::to_string(storage->grid.chunkCount()) + " chunks written";
  }
  return survey;
}

std::string shapeText(const std::vector<hsize_t>& dims) {
  if (dims.empty()) return "scalar";
  std::string text;
  for (size_t d = 0; d < dims.size(); ++d) text += (d == 0 ? "" : " x ") + std::to_string(dims[d]);
  return text;
}

}  // namespace erp2npx
