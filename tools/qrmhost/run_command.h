// `qrmhost run`: loads a plug-in, creates and drives one device per configured entry.
//
// The devices are refreshed as a host refreshes them (RefreshScheduler): each host-driven device
// on a host thread of its own, the own-thread devices together from one scheduler thread. The
// run ends on SIGINT/SIGTERM, when every device has completed `rounds` rounds, or at the
// `timeout` bound; then every device is destroyed, then every provider, and the library is
// closed, and one closing summary per device is printed (RoundSummary::ClosingLine). Returns the
// exit status: 0; 3 when every device ran but some walk timed out, failed or found nothing; 1
// when something failed or, without an interrupt, a device published fewer rounds than asked.
// Errors are single lines on standard error.
#pragma once

#include <memory>

#include "host/HostObserver.h"
#include "tools/qrmhost/args.h"

// `watcher`, when given, sees every host call of every device after the run's own observer
// has handled it (benchmarks count rounds with it, tests measure the threads' stacks).
int RunCommand(const RunOptions& options, std::shared_ptr<HostObserver> watcher = nullptr);
