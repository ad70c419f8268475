// Monotonic milliseconds and the deadlines that the waits of the POSIX side count down.
#pragma once

#include <poll.h>
#include <time.h>

#include <cstdint>

namespace posix {

inline int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A deadline timeoutMs from now; -1 for none.
inline int64_t Deadline(uint32_t timeoutMs, uint32_t infinite) {
  return timeoutMs == infinite ? -1 : NowMs() + timeoutMs;
}

// Milliseconds left before a deadline, as poll() takes them; -1 for no deadline.
inline int Remaining(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

inline void SleepUntil(int64_t deadline) {
  int left;
  while ((left = Remaining(deadline)) > 0) poll(nullptr, 0, left);
}

}  // namespace posix
