#include <malloc.h>

#include "driver/conversion_run.h"

int main() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  return erp2npx::runConversion();
}
