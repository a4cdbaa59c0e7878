#include "device/Prefetcher.h"

TPrefetcher::TPrefetcher(std::function<bool(const std::string&)> work, int workers)
    : work_(std::move(work)), workerLimit_(workers < 1 ? 1 : workers) {}

TPrefetcher::~TPrefetcher() {
  std::vector<std::thread> workers;
  {
    veldra::TMutexLock lock(mutex_);
    stopping_ = true;
    queue_.clear();
    queued_.clear();
    workers.swap(workers_);
  }
  changed_.NotifyAll();
  for (std::thread& worker : workers) worker.join();
}

void TPrefetcher::Add(const std::vector<std::string>& items) {
  {
    veldra::TMutexLock lock(mutex_);
    if (stopping_) return;
    for (const std::string& item : items) {
      if (!queued_.insert(item).second) continue;
      queue_.push_back({item, std::chrono::steady_clock::now()});
      if (queue_.size() > kMaxQueued) {
        queued_.erase(queue_.front().name);
        queue_.pop_front();
      }
    }
    while (static_cast<int>(workers_.size()) < workerLimit_ && workers_.size() < queue_.size()) {
      workers_.emplace_back([this] { Work(); });
    }
  }
  changed_.NotifyAll();
}

void TPrefetcher::Work() {
  // A worker that found no spare session waits a little before it tries again; one that has
  // nothing to do waits for Add. Both waits are short so that a stop is seen at once.
  constexpr auto kRetry = std::chrono::milliseconds(50);
  constexpr auto kIdle = std::chrono::milliseconds(500);
  veldra::TMutexLock lock(mutex_);
  while (!stopping_) {
    if (queue_.empty()) {
      changed_.WaitFor(mutex_, kIdle);
      continue;
    }
    TItem item = queue_.front();
    queue_.pop_front();
    lock.Unlock();
    bool started = true;
    try {
      started = work_(item.name);
    } catch (...) {
      // A hint only: the program's own request meets the failure again and reports it.
    }
    lock.Lock();
    const bool stale =
        std::chrono::steady_clock::now() - item.queuedAt > std::chrono::milliseconds(kGiveUpMs);
    if (started || stale || stopping_) {
      queued_.erase(item.name);
    } else {
      queue_.push_front(std::move(item));
      changed_.WaitFor(mutex_, kRetry);
    }
  }
}
