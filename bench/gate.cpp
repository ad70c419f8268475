#include "gate.h"

#include <chrono>

void Gate::Post() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++count_;
  }
  posted_.notify_one();
}

bool Gate::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!posted_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return count_ > 0; }))
    return false;
  --count_;
  return true;
}
