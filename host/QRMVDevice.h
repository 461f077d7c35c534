// The host framework's virtual device: publication, history and the threshold service.
//
// SendSP publishes a record, SaveDeviceHistory stores it, CheckThresholdBool reports one
// boolean signal (the host appends a rule_value to the rule batch when the signal's state
// changes), DoBatchCheckThreshold hands the batch to the host. The virtual operations are
// declared in the host's table order; see VDeviceInterface.h.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "host/QRMController.h"
#include "host/VDeviceInterface.h"
#include "host/host_api.h"
#include "host/rule_value.h"

class QRM_HOST_API QRMVDevice : public VDeviceInterface {
 public:
  QRMVDevice();
  ~QRMVDevice() override;

  virtual void Reset();
  virtual int InitV(QRMVDevice* parent, unsigned int id, const Json::Value& config);
  // Sets the device id.
  virtual int Init(std::weak_ptr<QRMController> controller, unsigned int id,
                   const Json::Value& config);
  // The host's own configuration of a device. For a QRMSocketDevice it reads "ip" (text,
  // "host" or "host:port") and "address" (0-255, a number or decimal text); a missing key
  // keeps the field, an invalid value writes one line to standard error naming the key and
  // the value, keeps the field and yields false.
  virtual bool InitSetting(const Json::Value& config);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<QRMVDevice> GetChildVDevice(unsigned int /*index*/) { return {}; }
  virtual std::vector<std::shared_ptr<QRMVDevice>> GetAllChildVDevices() { return {}; }
  virtual int SendSP(int kind, const unsigned char* data, unsigned int length, bool flag);
  virtual int SendDelayData(int delay);
  virtual int SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual float Get_SP_Value(unsigned int index, const std::string& name);
  virtual int process(int handle, unsigned char* data, int length);

  // Threshold service: remembers each signal's last state; the first report of a signal in
  // alarm and every later change append one rule_value to the rule batch, and a raise sets the
  // alarm-result flag.
  bool CheckThresholdBool(int kind, const std::string& id, const std::string& id2,
                          const std::string& category, const std::string& name, bool alarm,
                          unsigned short number);
  // True when the batch holds a raise, unless an attached observer decides otherwise.
  bool DoBatchCheckThreshold(const std::vector<rule_value>& batch);
  int SaveDeviceHistory(const unsigned char* data, unsigned int length);

 protected:
  unsigned short m_signalNo = 0;              // running signal number
  boost::posix_time::ptime m_lastSampleTime;  // time of the last request or round end
  bool m_dataValid = false;                   // set once the first round has ended
  std::vector<rule_value> m_rules;            // rule batch of the current round
  bool m_alarmResult = false;                 // some signal of this round is in alarm
  std::map<std::string, int> m_levels;        // level table (per signal key)
  std::map<std::string, float> m_values;      // value table (per signal key)
};
