#include <malloc.h>

#include "driver/conversion_run.h"

int main() {
  // Buffers of a few megabytes come from the heap and stay there once freed:
  // a fresh mapping for each would fault in every page again, which is dear
  // on virtual machines.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  return erp2npx::runConversion();
}
