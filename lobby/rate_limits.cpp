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

Ms RateLimit::Wait(Clock::time_point now) const {
  std::chrono::duration<double> elapsed = now - last_;
  double tokens = std::min(burst_, tokens_ + elapsed.count() * rate_);
  if (tokens >= 1 || rate_ <= 0) return Ms(0);
  return std::chrono::ceil<Ms>(std::chrono::duration<double>((1 - tokens) / rate_));
}

bool RateLimit::Full(Clock::time_point now) const {
  std::chrono::duration<double> elapsed = now - last_;
  return tokens_ + elapsed.count() * rate_ >= burst_;
}

Ms KeyedRateLimit::Wait(const std::string& key, Clock::time_point now) const {
  auto found = buckets_.find(key);
  return found == buckets_.end() ? Ms(0) : found->second.Wait(now);
}

bool KeyedRateLimit::Take(const std::string& key, Clock::time_point now) {
  auto found = buckets_.find(key);
  if (found == buckets_.end()) {
    if (buckets_.size() >= maxKeys_) {
      for (auto it = buckets_.begin(); it != buckets_.end();)
        it = it->second.Full(now) ? buckets_.erase(it) : std::next(it);
    }
    if (buckets_.size() >= maxKeys_) return true;
    found = buckets_.emplace(key, RateLimit(rate_, burst_, now)).first;
  }
  return found->second.Take(now);
}

Ms StrikeCounter::Wait(const std::string& key, Clock::time_point now) const {
  auto found = keys_.find(key);
  if (found == keys_.end() || found->second.blockedUntil <= now) return Ms(0);
  return std::chrono::ceil<Ms>(found->second.blockedUntil - now);
}

void StrikeCounter::Strike(const std::string& key, Clock::time_point now) {
  if (policy_.free == 0) return;
  auto found = keys_.find(key);
  if (found == keys_.end()) {
    if (keys_.size() >= maxKeys_) Prune(now);
    if (keys_.size() >= maxKeys_) return;
    found = keys_.emplace(key, Entry()).first;
  }
  Entry& entry = found->second;
  if (now - entry.last > policy_.window && entry.blockedUntil <= now) entry.strikes = 0;
  entry.last = now;
  if (++entry.strikes <= policy_.free) return;
  uint32_t doublings = std::min<uint32_t>(entry.strikes - policy_.free - 1, 30);
  Ms pause = std::min<Ms>(policy_.longest, policy_.first * (int64_t{1} << doublings));
  entry.blockedUntil = now + pause;
}

void StrikeCounter::Prune(Clock::time_point now) {
  for (auto it = keys_.begin(); it != keys_.end();) {
    bool stale = now - it->second.last > policy_.window && it->second.blockedUntil <= now;
    it = stale ? keys_.erase(it) : std::next(it);
  }
}

void RecentKeys::Note(const std::string& key, Clock::time_point now) {
  if (keys_.size() >= maxKeys_ && keys_.find(key) == keys_.end()) {
    for (auto it = keys_.begin(); it != keys_.end();) {
      it = now - it->second > keep_ ? keys_.erase(it) : std::next(it);
    }
    // Still full: the oldest goes.
    if (keys_.size() >= maxKeys_) {
      keys_.erase(std::min_element(keys_.begin(), keys_.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
      }));
    }
  }
  keys_[key] = now;
}

bool RecentKeys::Has(const std::string& key, Clock::time_point now) const {
  auto found = keys_.find(key);
  return found != keys_.end() && now - found->second <= keep_;
}

}  // namespace lobby
