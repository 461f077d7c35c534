// `qrmhost run`: loads a plug-in, creates and drives one device per configured entry.
//
// The devices are those of the device file, or the one unit named by `ip` and `address`. They
// are refreshed as a host refreshes them (RefreshScheduler): each host-driven device on a host
// thread of its own, the own-thread devices together from one scheduler thread. The run ends on
// SIGINT/SIGTERM, when every device has completed `rounds` rounds, or at the `timeout` bound;
// then no refresh begins, and the walks under way on refreshes get a second to end. Then every
// device is destroyed, then every provider, and the library is closed, and one closing summary
// per device is printed (RoundSummary::ClosingLine). A walk still under way then is abandoned:
// a device must never be destroyed while its RefreshStatus runs on another thread, so the
// history is closed at a record boundary, the event log too, the closing lines are printed and
// the process ends at once with _exit, destroying nothing. Returns the exit status: 0; 1 when
// something failed or, without an interrupt or time bound, a device published fewer rounds
// than asked; 4 when a record could not be saved; 5 when the run was cut short (walks
// abandoned, or the time bound came before the rounds asked); 3 when every device ran but some
// walk timed out, failed or found nothing. Errors are single lines on standard error.
#pragma once

#include <memory>

#include "host/HostObserver.h"
#include "tools/qrmhost/args.h"

// `watcher`, when given, sees every host call of every device after the run's own observer
// has handled it (benchmarks count rounds with it, tests measure the threads' stacks).
int RunCommand(const RunOptions& options, std::shared_ptr<HostObserver> watcher = nullptr);
