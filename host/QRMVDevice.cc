#include "host/QRMVDevice.h"

#include <ctime>

#include "host/host_registry.h"

using qrmhost_internal::ObserverOf;

QRMVDevice::QRMVDevice() = default;

QRMVDevice::~QRMVDevice() { qrmhost_internal::ForgetDevice(this); }

void QRMVDevice::Reset() {
  if (auto observer = ObserverOf(this)) observer->OnReset(*this);
}

int QRMVDevice::InitV(QRMVDevice*, unsigned int id, const Json::Value&) {
  m_id = id;
  return 0;
}

int QRMVDevice::Init(std::weak_ptr<QRMController>, unsigned int id, const Json::Value&) {
  m_id = id;
  return 0;
}

bool QRMVDevice::InitSetting(const Json::Value& config) {
  const bool ok = qrmhost_internal::ConfigureSocketTarget(this, config);
  if (auto observer = ObserverOf(this)) observer->OnInitSetting(*this, config, ok);
  return ok;
}

bool QRMVDevice::IsSupportDevice(const std::string&) const { return false; }

int QRMVDevice::SendSP(int kind, const unsigned char* data, unsigned int length, bool flag) {
  if (auto observer = ObserverOf(this)) {
    std::vector<unsigned char> copy;
    if (data != nullptr) copy.assign(data, data + length);
    observer->OnSendSP(*this, kind, std::move(copy), flag);
  }
  return 0;
}

int QRMVDevice::SendDelayData(int) { return 0; }
int QRMVDevice::SendDoData(int, char) { return 0; }
int QRMVDevice::ReadDi(int) { return 0; }
float QRMVDevice::ReadAi(int) { return 0.0f; }
float QRMVDevice::Get_SP_Value(unsigned int, const std::string&) { return 0.0f; }
int QRMVDevice::process(int, unsigned char*, int) { return 0; }

bool QRMVDevice::CheckThresholdBool(int kind, const std::string& id, const std::string& id2,
                                    const std::string& category, const std::string& name,
                                    bool alarm, unsigned short number) {
  if (auto observer = ObserverOf(this)) {
    observer->OnCheckThresholdBool(*this, kind, id, id2, category, name, alarm, number);
  }
  if (qrmhost_internal::RecordSignalState(this, id, alarm)) {
    rule_value rule;
    rule.kind = kind;
    rule.id = id;
    rule.id2 = id2;
    rule.when = static_cast<int64_t>(std::time(nullptr));
    rule.category = category;
    rule.name = name;
    rule.state = alarm ? 1 : 0;
    m_rules.push_back(std::move(rule));
    if (alarm) m_alarmResult = true;
  }
  return alarm;
}

bool QRMVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& batch) {
  bool raised = false;
  for (const rule_value& rule : batch) raised = raised || rule.state == 1;
  if (auto observer = ObserverOf(this))
    return observer->OnDoBatchCheckThreshold(*this, batch, raised);
  return raised;
}

int QRMVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  if (auto observer = ObserverOf(this)) {
    std::vector<unsigned char> copy;
    if (data != nullptr) copy.assign(data, data + length);
    observer->OnSaveDeviceHistory(*this, std::move(copy));
  }
  return 0;
}
