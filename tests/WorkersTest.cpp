#include "Workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Every job has run when Wait returns, and what each wrote into its own slot
// reads back in the order the jobs were given, whatever order they ran in.
TEST(WorkerPool, JobsRunBeforeWaitReturnsAndReadBackInOrder) {
  for (size_t threads : {0, 1, 4}) {
    WorkerPool pool(threads);
    EXPECT_EQ(threads, pool.Size());
    std::vector<int> slots(200, -1);
    std::atomic<int> ran{0};
    for (int round = 0; round < 2; ++round) {
      for (size_t i = 0; i < slots.size(); ++i) {
        pool.Submit([&, i] {
          if (i % 7 == 0) std::this_thread::yield();
          slots[i] = static_cast<int>(i) * 3;
          ++ran;
        });
      }
      pool.Wait();
      EXPECT_EQ(200 * (round + 1), ran.load()) << threads << " threads";
      for (size_t i = 0; i < slots.size(); ++i) ASSERT_EQ(static_cast<int>(i) * 3, slots[i]);
    }
  }
}

TEST(WorkerPool, ZeroThreadsRunsEachJobOnTheCallersThread) {
  WorkerPool pool(0);
  std::thread::id ranOn;
  pool.Submit([&] { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(std::this_thread::get_id(), ranOn);
}

TEST(WorkerPool, EndingThePoolWaitsForItsJobs) {
  std::atomic<int> ran{0};
  {
    WorkerPool pool(3);
    for (int i = 0; i < 50; ++i) pool.Submit([&] { ++ran; });
  }
  EXPECT_EQ(50, ran.load());
}

// Jobs of one place never run more than two at once, and a job of another
// place runs beside them: three jobs of place 1 that wait for the job of
// place 2 given after them would all start on four free workers otherwise.
// That job waits until two of them run, so that it cannot pass them all.
TEST(WorkerPool, JobsOfOnePlaceRunTwoAtATimeAndOthersPassThem) {
  WorkerPool pool(4);
  std::mutex mutex;
  std::condition_variable changed;
  bool otherRan = false;
  int running = 0;
  int most = 0;
  for (int i = 0; i < 3; ++i) {
    pool.Submit(
        [&] {
          std::unique_lock<std::mutex> lock(mutex);
          most = std::max(most, ++running);
          changed.notify_all();
          changed.wait(lock, [&] { return otherRan; });
          --running;
        },
        1);
  }
  pool.Submit(
      [&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return running >= 2; });
        otherRan = true;
        changed.notify_all();
      },
      2);
  pool.Wait();
  EXPECT_EQ(2, most);
}

// Jobs given as first run before those waiting, in the order given, and a
// group's Wait returns once its own jobs ran while another job still runs
// (it would never return if it waited for that one).
TEST(WorkerPool, FirstJobsGoAheadAndAGroupWaitsForItsOwn) {
  WorkerPool pool(1);
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  const auto gate = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return open; });
  };
  pool.Submit(gate);
  std::vector<int> order;
  const auto note = [&](int n) {
    return [&, n] {
      const std::lock_guard<std::mutex> lock(mutex);
      order.push_back(n);
    };
  };
  pool.Submit(note(1));
  pool.Submit(note(2));
  JobGroup group(pool);
  group.Submit(note(3), 0, true);
  group.Submit(note(4), 0, true);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    open = true;
  }
  changed.notify_all();
  pool.Wait();
  EXPECT_EQ((std::vector<int>{3, 4, 1, 2}), order);

  open = false;
  WorkerPool two(2);
  two.Submit(gate);
  JobGroup own(two);
  std::atomic<bool> ran{false};
  own.Submit([&] { ran = true; });
  own.Wait();
  EXPECT_TRUE(ran);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    open = true;
  }
  changed.notify_all();
}

TEST(WorkerPool, CountComesFromTheVariableWithinBounds) {
  const struct {
    const char* value;  // null: not set
    size_t count;
  } cases[] = {{nullptr, kDefaultWorkers},
               {"", kDefaultWorkers},
               {"0", 0},
               {"16", 16},
               {"64", 64},
               {"65", kDefaultWorkers},
               {"-1", kDefaultWorkers},
               {"4x", kDefaultWorkers}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.count, WorkerCountFor(c.value)) << (c.value ? c.value : "(not set)");
  }
}

}  // namespace
