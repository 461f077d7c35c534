// Observation of the reference host's services, per device object.
//
// A test or a host tool attaches an observer to a device and then sees every host call the
// device makes, in order, with its arguments. Callbacks run on the device's calling thread
// (a sampling thread or a host thread), so an observer shared by several devices must be
// thread-safe. Attaching is not part of the closed host's interface: it exists only in the
// reference host library.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/host_api.h"
#include "host/rule_value.h"

class QRMVDevice;

class QRM_HOST_API HostObserver {
 public:
  virtual ~HostObserver();

  virtual void OnSendSP(const QRMVDevice& device, int kind, std::vector<unsigned char> data,
                        bool flag);
  virtual void OnReset(const QRMVDevice& device);
  virtual void OnCheckThresholdBool(const QRMVDevice& device, int kind, const std::string& id,
                                    const std::string& id2, const std::string& category,
                                    const std::string& name, bool alarm, unsigned short number);
  // Sees the rule batch; returns the result DoBatchCheckThreshold hands back to the device.
  // `proposed` is the host's own answer: true when the batch holds a raise.
  virtual bool OnDoBatchCheckThreshold(const QRMVDevice& device,
                                       const std::vector<rule_value>& batch, bool proposed);
  virtual void OnSaveDeviceHistory(const QRMVDevice& device, std::vector<unsigned char> data);
  virtual void OnInitSetting(const QRMVDevice& device, const Json::Value& config, bool result);
  // Sees a handle-taking SendSocketData call (the buffer form's buffers joined in order);
  // returns the result the host hands back to the device. The default answers 0.
  virtual int OnSendSocketData(const QRMVDevice& device, int handle,
                               std::vector<unsigned char> data);
};

// Attaches `observer` to `device` (replacing any earlier one); a null observer detaches.
// The observer stays attached until replaced or until the device is destroyed.
QRM_HOST_API void AttachHostObserver(const QRMVDevice* device,
                                     std::shared_ptr<HostObserver> observer);
