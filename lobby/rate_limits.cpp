#include "rate_limits.h"

#include <algorithm>

namespace lobby {

bool RateLimit::Take(Clock::time_point now) {
  std::chrono::duration<double> elapsed = now - last_;
  last_ = now;
  tokens_ = std::min(burst_, tokens_ + elapsed.count() * rate_);
  if (tokens_ < 1) return false;
  tokens_ -= 1;
  return true;
}

}  // namespace lobby
