// A small pool of threads for the disk calls of a run: on storage far away
// (a share, a disk over the network) each call is a round trip, and many in
// flight at once cost little more than one. Decisions stay on the thread
// that gives the jobs; it reads what they found back in its own order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
 public:
  // `threads` workers; with none, every job runs at once on the thread that
  // gives it, which makes the sequential engine the pool of size zero.
  explicit WorkerPool(size_t threads);
  // Waits for every job given, then ends the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  size_t Size() const { return threads_.size(); }
  void Submit(std::function<void()> job);
  // Returns once every job given so far has run.
  void Wait();

 private:
  void Serve();

  std::mutex mutex_;
  std::condition_variable work_;  // a job is waiting, or the pool ends
  std::condition_variable idle_;  // the last job given has run
  std::deque<std::function<void()>> jobs_;
  size_t unfinished_ = 0;  // given and not yet run to its end
  bool ending_ = false;
  std::vector<std::thread> threads_;
};

// How many workers a run uses: KOVREL_WORKERS when it is a number from 0 to
// 64, otherwise kDefaultWorkers.
size_t WorkerCount();
// The same for the variable's value (null when it is not set).
size_t WorkerCountFor(const char* value);
// Eight calls in flight take a share's round trips out of the run's time
// (a pass-through that waits 1 ms per call serves eight about as fast as
// sixteen) and cost a local disk nothing measurable: its calls take
// microseconds, and two cores are busy with eight threads waiting on them.
constexpr size_t kDefaultWorkers = 8;
