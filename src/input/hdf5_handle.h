#pragma once

#include <hdf5.h>

#include <utility>

namespace erp2npx {

// Move-only owner of one HDF5 identifier; the close function depends on the
// identifier's kind (file, dataset, dataspace, datatype, property list).
struct Hid {
  using Closer = herr_t (*)(hid_t);

  Hid() = default;
  Hid(hid_t handle, Closer closeFunction) : id(handle), closer(closeFunction) {}
  Hid(const Hid&) = delete;
  Hid& operator=(const Hid&) = delete;
  Hid(Hid&& other) noexcept : id(std::exchange(other.id, H5I_INVALID_HID)), closer(other.closer) {}
  Hid& operator=(Hid&& other) noexcept {
    if (this != &other) {
      reset();
      id = std::exchange(other.id, H5I_INVALID_HID);
      closer = other.closer;
    }
    return *this;
  }
  ~Hid() { reset(); }

  bool valid() const { return id > 0; }
  hid_t get() const { return id; }
  void reset() {
    // The close result is ignored: there is nothing useful to do about it
    // in a destructor, and the data was already read.
    if (id > 0 && closer != nullptr) closer(id);
    id = H5I_INVALID_HID;
  }

  hid_t id = H5I_INVALID_HID;
  Closer closer = nullptr;
};

inline Hid fileHandle(hid_t id) { return Hid(id, H5Fclose); }
inline Hid datasetHandle(hid_t id) { return Hid(id, H5Dclose); }
inline Hid dataspaceHandle(hid_t id) { return Hid(id, H5Sclose); }
inline Hid datatypeHandle(hid_t id) { return Hid(id, H5Tclose); }
inline Hid propertyListHandle(hid_t id) { return Hid(id, H5Pclose); }

}  // namespace erp2npx
