#include "driver/conversion_run.h"

// Arguments are ignored: every name and constant of the conversion is fixed.
int main() { return erp2npx::runConversion(); }
