// The median and the longest of a device's walk durations, in memory that does not grow with
// the length of a run.
//
// Durations are counted in buckets 1% wide (from 0.1 ms up; shorter ones share the first), so
// the median is exact to within 1% however many walks a run holds; the longest is exact.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>

class DurationStats {
 public:
  void Add(double seconds) {
    ++buckets_[Bucket(seconds)];
    ++count_;
    longest_ = std::max(longest_, seconds);
  }

  std::size_t count() const { return count_; }
  double longest() const { return longest_; }

  // The median (of two middle durations, their mean); 0 without durations.
  double median() const {
    if (count_ == 0) return 0;
    const double low = Nth((count_ - 1) / 2), high = Nth(count_ / 2);
    return std::min(longest_, (low + high) / 2);
  }

 private:
  static constexpr double kFirst = 1e-4;  // seconds
  static constexpr double kStep = 1.01;

  static int Bucket(double seconds) {
    if (!(seconds > kFirst)) return 0;
    return static_cast<int>(std::log(seconds / kFirst) / std::log(kStep));
  }
  // The middle of bucket b, on the logarithmic scale.
  static double Middle(int b) { return kFirst * std::pow(kStep, b + 0.5); }

  // The n-th smallest duration (from 0), as its bucket's middle.
  double Nth(std::size_t n) const {
    std::size_t seen = 0;
    for (const auto& [bucket, count] : buckets_) {
      seen += count;
      if (seen > n) return Middle(bucket);
    }
    return longest_;
  }

  std::map<int, std::size_t> buckets_;
  std::size_t count_ = 0;
  double longest_ = 0;
};
