// Work done ahead of a program that walks a tree: the directories below the one it has just
// read are listed by a few background workers, on sessions the program is not using, so that
// its next steps find their listings in the cache. Only a hint: what is not done in time (no
// spare session, a failure) the program's own request does as before.
//
// Thread-safe; its lock is held only to queue and take names, never across the work itself.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Mutex.h"

class TPrefetcher {
 public:
  // work(item) does one item and returns false when it could not start (no spare session):
  // the queue is then left for later. Its exceptions are dropped. workers >= 1.
  TPrefetcher(std::function<bool(const std::string&)> work, int workers);
  // Drops what is queued and waits for the items being done. Never raises.
  ~TPrefetcher();
  TPrefetcher(const TPrefetcher&) = delete;
  TPrefetcher& operator=(const TPrefetcher&) = delete;

  // Queues the items not queued yet, behind those already waiting; past kMaxQueued the
  // oldest go (the walker has moved on).
  void Add(const std::vector<std::string>& items);

  static constexpr size_t kMaxQueued = 256;
  // An item that finds no spare session for this long is dropped.
  static constexpr int kGiveUpMs = 3000;

 private:
  void Work();

  std::function<bool(const std::string&)> work_;
  const int workerLimit_;
  veldra::TMutex mutex_;
  veldra::TCondition changed_;
  struct TItem {
    std::string name;
    std::chrono::steady_clock::time_point queuedAt;
  };
  std::deque<TItem> queue_ GUARDED_BY(mutex_);
  std::set<std::string> queued_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> workers_ GUARDED_BY(mutex_);  // started on the first Add
};
