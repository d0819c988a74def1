// A small pool of threads for the disk calls of a run: on storage far away
// (a share, a disk over the network) each call is a round trip, and many in
// flight at once cost little more than one. Decisions stay on the thread
// that gives the jobs; it reads what they found back in its own order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ThreadSafety.h"

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
  // `place` (0: none) names where the job works, such as a directory: at
  // most kPerPlace jobs of one place run at once, and the workers take on
  // jobs of other places beside them. On Linux a directory's name changes
  // go one at a time, so further workers there would only wait. `first`:
  // the job goes before those given without it.
  void Submit(std::function<void()> job, size_t place = 0, bool first = false) EXCLUDES(mutex_);
  // Returns once every job given so far has run.
  void Wait() EXCLUDES(mutex_);

 private:
  struct Job {
    size_t place;
    std::function<void()> run;
  };
  static constexpr size_t kPerPlace = 2;
  // How far down the queue a worker looks for a job it may run.
  static constexpr size_t kLookAhead = 512;

  void Serve() EXCLUDES(mutex_);
  // The first job in the queue that may run now, or jobs_.end().
  std::deque<Job>::iterator NextJob() REQUIRES(mutex_);

  Mutex mutex_;
  std::condition_variable work_;  // a job is waiting, or the pool ends
  std::condition_variable idle_;  // the last job given has run
  std::deque<Job> jobs_ GUARDED_BY(mutex_);
  // The jobs at the front of jobs_ given as `first`.
  size_t firsts_ GUARDED_BY(mutex_) = 0;
  std::unordered_map<size_t, size_t> busy_ GUARDED_BY(mutex_);  // jobs running, by place
  size_t unfinished_ GUARDED_BY(mutex_) = 0;                    // given and not yet run to its end
  bool ending_ GUARDED_BY(mutex_) = false;
  // Filled by the constructor and only read after, until the destructor
  // joins them; the workers never touch it.
  std::vector<std::thread> threads_;
};

// Jobs given to a pool as one group, so that one can wait for them while
// the pool runs others too. It waits for its jobs before it goes.
class JobGroup {
 public:
  explicit JobGroup(WorkerPool& pool) : pool_(pool) {}
  ~JobGroup() { Wait(); }
  JobGroup(const JobGroup&) = delete;
  JobGroup& operator=(const JobGroup&) = delete;

  void Submit(std::function<void()> job, size_t place = 0, bool first = false) EXCLUDES(mutex_);
  // Returns once every job of the group given so far has run.
  void Wait() EXCLUDES(mutex_);

 private:
  WorkerPool& pool_;
  Mutex mutex_;
  std::condition_variable done_;
  size_t unfinished_ GUARDED_BY(mutex_) = 0;
};

// How many workers a run uses: KOVREL_WORKERS when it is a number from 0 to
// 64, otherwise kDefaultWorkers.
size_t WorkerCount();
// The same for the variable's value (null when it is not set).
size_t WorkerCountFor(const char* value);
// Eight writers take most of a share's round trips out of a first backup
// (sixteen did better still at 1 ms a call), while on a local disk with two
// cores sixteen made a first backup slower; the readers and the stage workers,
// which only wait, are twice as many.
constexpr size_t kDefaultWorkers = 8;
