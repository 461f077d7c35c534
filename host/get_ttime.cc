#include "host/get_ttime.h"

TTime get_ttime(boost::posix_time::ptime t) {
  TTime out{};
  if (t.is_special()) return out;
  const auto date = t.date();
  const auto time = t.time_of_day();
  const unsigned year = static_cast<unsigned>(date.year());
  out[0] = static_cast<unsigned char>(year & 0xFF);
  out[1] = static_cast<unsigned char>(year >> 8);
  out[2] = static_cast<unsigned char>(date.month().as_number());
  out[3] = static_cast<unsigned char>(date.day().as_number());
  out[4] = static_cast<unsigned char>(time.hours());
  out[5] = static_cast<unsigned char>(time.minutes());
  out[6] = static_cast<unsigned char>(time.seconds());
  return out;
}
