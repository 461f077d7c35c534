// The local time in whole seconds, as boost's second_clock::local_time() gives it, converted
// once per second.
//
// The walk stamps the host's last sample time before every request, hundreds of times a second;
// the conversion to local time (the time zone rules) is what costs, so it is made only when the
// second changes. The result for a given second is the one second_clock::local_time() gives in
// that second.
#pragma once

#include <ctime>

#include <boost/date_time/posix_time/posix_time.hpp>

class SampleClock {
 public:
  boost::posix_time::ptime Now() {
    const std::time_t now = std::time(nullptr);
    if (now != second_ || time_.is_special()) {
      std::tm local{};
      // What second_clock::local_time() does for `now`; it also reports the rare failure.
      time_ = localtime_r(&now, &local) != nullptr ? boost::posix_time::ptime_from_tm(local)
                                                   : boost::posix_time::second_clock::local_time();
      second_ = now;
    }
    return time_;
  }

 private:
  std::time_t second_ = 0;
  boost::posix_time::ptime time_;  // not_a_date_time until the first call
};
