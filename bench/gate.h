// A counting semaphore for pacing one thread by another; allocates nothing once built.
#pragma once

#include <condition_variable>
#include <mutex>

class Gate {
 public:
  void Post();
  // False when nothing was posted within timeoutMs.
  bool Wait(int timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  int count_ = 0;
};
