#include <exception>
#include <iostream>

#include "common/messages.h"
#include "npxcheck/command_line.h"

int main(int argc, char** argv) {
  try {
    return erp2npx::npxcheck::runNpxcheck(std::vector<std::string>(argv + 1, argv + argc),
                                          std::cout, std::cerr);
  } catch (const std::exception& error) {
    // A check that could not be finished finds no tree sound.
    std::cout.flush();
    std::cerr << erp2npx::msg::runStopped("npxcheck", error.what()) << '\n';
    return erp2npx::npxcheck::kExitProblems;
  }
}
