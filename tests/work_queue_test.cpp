#include "common/work_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "test_support.h"

namespace erp2npx {
namespace {

// Starts threads as std::thread does, except that the one numbered failing
// (from 0) and every one after it cannot start: over a process limit, or
// without the memory for a stack.
ThreadStarter failingFrom(size_t failing, std::atomic<size_t>& started, bool outOfMemory = false) {
  return [failing, &started, outOfMemory](std::function<void()> body) {
    if (started >= failing && outOfMemory) throw std::bad_alloc();
    if (started >= failing) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    ++started;
    return std::thread(std::move(body));
  };
}

// Jobs that square their number, taken back into a list.
struct Squares {
  std::vector<int> taken;
  std::vector<std::string> failures;
  void submit(WorkQueue<int>& queue, int n, std::function<void(int&)> job = {}) {
    if (!job) job = [](int& value) { value *= value; };
    queue.submit(n, std::move(job),
                 [this](int& value, std::exception_ptr failure) { take(value, failure); });
  }
  void finish(WorkQueue<int>& queue) {
    queue.finish([this](int& value, std::exception_ptr failure) { take(value, failure); });
  }
  void take(int value, std::exception_ptr failure) {
    if (!failure) {
      taken.push_back(value);
      return;
    }
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      failures.push_back(std::to_string(value) + ": " + error.what());
    }
  }
};

TEST(WorkQueue, TakesResultsInTheOrderGiven) {
  WorkQueue<int> queue(2, 4);
  // The first job ends only after the second has.
  std::promise<void> secondDone;
  std::shared_future<void> second = secondDone.get_future().share();
  Squares squares;
  squares.submit(queue, 1, [second](int& value) {
    second.wait();
    value = -value;
  });
  squares.submit(queue, 2, [&secondDone](int& value) {
    value *= value;
    secondDone.set_value();
  });
  for (int n = 3; n <= 20; ++n) squares.submit(queue, n);
  squares.finish(queue);
  std::vector<int> expected = {-1};
  for (int n = 2; n <= 20; ++n) expected.push_back(n * n);
  EXPECT_EQ(squares.taken, expected);
}

TEST(WorkQueue, HoldsNoMoreThanItsBoundUntaken) {
  WorkQueue<int> queue(2, 3);
  Squares squares;
  for (int n = 0; n < 10; ++n) {
    squares.submit(queue, n);
    // A fourth job waits for the oldest to be taken back.
    EXPECT_EQ(squares.taken.size(), static_cast<size_t>(n < 3 ? 0 : n - 2));
  }
  squares.finish(queue);
  EXPECT_EQ(squares.taken.size(), 10u);
}

TEST(WorkQueue, AJobsExceptionComesBackWithItsWorkAndNoOther) {
  for (const size_t threads : {0, 1, 3}) {
    std::atomic<size_t> started{0};
    WorkQueue<int> queue(threads, 4, failingFrom(threads, started));
    Squares squares;
    for (int n = 1; n <= 6; ++n) {
      squares.submit(queue, n, [](int& value) {
        if (value == 4) throw std::runtime_error("job four failed");
        value *= value;
      });
    }
    squares.finish(queue);
    EXPECT_EQ(squares.taken, (std::vector<int>{1, 4, 9, 25, 36})) << threads;
    EXPECT_EQ(squares.failures, (std::vector<std::string>{"4: job four failed"})) << threads;
  }
}

TEST(WorkQueue, ThreadsThatCannotStartLeaveTheWorkToTheOthers) {
  // The third thread fails, then none at all: the calling thread does the
  // jobs; then the second, for want of memory.
  for (const auto& [failing, outOfMemory] :
       {std::pair<size_t, bool>{2, false}, {0, false}, {1, true}}) {
    std::atomic<size_t> started{0};
    WorkQueue<int> queue(4, 2, failingFrom(failing, started, outOfMemory));
    EXPECT_EQ(queue.threads(), failing);
    Squares squares;
    for (int n = 0; n < 20; ++n) squares.submit(queue, n);
    squares.finish(queue);
    ASSERT_EQ(squares.taken.size(), 20u);
    for (int n = 0; n < 20; ++n) EXPECT_EQ(squares.taken[static_cast<size_t>(n)], n * n);
  }
  // No room even to list the threads: none is started. The sanitizers stop
  // a run at an allocation this large instead of failing it.
  if (!test::underSanitizer()) {
    EXPECT_TRUE(startWorkers(PTRDIFF_MAX / sizeof(std::thread) / 2, [] {}, {}).empty());
  }
}

int interruptBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, SIGINT);
}

TEST(WorkQueue, InterruptsReachOnlyTheCallingThreadWhateverStarts) {
  for (const size_t failing : {0, 1, 8}) {
    std::atomic<size_t> started{0};
    WorkQueue<int> queue(4, 4, failingFrom(failing, started));
    // The mask is as before, even when a thread failed to start.
    EXPECT_EQ(interruptBlocked(), 0) << failing;
    std::vector<int> blocked;
    for (int n = 0; n < 8; ++n) {
      queue.submit(
          n, [](int& value) { value = interruptBlocked(); },
          [&](int& value, std::exception_ptr) { blocked.push_back(value); });
    }
    queue.finish([&](int& value, std::exception_ptr) { blocked.push_back(value); });
    // Workers block interrupts; the calling thread, doing the jobs itself, does not.
    EXPECT_EQ(blocked, std::vector<int>(8, failing == 0 ? 0 : 1)) << failing;
  }
}

TEST(WorkQueue, StopDropsTheJobsNotStarted) {
  // The one worker waits at a gate before it takes its first job.
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  WorkQueue<int> queue(1, 8, [opened](std::function<void()> body) {
    return std::thread([opened, body] {
      opened.wait();
      body();
    });
  });
  std::atomic<int> ran{0};
  Squares squares;
  for (int n = 1; n <= 3; ++n) squares.submit(queue, n, [&ran](int&) { ++ran; });
  queue.stop();
  gate.set_value();
  squares.submit(queue, 4, [&ran](int&) { ++ran; });
  squares.finish(queue);
  EXPECT_EQ(ran.load(), 0);
  EXPECT_TRUE(squares.taken.empty());
  EXPECT_EQ(squares.failures.size(), 4u);
}

TEST(WorkQueue, FaultsInForceReachTheQueuesMadeMeanwhile) {
  std::atomic<int> jobs{0};
  {
    const ScopedWorkFaults faults(
        WorkFaults{[](std::function<void()>) -> std::thread {
                     throw std::system_error(std::make_error_code(std::errc::not_enough_memory));
                   },
                   [&jobs] {
                     if (++jobs == 2) throw std::runtime_error("injected");
                   }});
    WorkQueue<int> queue(3, 2);
    EXPECT_EQ(queue.threads(), 0u);
    Squares squares;
    for (int n = 1; n <= 3; ++n) squares.submit(queue, n);
    squares.finish(queue);
    EXPECT_EQ(squares.taken, (std::vector<int>{1, 9}));
    EXPECT_EQ(squares.failures, (std::vector<std::string>{"2: injected"}));
  }
  WorkQueue<int> queue(3, 2);
  EXPECT_EQ(queue.threads(), 3u);
}

}  // namespace
}  // namespace erp2npx
