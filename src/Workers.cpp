// The worker pool of a run.
#include "Workers.h"

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

void WorkerPool::Submit(std::function<void()> job) {
  if (threads_.empty()) {
    job();
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    ++unfinished_;
  }
  work_.notify_one();
}

void WorkerPool::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return unfinished_ == 0; });
}

void WorkerPool::Serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // what the job holds goes before it counts as run
    lock.lock();
    if (--unfinished_ == 0) idle_.notify_all();
  }
}

size_t WorkerCount() { return WorkerCountFor(std::getenv("KOVREL_WORKERS")); }

size_t WorkerCountFor(const char* text) {
  if (!text || !*text) return kDefaultWorkers;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < 0 || n > 64) return kDefaultWorkers;
  return static_cast<size_t>(n);
}
