#include "retry.h"

#include <algorithm>
#include <cstdlib>

namespace lobby {

namespace {

const char kRetryAfter[] = "retry after ";

}  // namespace

std::string RetryAfterText(uint32_t ms) { return kRetryAfter + std::to_string(ms) + " ms"; }

bool ParseRetryAfter(const std::string& detail, uint32_t* ms) {
  size_t at = detail.rfind(kRetryAfter);
  if (at == std::string::npos) return false;
  const char* digits = detail.c_str() + at + sizeof kRetryAfter - 1;
  char* end = nullptr;
  unsigned long value = strtoul(digits, &end, 10);
  if (end == digits || std::string(end) != " ms" || value > 24ul * 3600 * 1000) return false;
  *ms = static_cast<uint32_t>(value);
  return true;
}

Backoff::Backoff(uint32_t firstMs, uint32_t longestMs)
    : first_(firstMs),
      longest_(std::max(firstMs, longestMs)),
      step_(firstMs),
      random_(std::random_device()()) {}

uint32_t Backoff::Next() {
  uint32_t step = step_;
  step_ = std::min(longest_, step_ * 2);
  return std::uniform_int_distribution<uint32_t>(step - step / 2, step)(random_);
}

uint32_t Backoff::After(uint32_t ms) {
  return std::uniform_int_distribution<uint32_t>(ms, ms + ms / 4)(random_);
}

}  // namespace lobby
