#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "common/worker_threads.h"

namespace erp2npx {

// Jobs done on worker threads and taken back on the calling thread in the
// order they were given, with a bounded number in flight. The calling thread
// stays free for what must not run in parallel: the library's reads and the
// writes of the output.
template <typename Result>
class OrderedWork {
 public:
  using Job = std::function<Result()>;
  using Take = std::function<void(Result&)>;

  // The threads start once every member they use is there.
  OrderedWork(size_t workers, size_t inFlight) : limit_(inFlight < 1 ? 1 : inFlight) {
    threads_ = startWorkers(workers, [this] { work(); });
  }
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;
  ~OrderedWork() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    jobReady_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  // Queues a job; while too many are in flight, hands the oldest results to
  // take first.
  void submit(Job job, const Take& take) {
    while (submitted_ - taken_ >= limit_) takeNext(take);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.emplace_back(submitted_++, std::move(job));
    }
    jobReady_.notify_one();
  }

  // Hands every result not yet taken to take, in order.
  void finish(const Take& take) {
    while (taken_ < submitted_) takeNext(take);
  }

 private:
  void takeNext(const Take& take) {
    std::unique_lock<std::mutex> lock(mutex_);
    resultReady_.wait(lock, [this] { return results_.count(taken_) != 0; });
    Result result = std::move(results_.at(taken_));
    results_.erase(taken_);
    ++taken_;
    lock.unlock();
    take(result);
  }

  void work() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto [number, job] = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      Result result = job();
      lock.lock();
      results_.emplace(number, std::move(result));
      lock.unlock();
      resultReady_.notify_all();
    }
  }

  const size_t limit_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::condition_variable resultReady_;
  std::deque<std::pair<uint64_t, Job>> jobs_;
  std::map<uint64_t, Result> results_;
  uint64_t submitted_ = 0;  // by the calling thread only
  uint64_t taken_ = 0;
  bool stopping_ = false;
};

}  // namespace erp2npx
