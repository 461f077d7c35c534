#include "device/walk_notes.h"

#include <algorithm>
#include <cstdio>

#include "frame/record.h"

namespace {

std::string About(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 10 ? "%.1f s" : "%.0f s", seconds);
  return text;
}

}  // namespace

std::string StillRunningLine(std::chrono::steady_clock::duration elapsed, unsigned long leaf,
                             int exchanges) {
  const unsigned long share = std::min<unsigned long>(100, leaf * 100 / kSlotCount);
  return "snmp walk still running after " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()) +
         " s: at leaf " + std::to_string(leaf) + " of " + std::to_string(kSlotCount) + " (" +
         std::to_string(share) + " %), " + std::to_string(exchanges) + " exchanges";
}

std::string FastRequestLine(std::chrono::steady_clock::duration elapsed, int exchanges) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const double each = seconds / std::max(exchanges, 1);
  // One leaf per exchange, and one exchange more that leaves the subtree; with R leaves per
  // exchange, the response that holds the last leaf already leaves it.
  const int whole = kSlotCount + 1;
  const int fast = (kSlotCount + 1 + kSuggestedRepetitions - 1) / kSuggestedRepetitions;
  return "snmp walk on the default request: " + std::to_string(exchanges) + " exchanges in " +
         About(seconds) + ", " + std::to_string(static_cast<long>(each * 1000 + 0.5)) +
         " ms each, so about " + About(each * whole) + " for the record's " +
         std::to_string(kSlotCount) + " leaves; appSetting.max_repetitions " +
         std::to_string(kSuggestedRepetitions) + " would likely take about " + About(each * fast) +
         " where the unit supports it";
}
