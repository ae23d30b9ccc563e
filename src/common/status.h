#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace erp2npx {

// What an operation that can fail came to: done, or the reason it was not,
// worded to follow "because" in a message that names the file or dataset.
class [[nodiscard]] Status {
 public:
  static Status done() { return Status(true, {}); }
  static Status failed(std::string reason) { return Status(false, std::move(reason)); }

  bool ok() const { return ok_; }
  const std::string& reason() const { return reason_; }

 private:
  Status(bool ok, std::string reason) : ok_(ok), reason_(std::move(reason)) {}

  bool ok_;
  std::string reason_;
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
