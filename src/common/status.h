#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace erp2npx {

// What an operation that can fail came to: done, or the reason it was not,
// worded to follow "because" in a message that names the file or dataset.
// A failure of a system call also keeps its error number, for the fixed
// lines that quote it and for callers that act on it (out of descriptors).
class [[nodiscard]] Status {
 public:
  static Status done() { return Status(true, {}, 0); }
  static Status failed(std::string reason, int errorNumber = 0) {
    return Status(false, std::move(reason), errorNumber);
  }

  bool ok() const { return ok_; }
  const std::string& reason() const { return reason_; }
  // 0 unless the failure came with one.
  int errorNumber() const { return errorNumber_; }

 private:
  Status(bool ok, std::string reason, int errorNumber)
      : ok_(ok), reason_(std::move(reason)), errorNumber_(errorNumber) {}

  bool ok_;
  std::string reason_;
  int errorNumber_;
};

// What an operation that yields a value came to: the value, or the failed
// Status that says why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)), status_(Status::done()) {}
  Result(Status failure) : status_(std::move(failure)) { assert(!status_.ok()); }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  const std::string& reason() const { return status_.reason(); }

  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace erp2npx
