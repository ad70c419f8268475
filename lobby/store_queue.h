// Store calls off the event loop. One thread of its own makes them, in the order they came,
// from a bounded queue, and each answer comes back on the loop. A request still unanswered at
// its deadline is answered then, as failed, and skipped if it has not started: a stalled store
// (Redis paused, a disk that hangs) holds up only the requests that need it, while Pings,
// events and every other connection keep flowing.
#pragma once

#include "net.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "admin/metrics.h"
#include "store.h"

namespace lobby {

// What the store's calls took and how they failed; read and written on the loop.
struct StoreStats {
  Histogram callTime{
      {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5}};
  uint64_t failed = 0;  // the store said no (Redis down, a SQLite error)
  uint64_t late = 0;    // no answer within the deadline
  uint64_t full = 0;    // the queue was full
};

class StoreQueue {
 public:
  // Runs on the store's thread. It must hold plain data only (no session, nothing of the
  // loop's), since it may be destroyed on either thread.
  using Work = std::function<bool(Store& store, std::string* error)>;
  // Runs on the loop, once: ok false when the work failed, the queue was full, or the deadline
  // passed first; error says which.
  using Done = std::function<void(bool ok, const std::string& error)>;

  StoreQueue(asio::io_context& io, Store& store, size_t capacity,
             std::chrono::milliseconds deadline);
  ~StoreQueue();
  StoreQueue(const StoreQueue&) = delete;
  StoreQueue& operator=(const StoreQueue&) = delete;
  // Called on the loop.
  void Run(Work work, Done done);
  // Ends the thread; requests still queued get no answer.
  void Stop();
  const StoreStats& Stats() const { return stats_; }

 private:
  struct Reply;
  struct Job;
  void Serve();
  static void Answer(Reply& reply, bool ok, const std::string& error);
  StoreStats stats_;

  asio::io_context& io_;
  Store& store_;
  size_t capacity_;
  std::chrono::milliseconds deadline_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace lobby
