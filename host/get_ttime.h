// The host's packed 7-byte time stamp.
//
// Layout: year as unsigned 16-bit little-endian, then month (1-12), day, hour, minute, second,
// one byte each. A not-a-date-time input yields seven zero bytes.
#pragma once

#include <array>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_api.h"

using TTime = std::array<unsigned char, 7>;

QRM_HOST_API TTime get_ttime(boost::posix_time::ptime t);
