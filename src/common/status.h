#pragma once

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

}  // namespace erp2npx
