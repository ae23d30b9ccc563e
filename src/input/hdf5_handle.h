#pragma once

#include <hdf5.h>

#include <utility>

namespace erp2npx {

// Move-only owner of one HDF5 identifier; the close function depends on the
// identifier's kind (file, dataset, dataspace, datatype, property list).
class Hid {
 public:
  using Closer = herr_t (*)(hid_t);

  Hid() = default;
  Hid(hid_t handle, Closer closeFunction) : id_(handle), closer_(closeFunction) {}
  Hid(const Hid&) = delete;
  Hid& operator=(const Hid&) = delete;
  Hid(Hid&& other) noexcept
      : id_(std::exchange(other.id_, H5I_INVALID_HID)), closer_(other.closer_) {}
  Hid& operator=(Hid&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
      closer_ = other.closer_;
    }
    return *this;
  }
  ~Hid() { reset(); }

  bool valid() const { return id_ > 0; }
  hid_t get() const { return id_; }
  // Gives the identifier up unclosed, for a caller that closes it and checks.
  hid_t release() { return std::exchange(id_, H5I_INVALID_HID); }
  void reset() {
    // The close result is ignored: there is nothing useful to do about it
    // in a destructor, and the data was already read.
    if (id_ > 0 && closer_ != nullptr) closer_(id_);
    id_ = H5I_INVALID_HID;
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
  Closer closer_ = nullptr;
};

inline Hid fileHandle(hid_t id) { return Hid(id, H5Fclose); }
inline Hid datasetHandle(hid_t id) { return Hid(id, H5Dclose); }
inline Hid dataspaceHandle(hid_t id) { return Hid(id, H5Sclose); }
inline Hid datatypeHandle(hid_t id) { return Hid(id, H5Tclose); }
inline Hid propertyListHandle(hid_t id) { return Hid(id, H5Pclose); }
// The library's default properties, in place of a list of one's own.
inline Hid defaultProperties() { return Hid(H5P_DEFAULT, nullptr); }

// Switches the library's automatic error report off while it lives, for a
// caller that reports failures in its own words.
class QuietLibraryErrors {
 public:
  QuietLibraryErrors() {
    saved_ = H5Eget_auto2(H5E_DEFAULT, &function_, &data_) >= 0;
    // Cannot fail for the default stack; were it to, the library's report
    // would only add lines to standard error.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  // A report that could not be read is left off rather than set to garbage.
  ~QuietLibraryErrors() {
    if (saved_) H5Eset_auto2(H5E_DEFAULT, function_, data_);
  }
  QuietLibraryErrors(const QuietLibraryErrors&) = delete;
  QuietLibraryErrors& operator=(const QuietLibraryErrors&) = delete;

 private:
  H5E_auto2_t function_ = nullptr;
  void* data_ = nullptr;
  bool saved_ = false;
};

}  // namespace erp2npx
