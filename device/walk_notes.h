// The lines a long walk writes about itself, so that an operator watching a slow unit knows how
// far it got and what would make it quicker.
//
// StillRunningLine: "snmp walk still running after S s: at leaf K of 1269 (P %), N exchanges"
// (P the share of the record's leaves the walk has passed, rounded down, at most 100).
// FastRequestLine, for a walk on the default request (one leaf per exchange): "snmp walk on the
// default request: N exchanges in S s, M ms each, so about T s for the record's 1269 leaves;
// appSetting.max_repetitions 100 would likely take about F s where the unit supports it",
// T and F estimated from the time per exchange so far (1270 exchanges on the default request,
// 13 with 100 leaves per exchange). Times under 10 s have one decimal, longer ones none. The
// device adds its " (peer P)" end to both.
#pragma once

#include <chrono>
#include <string>

std::string StillRunningLine(std::chrono::steady_clock::duration elapsed, unsigned long leaf,
                             int exchanges);

std::string FastRequestLine(std::chrono::steady_clock::duration elapsed, int exchanges);

// The max_repetitions the fast request line suggests.
inline constexpr int kSuggestedRepetitions = 100;
