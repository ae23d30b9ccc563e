#include "input_writer.h"

namespace erp2npx::input_writer {

namespace {

Hid makeSpace(const Layout& layout) {
  if (layout.space == Layout::Space::kScalar) return dataspaceHandle(H5Screate(H5S_SCALAR));
  if (layout.space == Layout::Space::kNull) return dataspaceHandle(H5Screate(H5S_NULL));
  const std::vector<hsize_t> unlimited(layout.dims.size(), H5S_UNLIMITED);
  return dataspaceHandle(H5Screate_simple(static_cast<int>(layout.dims.size()), layout.dims.data(),
                                          layout.unlimited ? unlimited.data() : nullptr));
}

herr_t addFilter(hid_t properties, const Filter& filter) {
  switch (filter.kind) {
    case Filter::kShuffle:
      return H5Pset_shuffle(properties);
    case Filter::kDeflate:
      return H5Pset_deflate(properties, filter.level);
    case Filter::kFletcher32:
      return H5Pset_fletcher32(properties);
  }
  return -1;
}

// The creation properties of layout; invalid when the library refuses one.
Hid makeProperties(const Layout& layout, hid_t space) {
  Hid properties = propertyListHandle(H5Pcreate(H5P_DATASET_CREATE));
  const hid_t p = properties.get();
  bool ok = properties.valid();
  if (ok && !layout.trackTimes) ok = H5Pset_obj_track_times(p, 0) >= 0;
  if (ok && layout.fill != nullptr) ok = H5Pset_fill_value(p, layout.fillType, layout.fill) >= 0;
  if (ok && !layout.chunk.empty()) {
    ok = H5Pset_chunk(p, static_cast<int>(layout.chunk.size()), layout.chunk.data()) >= 0;
  }
  for (const Filter& filter : layout.filters) ok = ok && addFilter(p, filter) >= 0;
  if (ok && layout.compact) ok = H5Pset_layout(p, H5D_COMPACT) >= 0;
  if (ok && layout.lateAllocation) ok = H5Pset_alloc_time(p, H5D_ALLOC_TIME_LATE) >= 0;
  if (ok && !layout.external.empty()) {
    ok = H5Pset_external(p, layout.external.c_str(), 0, layout.externalBytes) >= 0;
  }
  if (ok && !layout.virtualFile.empty()) {
    ok = H5Pset_virtual(p, space, layout.virtualFile.c_str(), layout.virtualDataset.c_str(),
                        space) >= 0;
  }
  return ok ? std::move(properties) : Hid();
}

}  // namespace

Hid createFile(const std::string& path, hsize_t userBlock) {
  const Hid creation = propertyListHandle(H5Pcreate(H5P_FILE_CREATE));
  if (!creation.valid() || H5Pset_userblock(creation.get(), userBlock) < 0) return Hid();
  return fileHandle(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, creation.get(), H5P_DEFAULT));
}

Hid openFile(const std::string& path) {
  return fileHandle(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
}

void unlink(hid_t file, const char* name) {
  if (H5Lexists(file, name, H5P_DEFAULT) > 0) H5Ldelete(file, name, H5P_DEFAULT);
}

Hid createDataset(hid_t where, const char* name, hid_t fileType, const Layout& layout) {
  const Hid space = makeSpace(layout);
  if (!space.valid()) return Hid();
  const Hid properties = makeProperties(layout, space.get());
  if (!properties.valid()) return Hid();
  return datasetHandle(
      H5Dcreate2(where, name, fileType, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT));
}

herr_t writeAll(hid_t dataset, hid_t memType, const void* data) {
  return H5Dwrite(dataset, memType, H5S_ALL, H5S_ALL, H5P_DEFAULT, data);
}

herr_t writeRows(hid_t dataset, hid_t memType, hsize_t first, hsize_t count, const void* data) {
  const Hid fileSpace = dataspaceHandle(H5Dget_space(dataset));
  const int rank = fileSpace.valid() ? H5Sget_simple_extent_ndims(fileSpace.get()) : -1;
  if (rank < 1) return -1;
  std::vector<hsize_t> start(static_cast<size_t>(rank), 0), extent(static_cast<size_t>(rank));
  if (H5Sget_simple_extent_dims(fileSpace.get(), extent.data(), nullptr) < 0) return -1;
  start[0] = first;
  extent[0] = count;
  if (H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start.data(), nullptr, extent.data(),
                          nullptr) < 0) {
    return -1;
  }
  const Hid memorySpace = dataspaceHandle(H5Screate_simple(rank, extent.data(), nullptr));
  if (!memorySpace.valid()) return -1;
  return H5Dwrite(dataset, memType, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, data);
}

Hid writeDataset(hid_t where, const char* name, hid_t fileType, const Layout& layout, hid_t memType,
                 const void* data) {
  Hid dataset = createDataset(where, name, fileType, layout);
  if (!dataset.valid() || data == nullptr) return dataset;
  const Hid space = dataspaceHandle(H5Dget_space(dataset.get()));
  const hssize_t elements = space.valid() ? H5Sget_simple_extent_npoints(space.get()) : -1;
  if (elements < 0 || (elements > 0 && writeAll(dataset.get(), memType, data) < 0)) return Hid();
  return dataset;
}

herr_t externalLink(hid_t file, const char* name, const std::string& otherFile,
                    const char* otherName) {
  return H5Lcreate_external(otherFile.c_str(), otherName, file, name, H5P_DEFAULT, H5P_DEFAULT);
}

}  // namespace erp2npx::input_writer
