// `qrmhost run`: loads a plug-in, creates and drives one device per configured entry.
//
// Host-driven devices (appSetting.use_thread absent or zero) get one host thread each that
// calls RefreshStatus every `interval` seconds; devices with their own sampling thread are
// only watched. The run ends on SIGINT/SIGTERM, when every device has completed `rounds`
// rounds, or at the `timeout` bound; then every device is destroyed, then every provider, and
// the library is closed, and one closing summary per device is printed (RoundSummary::
// ClosingLine). Returns the exit status: 0, or 1 when something failed or, without
// an interrupt, a device published fewer rounds than asked. Errors are single lines on
// standard error.
#pragma once

#include "tools/qrmhost/args.h"

int RunCommand(const RunOptions& options);
