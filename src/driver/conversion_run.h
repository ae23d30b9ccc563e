#pragma once

namespace erp2npx {

// The whole conversion: reads the input from the working directory, writes
// the output tree below it and reports on standard output. Returns 0 when
// everything that the input describes was written, 1 when something could
// not be converted (each such case is reported as it happens).
int runConversion();

}  // namespace erp2npx
