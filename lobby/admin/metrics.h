// Numbers for a monitoring system, in Prometheus' text exposition format: a histogram of
// durations, a writer of metric families, and the process's own figures (memory, descriptors,
// CPU). Everything here is used on the server's one event-loop thread: counts are plain
// integers, and an observation is a few comparisons and additions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lobby {

class Histogram {
 public:
  // The upper bounds of the buckets, in seconds, ascending (+Inf is added).
  explicit Histogram(std::vector<double> bounds);
  void Observe(double seconds);
  uint64_t Count() const { return count_; }
  double Sum() const { return sum_; }
  // Observations at most bound i (cumulative, as the format wants).
  uint64_t AtMost(size_t i) const;
  const std::vector<double>& Bounds() const { return bounds_; }

 private:
  std::vector<double> bounds_;
  std::vector<uint64_t> counts_;  // per bucket, the last one past every bound
  uint64_t count_ = 0;
  double sum_ = 0;
};

// Builds one scrape: each family's HELP and TYPE lines, then its samples.
class Exposition {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;
  // type: counter, gauge or histogram.
  void Family(const std::string& name, const char* type, const std::string& help);
  void Sample(const std::string& name, double value, const Labels& labels = {});
  void Histogram(const std::string& name, const char* help, const lobby::Histogram& histogram);
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// The process's figures, from /proc and getrusage; false where /proc can't be read.
struct ProcessFigures {
  double residentBytes = 0;
  double openDescriptors = 0;
  double maxDescriptors = 0;
  double cpuSeconds = 0;
};
bool ReadProcessFigures(ProcessFigures* figures);

}  // namespace lobby
