#pragma once
// One background thread with a job queue and a result queue. The owning thread submits jobs and
// polls results without blocking; cancel() invalidates everything submitted so far at once.
//
// T must be default-constructible and movable, with a `uint64_t generation` field (filled with
// the job's generation) and a `std::string error` field (filled when the job throws).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace pcv0930 {

// The error text of a job that failed without saying why.
inline constexpr const char* kBackgroundReadFailed = "后台读取失败";

template <typename T>
class Worker {
 public:
  // True once the job's result can no longer be delivered; jobs check it between units of work.
  using CancelToken = std::function<bool()>;
  using JobFunction = std::function<T(const CancelToken& cancelled)>;

  Worker() : thread_([this] { run(); }) {}

  ~Worker() {
    cancel();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  Worker(Worker&&) = delete;
  Worker& operator=(Worker&&) = delete;

  // front: run this job before everything already waiting.
  void submit(JobFunction job, bool front = false) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Job entry{generation_.load(), std::move(job)};
      if (front) {
        jobs_.push_front(std::move(entry));
      } else {
        jobs_.push_back(std::move(entry));
      }
    }
    wake_.notify_one();
  }

  bool poll(T& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (results_.empty()) return false;
    out = std::move(results_.front());
    results_.pop_front();
    return true;
  }

  void cancel() {
    // Bumped before the lock: a running job that finishes now sees it when it publishes.
    generation_.fetch_add(1);
    std::deque<Job> droppedJobs;
    std::deque<T> droppedResults;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      droppedJobs.swap(jobs_);
      droppedResults.swap(results_);
    }
    // Destroyed here, outside the lock, in case what they hold calls back into this worker.
  }

 private:
  struct Job {
    uint64_t generation = 0;
    JobFunction function;
  };

  static T runJob(const JobFunction& function, const CancelToken& cancelled) {
    T result{};
    try {
      result = function(cancelled);
    } catch (const std::exception& failure) {
      const std::string message = failure.what();
      result.error = message.empty() ? kBackgroundReadFailed : message;
    } catch (...) {
      result.error = kBackgroundReadFailed;
    }
    return result;
  }

  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      const uint64_t generation = job.generation;
      const CancelToken cancelled = [this, generation] { return generation_.load() != generation; };
      if (cancelled()) continue;
      T result = runJob(job.function, cancelled);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!cancelled()) {
        result.generation = generation;
        results_.push_back(std::move(result));
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::deque<T> results_;
  std::atomic<uint64_t> generation_{1};
  bool stop_ = false;
  std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace pcv0930
