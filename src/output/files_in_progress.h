#pragma once

#include <signal.h>

#include <cstddef>
#include <string>

namespace erp2npx {

// The temporary files in progress, which an interrupt (Ctrl-C, a termination
// request) removes before the process ends as it would have. One thread, the
// one that creates the output files, registers and withdraws them; the
// threads of the work queues hold the interrupts off, so the handler only
// ever breaks into that thread.

// Makes an interrupt remove every file registered and not withdrawn.
void removePartialFilesOnInterrupt();

// Registers a file that an interrupt is to remove; the registration, from 1,
// to withdraw it by.
size_t registerFileInProgress(const std::string& path);
// Withdraws a registration; 0 is none.
void withdrawFileInProgress(size_t registration);

// Holds off the interrupts whose handler removes the files in progress, so
// that the steps taken meanwhile (a file and its header renamed into place)
// are done whole or not begun. A pending interrupt strikes when it ends.
class InterruptsHeld {
 public:
  InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
  ~InterruptsHeld();

 private:
  sigset_t previous_;
};

}  // namespace erp2npx
