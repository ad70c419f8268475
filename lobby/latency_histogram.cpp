#include "latency_histogram.h"

#include <algorithm>

namespace lobby {

size_t LatencyHistogram::Bucket(uint64_t micros) {
  if (micros < 256) return static_cast<size_t>(micros);
  micros = std::min<uint64_t>(micros, 0xFFFFFFFFu);
  int octave = 63 - __builtin_clzll(micros);                    // 8 or more
  auto mantissa = static_cast<size_t>(micros >> (octave - 7));  // 128 to 255
  return static_cast<size_t>(octave - 7) * 128 + mantissa;
}

uint64_t LatencyHistogram::Low(size_t bucket) {
  if (bucket < 256) return bucket;
  int octave = static_cast<int>(bucket / 128) + 6;
  return static_cast<uint64_t>(bucket % 128 + 128) << (octave - 7);
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
  for (size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
  total_ += other.total_;
}

double LatencyHistogram::Quantile(double q) const {
  if (total_ == 0) return 0;
  auto rank = static_cast<uint64_t>(q * static_cast<double>(total_ - 1));
  uint64_t seen = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    seen += counts_[i];
    if (seen > rank) {
      uint64_t high = i + 1 < kBuckets ? Low(i + 1) : Low(i) + 1;
      return (static_cast<double>(Low(i)) + static_cast<double>(high - 1)) / 2;
    }
  }
  return static_cast<double>(Low(kBuckets - 1));
}

double LatencyHistogram::Max() const { return total_ == 0 ? 0 : Quantile(1.0); }

std::vector<uint64_t> LatencyHistogram::Words() const { return counts_; }

LatencyHistogram LatencyHistogram::FromWords(const uint64_t* words, size_t count) {
  LatencyHistogram histogram;
  for (size_t i = 0; i < std::min(count, kBuckets); ++i) {
    histogram.counts_[i] = words[i];
    histogram.total_ += words[i];
  }
  return histogram;
}

}  // namespace lobby
