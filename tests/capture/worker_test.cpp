#include "worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "load_progress.h"

using pcv0930::LoadProgress;

namespace {

struct Event {
  uint64_t generation = 0;
  std::string error;
  int value = -1;
};

using TestWorker = pcv0930::Worker<Event>;
using Token = TestWorker::CancelToken;

constexpr auto kPatience = std::chrono::seconds(20);

// A job that reports when it starts and then blocks until the test opens the gate.
class Gate {
 public:
  TestWorker::JobFunction job(int value) {
    return [this, value](const Token& cancelled) {
      started_.set_value();
      open_.wait();
      sawCancel_.set_value(cancelled());
      return Event{0, "", value};
    };
  }
  void waitStarted() { ASSERT_EQ(startedFuture_.wait_for(kPatience), std::future_status::ready); }
  void open() { opener_.set_value(); }
  // Whether the job's token said "cancelled" when the gate opened.
  bool sawCancel() { return sawCancelFuture_.get(); }

 private:
  std::promise<void> started_, opener_;
  std::promise<bool> sawCancel_;
  std::future<void> startedFuture_ = started_.get_future();
  std::shared_future<void> open_ = opener_.get_future().share();
  std::future<bool> sawCancelFuture_ = sawCancel_.get_future();
};

TestWorker::JobFunction returning(int value) {
  return [value](const Token&) { return Event{0, "", value}; };
}

// Polls until a result arrives; jobs run on a real thread, so there is no moment to wait for.
Event nextResult(TestWorker& worker) {
  Event event;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!worker.poll(event)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "no result arrived";
      return {};
    }
    std::this_thread::yield();
  }
  return event;
}

// Runs a gate job through the worker: when it has started, every job queued before it has
// finished and published its result. The gate stays closed until the caller opens it.
void reachBarrier(TestWorker& worker, Gate& barrier) {
  worker.submit(barrier.job(0));
  barrier.waitStarted();
}

TEST(Worker, RunsJobsInOrderAndStampsTheirGeneration) {
  TestWorker worker;
  Event none;
  EXPECT_FALSE(worker.poll(none));
  for (int value : {1, 2, 3}) worker.submit(returning(value));
  for (int value : {1, 2, 3}) {
    const Event event = nextResult(worker);
    EXPECT_EQ(event.value, value);
    EXPECT_EQ(event.generation, 1u);
    EXPECT_TRUE(event.error.empty());
  }
  EXPECT_FALSE(worker.poll(none));
}

TEST(Worker, CancelDropsRunningQueuedAndUnpolledResults) {
  TestWorker worker;
  worker.submit(returning(10));  // finished, not yet polled when cancel comes
  Gate running;
  worker.submit(running.job(11));
  running.waitStarted();
  std::atomic<bool> queuedRan{false};
  worker.submit([&queuedRan](const Token&) {
    queuedRan = true;
    return Event{0, "", 12};
  });

  worker.cancel();
  running.open();  // the running job finishes only now, after the cancel
  EXPECT_TRUE(running.sawCancel());

  Gate barrier;
  reachBarrier(worker, barrier);
  Event event;
  EXPECT_FALSE(worker.poll(event)) << "result " << event.value << " survived the cancel";
  barrier.open();
  event = nextResult(worker);
  EXPECT_EQ(event.value, 0);
  EXPECT_EQ(event.generation, 2u) << "a job submitted after cancel carries the new generation";
  EXPECT_FALSE(queuedRan);
}

TEST(Worker, SubmitAfterCancelRuns) {
  TestWorker worker;
  worker.cancel();
  worker.cancel();
  worker.submit(returning(5));
  const Event event = nextResult(worker);
  EXPECT_EQ(event.value, 5);
  EXPECT_EQ(event.generation, 3u);
}

TEST(Worker, FrontSubmissionRunsNext) {
  TestWorker worker;
  Gate first;
  worker.submit(first.job(1));
  first.waitStarted();
  worker.submit(returning(2));
  worker.submit(returning(3));
  worker.submit(returning(4), true);
  first.open();
  std::vector<int> order;
  for (int i = 0; i < 4; ++i) order.push_back(nextResult(worker).value);
  EXPECT_EQ(order, (std::vector<int>{1, 4, 2, 3}));
}

