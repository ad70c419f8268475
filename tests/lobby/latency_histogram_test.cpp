// The load tool's latency histogram against the exact quantiles of the same latencies: within
// its bucket width (under 1 %) at every quantile, whether counted in one histogram or in
// several added up, as the load tool's processes do through a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "latency_histogram.h"

namespace {

using lobby::LatencyHistogram;

TEST(LatencyHistogram, QuantilesWithinABucketOfTheExactOnes) {
  std::mt19937 random(7);
  // From a microsecond to over an hour, spread evenly on a log scale, and a run of equal values.
  std::uniform_real_distribution<double> exponent(0, 32);
  std::vector<uint64_t> latencies(20000, 1500);
  for (size_t i = 0; i < 100000; ++i)
    latencies.push_back(static_cast<uint64_t>(std::exp2(exponent(random))));
  LatencyHistogram whole;
  LatencyHistogram parts[3];
  for (size_t i = 0; i < latencies.size(); ++i) {
    whole.Add(latencies[i]);
    parts[i % 3].Add(latencies[i]);
  }
  // Through the words that cross the pipe.
  LatencyHistogram added;
  for (const LatencyHistogram& part : parts) {
    std::vector<uint64_t> words = part.Words();
    added.Merge(LatencyHistogram::FromWords(words.data(), words.size()));
  }
  std::sort(latencies.begin(), latencies.end());
  ASSERT_EQ(whole.Total(), latencies.size());
  for (double q : {0.0, 0.01, 0.1, 0.5, 0.9, 0.99, 0.999, 1.0}) {
    auto exact = static_cast<double>(
        latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]);
    double tolerance = std::max(0.5, exact * 0.008);
    EXPECT_NEAR(whole.Quantile(q), exact, tolerance) << "quantile " << q;
    EXPECT_EQ(added.Quantile(q), whole.Quantile(q)) << "quantile " << q;
  }
  EXPECT_EQ(added.Total(), whole.Total());
  EXPECT_EQ(LatencyHistogram().Quantile(0.5), 0);
}

TEST(LatencyHistogram, BucketsCoverEveryValueOnce) {
  // Each bucket starts where the one before ends, and every value falls in the bucket whose
  // range holds it.
  for (size_t b = 1; b < LatencyHistogram::kBuckets; ++b) {
    uint64_t low = LatencyHistogram::Low(b);
    ASSERT_GT(low, LatencyHistogram::Low(b - 1));
    ASSERT_EQ(LatencyHistogram::Bucket(low), b);
    ASSERT_EQ(LatencyHistogram::Bucket(low - 1), b - 1);
  }
}

}  // namespace
