// The worker pool of a run.
#include "Workers.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

WorkerPool::WorkerPool(size_t threads) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
}

WorkerPool::~WorkerPool() {
  Wait();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
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
    const std::lock_guard<std::mutex> lock(mutex_);
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
  const auto next = std::find_if(jobs_.begin(), end, [this](const Job& job) {
    if (job.place == 0) return true;
    const auto at = busy_.find(job.place);
    return at == busy_.end() || at->second < kPerPlace;
  });
  return next == end ? jobs_.end() : next;
}

void WorkerPool::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return unfinished_ == 0; });
}

void WorkerPool::Serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    std::deque<Job>::iterator next;
    work_.wait(lock, [&] {
      if (ending_ && jobs_.empty()) return true;
      next = NextJob();
      return next != jobs_.end();
    });
    if (jobs_.empty()) return;
    Job job = std::move(*next);
    if (static_cast<size_t>(next - jobs_.begin()) < firsts_) --firsts_;
    jobs_.erase(next);
    if (job.place != 0) ++busy_[job.place];
    lock.unlock();
    job.run();
    job.run = nullptr;  // what the job holds goes before it counts as run
    lock.lock();
    if (job.place != 0 && --busy_[job.place] == 0) busy_.erase(job.place);
    if (--unfinished_ == 0) idle_.notify_all();
    // A job of the same place may have waited for this one.
    if (job.place != 0) work_.notify_all();
  }
}

void JobGroup::Submit(std::function<void()> job, size_t place, bool first) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++unfinished_;
  }
  pool_.Submit(
      [this, job = std::move(job)]() mutable {
        job();
        job = nullptr;  // what the job holds goes before it counts as run
        const std::lock_guard<std::mutex> lock(mutex_);
        if (--unfinished_ == 0) done_.notify_all();
      },
      place, first);
}

void JobGroup::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return unfinished_ == 0; });
}

size_t WorkerCount() { return WorkerCountFor(std::getenv("KOVREL_WORKERS")); }

size_t WorkerCountFor(const char* text) {
  if (!text || !*text) return kDefaultWorkers;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < 0 || n > 64) return kDefaultWorkers;
  return static_cast<size_t>(n);
}
