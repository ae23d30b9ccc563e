#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace erp2npx {

// Starts one thread running body; throws, as std::thread does, when the
// system has no thread to give (a process limit, too little address space).
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// What a test changes to reach the failure paths of the queues made while it
// is in force: threads that cannot start, a job that throws. Empty members
// change nothing.
struct WorkFaults {
  ThreadStarter startThread;
  std::function<void()> beforeJob;  // runs where each job runs, just before it
};

// Puts faults in force for its lifetime, for the queues made meanwhile.
class ScopedWorkFaults {
 public:
  explicit ScopedWorkFaults(WorkFaults faults);
  ScopedWorkFaults(const ScopedWorkFaults&) = delete;
  ScopedWorkFaults& operator=(const ScopedWorkFaults&) = delete;
  ~ScopedWorkFaults();

 private:
  WorkFaults previous_;
};

const WorkFaults& workFaults();

// Starts up to count threads running body, as many as the system gives
// (std::system_error or std::bad_alloc says it gives no more).
// Interrupts are left to the calling thread, whose handler removes the files
// in progress; its signal mask is as before on return.
std::vector<std::thread> startWorkers(size_t count, const std::function<void()>& body,
                                      const ThreadStarter& start);

// Jobs done on worker threads and taken back on the calling thread in the
// order they were given, with at most bound of them not taken yet. The
// calling thread makes each job's work item (its buffers, what it covers),
// the job fills it in, and the calling thread gets it back together with the
// exception the job threw, if any. With no thread to be had, the calling
// thread does each job as it is given. The calling thread stays free for
// what must not run in parallel: the library's reads and the output.
template <typename Work>
class WorkQueue {
 public:
  using Job = std::function<void(Work&)>;
  using Take = std::function<void(Work&, std::exception_ptr failure)>;

  WorkQueue(size_t threads, size_t bound) : WorkQueue(threads, bound, workFaults().startThread) {}
  WorkQueue(size_t threads, size_t bound, const ThreadStarter& start)
      : bound_(bound < 1 ? 1 : bound), beforeJob_(workFaults().beforeJob) {
    // Started last: every member they use is there.
    threads_ = startWorkers(
        threads, [this] { run(); }, start);
  }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;
  ~WorkQueue() {
    stop();
    for (std::thread& thread : threads_) thread.join();
  }

  // The threads that could be started.
  size_t threads() const { return threads_.size(); }

  // Queues a job on its work item; while bound jobs are not taken yet, hands
  // the oldest to take first.
  void submit(Work work, Job job, const Take& take) {
    while (pending_.size() >= bound_) takeNext(take);
    pending_.push_back(Pending{std::move(work), {}, {}});
    // The deque keeps the item where it is while others come and go.
    Work& item = pending_.back().work;
    std::exception_ptr& failure = pending_.back().failure;
    // The job's exception travels beside the future, not in it: its last
    // owner is then always the calling thread, never a worker dropping the
    // task after the result was taken.
    std::packaged_task<void()> task([&item, &failure, job = std::move(job), before = beforeJob_] {
      try {
        if (before) before();
        job(item);
      } catch (...) {
        failure = std::current_exception();
      }
    });
    pending_.back().done = task.get_future();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;  // the job comes back failed
      if (!threads_.empty()) jobs_.push_back(std::move(task));
    }
    if (threads_.empty()) {
      task();
      return;
    }
    ready_.notify_one();
  }

  // Hands every job not taken yet to take, in order.
  void finish(const Take& take) {
    while (!pending_.empty()) takeNext(take);
  }

  // Jobs not started yet are dropped: they come back failed, never run.
  void stop() {
    std::deque<std::packaged_task<void()>> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      dropped.swap(jobs_);
    }
    ready_.notify_all();
  }

 private:
  struct Pending {
    Work work;
    std::future<void> done;
    std::exception_ptr failure;
  };

  void takeNext(const Take& take) {
    std::exception_ptr failure;
    try {
      pending_.front().done.get();
      failure = std::move(pending_.front().failure);
    } catch (...) {
      failure = std::current_exception();  // a job dropped unstarted
    }
    Work work = std::move(pending_.front().work);
    pending_.pop_front();
    take(work, failure);
  }

  void run() {
    for (;;) {
      std::packaged_task<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        task = std::move(jobs_.front());
        jobs_.pop_front();
      }
      task();
    }
  }

  const size_t bound_;
  const std::function<void()> beforeJob_;
  std::deque<Pending> pending_;  // the calling thread's
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace erp2npx
