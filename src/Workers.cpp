// The worker pool of a run.
#include "Workers.h"

#include <cstddef>
#include <cstdlib>

WorkerPool::WorkerPool(size_t threads) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
}

WorkerPool::~WorkerPool() {
  Wait();
  {
    const MutexLock lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::Submit(std::function<void()> job, size_t place, bool first) {
  if (threads_.empty()) {
    job();
    return;
  }
  {
    const MutexLock lock(mutex_);
    if (first) {
      jobs_.insert(jobs_.begin() + static_cast<std::ptrdiff_t>(firsts_++), {place, std::move(job)});
    } else {
      jobs_.push_back({place, std::move(job)});
    }
    ++unfinished_;
  }
  work_.notify_one();
}

std::deque<WorkerPool::Job>::iterator WorkerPool::NextJob() {
  const auto end = jobs_.size() > kLookAhead ? jobs_.begin() + kLookAhead : jobs_.end();
  for (auto job = jobs_.begin(); job != end; ++job) {
    if (job->place == 0) return job;
    const auto at = busy_.find(job->place);
    if (at == busy_.end() || at->second < kPerPlace) return job;
  }
  return jobs_.end();
}

void WorkerPool::Wait() {
  const MutexLock lock(mutex_);
  while (unfinished_ != 0) mutex_.Wait(idle_);
}

void WorkerPool::Serve() {
  const MutexLock lock(mutex_);
  for (;;) {
    // Until a job may run, or the pool ends with none left.
    std::deque<Job>::iterator next;
    while (!(ending_ && jobs_.empty()) && (next = NextJob()) == jobs_.end()) mutex_.Wait(work_);
    if (jobs_.empty()) return;
    Job job = std::move(*next);
    if (static_cast<size_t>(next - jobs_.begin()) < firsts_) --firsts_;
    jobs_.erase(next);
    if (job.place != 0) ++busy_[job.place];
    mutex_.unlock();  // the job runs without it
    job.run();
    job.run = nullptr;  // what the job holds goes before it counts as run
    mutex_.lock();
    if (job.place != 0 && --busy_[job.place] == 0) busy_.erase(job.place);
    if (--unfinished_ == 0) idle_.notify_all();
    // A job of the same place may have waited for this one.
    if (job.place != 0) work_.notify_all();
  }
}

void JobGroup::Submit(std::function<void()> job, size_t place, bool first) {
  {
    const MutexLock lock(mutex_);
    ++unfinished_;
  }
  pool_.Submit(
      [this, job = std::move(job)]() mutable {
        job();
        job = nullptr;  // what the job holds goes before it counts as run
        const MutexLock lock(mutex_);
        if (--unfinished_ == 0) done_.notify_all();
      },
      place, first);
}

void JobGroup::Wait() {
  const MutexLock lock(mutex_);
  while (unfinished_ != 0) mutex_.Wait(done_);
}

size_t WorkerCount() { return WorkerCountFor(std::getenv("KOVREL_WORKERS")); }

size_t WorkerCountFor(const char* text) {
  if (!text || !*text) return kDefaultWorkers;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < 0 || n > 64) return kDefaultWorkers;
  return static_cast<size_t>(n);
}
