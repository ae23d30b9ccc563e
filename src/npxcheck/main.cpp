#include <iostream>

#include "npxcheck/command_line.h"

int main(int argc, char** argv) {
  return erp2npx::npxcheck::runNpxcheck(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                        std::cerr);
}
