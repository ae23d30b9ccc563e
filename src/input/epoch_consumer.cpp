#include "input/epoch_consumer.h"

namespace erp2npx {

void narrowToFloat(const double* source, size_t count, float* target) {
  // The hardware conversion under the default rounding mode is exactly
  // round-to-nearest-even with overflow to infinity.
  for (size_t i = 0; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

}  // namespace erp2npx
