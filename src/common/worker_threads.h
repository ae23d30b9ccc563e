#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <thread>
#include <vector>

namespace erp2npx {

// Starts count threads running body. Interrupts are left to the calling
// thread, whose handler removes the files in progress.
template <typename Body>
std::vector<std::thread> startWorkers(size_t count, Body body) {
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, signalNumber);
  pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) threads.emplace_back(body);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return threads;
}

}  // namespace erp2npx
