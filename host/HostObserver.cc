#include "host/HostObserver.h"

HostObserver::~HostObserver() = default;

void HostObserver::OnSendSP(const QRMVDevice&, int, std::vector<unsigned char>, bool) {}
void HostObserver::OnReset(const QRMVDevice&) {}
void HostObserver::OnCheckThresholdBool(const QRMVDevice&, int, const std::string&,
                                        const std::string&, const std::string&, const std::string&,
                                        bool, unsigned short) {}
bool HostObserver::OnDoBatchCheckThreshold(const QRMVDevice&, const std::vector<rule_value>&,
                                           bool proposed) {
  return proposed;
}
void HostObserver::OnSaveDeviceHistory(const QRMVDevice&, std::vector<unsigned char>) {}
void HostObserver::OnInitSetting(const QRMVDevice&, const Json::Value&, bool) {}
int HostObserver::OnSendSocketData(const QRMVDevice&, int, std::vector<unsigned char>) { return 0; }
