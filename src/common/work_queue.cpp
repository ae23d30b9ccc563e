#include "common/work_queue.h"

#include <pthread.h>
#include <signal.h>

#include <new>
#include <system_error>

namespace erp2npx {

namespace {

WorkFaults& faultsInForce() {
  static WorkFaults faults;
  return faults;
}

// Blocks the interrupts on the calling thread for its lifetime, so that
// threads started meanwhile inherit the block, and restores the mask on any
// way out.
class InterruptsBlocked {
 public:
  InterruptsBlocked() {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupts, signalNumber);
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous_);
  }
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;
  ~InterruptsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

}  // namespace

ScopedWorkFaults::ScopedWorkFaults(WorkFaults faults)
    : previous_(std::exchange(faultsInForce(), std::move(faults))) {}

ScopedWorkFaults::~ScopedWorkFaults() { faultsInForce() = std::move(previous_); }

const WorkFaults& workFaults() { return faultsInForce(); }

std::vector<std::thread> startWorkers(size_t count, const std::function<void()>& body,
                                      const ThreadStarter& start) {
  std::vector<std::thread> threads;
  // Room first: a started thread must never meet a failing push_back.
  try {
    threads.reserve(count);
  } catch (const std::bad_alloc&) {
    return threads;
  }
  const InterruptsBlocked blocked;
  // Those started do the work; with none, the calling thread does.
  for (size_t i = 0; i < count; ++i) {
    try {
      threads.push_back(start ? start(body) : std::thread(body));
    } catch (const std::system_error&) {
      break;
    } catch (const std::bad_alloc&) {
      break;
    }
  }
  return threads;
}

}  // namespace erp2npx
