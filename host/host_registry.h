// The reference host's private per-device bookkeeping: the attached observer and the
// threshold service's last known state of each signal. Internal to the host library.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "host/HostObserver.h"

class QRMVDevice;

namespace qrmhost_internal {

// The observer attached to `device`, or null.
std::shared_ptr<HostObserver> ObserverOf(const QRMVDevice* device);

// Records `alarm` as the state of signal `id` of `device` and returns whether this report must
// enter the rule batch: the first report of a signal in alarm, or any change of state.
bool RecordSignalState(const QRMVDevice* device, const std::string& id, bool alarm);

// The socket-device part of the host's InitSetting: reads "ip" and "address" into `device`
// when it is a QRMSocketDevice. False when a present value is invalid (named on stderr).
bool ConfigureSocketTarget(QRMVDevice* device, const Json::Value& config);

// Drops everything kept for `device`; called when the device is destroyed.
void ForgetDevice(const QRMVDevice* device);

}  // namespace qrmhost_internal
