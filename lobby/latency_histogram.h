// Latencies in microseconds, counted in buckets less than 1 % wide, for the load tool: a
// million deliveries take 27 KiB, and the histograms of several processes add up to that of
// all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lobby {

class LatencyHistogram {
 public:
  LatencyHistogram() : counts_(kBuckets, 0) {}
  void Add(uint64_t micros) { ++counts_[Bucket(micros)], ++total_; }
  void Merge(const LatencyHistogram& other);
  uint64_t Total() const { return total_; }
  // The latency below which a share q (0 to 1) of the counted ones lie, in microseconds: the
  // middle of its bucket. 0 when nothing was counted.
  double Quantile(double q) const;
  double Max() const;
  // As raw numbers, for a pipe between processes; FromWords takes back what Words gave.
  std::vector<uint64_t> Words() const;
  static LatencyHistogram FromWords(const uint64_t* words, size_t count);

  // One a microsecond below 256 µs, then 128 an octave up to 2^32 µs (longer ones count there).
  static const size_t kBuckets = 24 * 128 + 256;
  static size_t Bucket(uint64_t micros);
  static uint64_t Low(size_t bucket);

 private:
  std::vector<uint64_t> counts_;
  uint64_t total_ = 0;
};

}  // namespace lobby
