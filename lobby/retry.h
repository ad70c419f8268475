// When to try again, for clients of the lobby server (meetpoint's relay, the load tool). A
// server that can't take a login now says when to come back in its Error's detail, in the one
// form "retry after N ms"; a client waits that long, spread a little at random, so that a
// crowd turned away together does not return together. Without such a hint a client backs
// off from a first pause, doubling to a longest one, each pause drawn at random from its upper
// half.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace lobby {

// "retry after N ms"
std::string RetryAfterText(uint32_t ms);
// The N of a detail that ends in "retry after N ms"; false when it has none.
bool ParseRetryAfter(const std::string& detail, uint32_t* ms);

class Backoff {
 public:
  Backoff(uint32_t firstMs, uint32_t longestMs);
  // The pause before the next try: between half and all of the current step, which then
  // doubles up to the longest.
  uint32_t Next();
  // The pause for a server's "retry after N ms": N to N + N/4.
  uint32_t After(uint32_t ms);
  // After a success: the next pause is the first one again.
  void Reset() { step_ = first_; }
  uint32_t Longest() const { return longest_; }

 private:
  uint32_t first_;
  uint32_t longest_;
  uint32_t step_;
  std::mt19937 random_;
};

}  // namespace lobby
