// Per-connection limits: a token bucket for the message rate, and a count of refusals after
// which a connection that keeps breaking the rules is closed.
#pragma once

#include <chrono>
#include <cstdint>

namespace lobby {

struct LimitSettings {
  double messagesPerSecond = 50;  // sustained
  double burst = 100;             // how many may come at once after a quiet spell
  uint32_t maxLoginFailures = 3;
  uint32_t maxRefusalsInARow = 200;  // messages dropped for the rate before the connection goes
  std::chrono::milliseconds loginWithin{10000};
  size_t maxQueuedBytes = 4u << 20;  // unsent events for one slow reader before it is dropped
};

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateLimit(const LimitSettings& settings)
      : rate_(settings.messagesPerSecond),
        burst_(settings.burst),
        tokens_(settings.burst),
        last_(Clock::now()) {}
  // True when one more message may pass now.
  bool Take(Clock::time_point now = Clock::now());

 private:
  double rate_;
  double burst_;
  double tokens_;
  Clock::time_point last_;
};

}  // namespace lobby
