#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace erp2npx {

// Keeps the values of a run valid for as long as it is held, so that a
// consumer may write them out later without a copy; empty where they are
// the caller's again once the call returns.
using ValuesHold = std::shared_ptr<const void>;

// Receives the samples of "/features" as they are read, in the order the
// file stores them: runs of consecutive values (value v of the epoch of
// stimulus s is value s * kEpochValues + v) narrowed to float32, and the runs
// that could not be read.
struct EpochConsumer {
  std::function<void(uint64_t firstValue, const float* values, size_t count,
                     const ValuesHold& hold)>
      values;
  std::function<void(uint64_t firstValue, uint64_t count, const std::string& reason)> failed;
};

// The same runs with the values as stored, before narrowing, for a reader
// that looks at them as they are.
struct StoredValueConsumer {
  std::function<void(uint64_t firstValue, const double* values, size_t count)> values;
  std::function<void(uint64_t firstValue, uint64_t count, const std::string& reason)> failed;
};

// A source of epochs as the walk takes them: hands every value of the epochs
// it holds to the consumer, once.
using EpochStream = std::function<void(const EpochConsumer& consumer)>;

// Round to nearest even; beyond the float range gives infinity, NaN stays NaN.
void narrowToFloat(const double* source, size_t count, float* target);

}  // namespace erp2npx
