// The USM turn: arrival order, and a wait that a stop ends without stalling those behind it.
#include "snmp/usm_lock.h"

#include <chrono>
#include <future>

#include <gtest/gtest.h>

namespace {

constexpr auto kLimit = std::chrono::seconds(10);

TEST(UsmGuard, AStoppedWaitGivesUpItsPlaceAndTheLineMovesOn) {
  UsmGuard holder;
  ASSERT_TRUE(holder.held());
  StopSignal stop, give_up;
  // Whatever fails below, no waiter is left behind for the futures to wait for.
  struct GiveUp {
    StopSignal& signal;
    ~GiveUp() {
      signal.Raise();
      UsmGuard::WakeWaiters();
    }
  };
  auto stopped = std::async(std::launch::async, [&stop] {
    UsmGuard guard(false);
    return guard.Acquire(stop);
  });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "the turn is taken: the wait goes on";
  stop.Raise();
  UsmGuard::WakeWaiters();
  ASSERT_EQ(stopped.wait_for(kLimit), std::future_status::ready) << "the stop ended the wait";
  EXPECT_FALSE(stopped.get());
  // A later arrival is served once the holder leaves, past the place given up.
  auto later = std::async(std::launch::async, [&give_up] {
    UsmGuard guard(false);
    return guard.Acquire(give_up);
  });
  const GiveUp at_the_end{give_up};
  holder.Release();
  ASSERT_EQ(later.wait_for(kLimit), std::future_status::ready) << "the line stalled";
  EXPECT_TRUE(later.get());
  UsmGuard again;  // and the turn is free again
  EXPECT_TRUE(again.held());
}

}  // namespace