// An exception whose message is empty.
struct Silent : std::exception {
  const char* what() const noexcept override { return ""; }
};

TEST(Worker, ThrowingJobsYieldADefaultResultWithTheError) {
  struct Case {
    const char* name;
    std::function<void()> thrower;
    std::string error;
  };
  const Case cases[] = {
      {"standard exception", [] { throw std::runtime_error("磁盘已满"); }, "磁盘已满"},
      {"standard exception without a message", [] { throw Silent(); }, "后台读取失败"},
      {"non-standard exception", [] { throw 42; }, "后台读取失败"},
      {"empty job function", {}, std::bad_function_call().what()},
  };
  TestWorker worker;
  for (const Case& c : cases) {
    if (c.thrower) {
      worker.submit([thrower = c.thrower](const Token&) -> Event {
        thrower();
        return Event{0, "", 99};
      });
    } else {
      worker.submit({});
    }
    const Event event = nextResult(worker);
    EXPECT_EQ(event.error, c.error) << c.name;
    EXPECT_EQ(event.value, -1) << c.name;
    EXPECT_EQ(event.generation, 1u) << c.name;
  }
}

TEST(Worker, DestructorCancelsAndWaitsForTheRunningJob) {
  auto worker = std::make_unique<TestWorker>();
  std::promise<void> started;
  std::atomic<bool> finished{false};
  std::atomic<bool> observedCancel{false};
  std::atomic<bool> queuedRan{false};
  worker->submit([&](const Token& cancelled) {
    started.set_value();
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!cancelled() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    observedCancel = cancelled();
    finished = true;
    return Event{};
  });
  worker->submit([&queuedRan](const Token&) {
    queuedRan = true;
    return Event{};
  });
  started.get_future().wait();
  worker.reset();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(observedCancel);
  EXPECT_FALSE(queuedRan);
}

TEST(LoadProgress, AdvanceMapsStagesAndNeverLowersProgress) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Step {
    int stage;
    uint64_t done, total;
    int progress;  // expected after the step
  };
  const Step steps[] = {
      {1, 0, 0, 0},         {1, 13, 100, 845},     {1, 1, 3, 2166},       {1, 50, 100, 3250},
      {1, 100, 100, 6500},  {1, 50, 100, 6500},    {2, 0, 10, 6500},      {2, 1, 2, 8150},
      {2, 7, 5, 9800},      {0, 1, 1, 9800},       {3, 1, 2, 9900},       {3, kMax - 1, kMax, 9999},
      {3, kMax, kMax, 10000}, {9, 1, 1, 10000},
  };
  LoadProgress progress;
  for (const Step& step : steps) {
    progress.advance(step.stage, step.done, step.total);
    EXPECT_EQ(progress.progress, step.progress) << step.stage << " " << step.done << "/" << step.total;
    EXPECT_EQ(progress.stage, step.stage);
  }

  LoadProgress ahead;
  ahead.progress = 7000;
  ahead.advance(1, 50, 100);
  EXPECT_EQ(ahead.progress, 7000);
  EXPECT_EQ(ahead.stage, 1);

  LoadProgress exact;
  exact.advance(1, kMax - 1, kMax);
  EXPECT_EQ(exact.progress, 6499);
}

TEST(LoadProgress, ConcurrentAdvancesOnlyRaiseProgress) {
  constexpr uint64_t kSteps = 20000;
  LoadProgress progress;
  std::atomic<bool> writing{true};
  std::atomic<bool> lowered{false};
  std::thread reader([&] {
    int last = 0;
    while (writing) {
      const int now = progress.progress;
      if (now < last) lowered = true;
      last = now;
    }
  });
  std::thread upward([&] {
    for (uint64_t i = 0; i <= kSteps; ++i) progress.advance(2, i, kSteps);
  });
  std::thread downward([&] {
    for (uint64_t i = kSteps + 1; i-- > 0;) progress.advance(1, i, kSteps);
  });
  upward.join();
  downward.join();
  writing = false;
  reader.join();
  EXPECT_FALSE(lowered);
  EXPECT_EQ(progress.progress, 9800);
}

}  // namespace
