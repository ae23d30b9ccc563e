#include <iostream>

#include "check/command_line.h"

int main(int argc, char** argv) {
  return erp2npx::check::runNpxcheck(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                     std::cerr);
}
