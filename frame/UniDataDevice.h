// UniDataDevice: a device whose whole observable state is one packed data record.
//
// The frame owns the record (zeroed at construction) and ends every acquisition round in
// RoundDone: mark the data valid, stamp the record with the local time, publish it, let the
// host reset, run the alarm hook with the signal counter at 1, hand the rule batch to the host,
// save the record as history and clear the batch. The batch is cleared also when a host service
// throws out of the round (the exception then goes on to RoundDone's caller). LoadFromCache
// replaces the record with an image of exactly sizeof(Record) bytes and runs a round; an
// exception from that round is reported in one line (naming the unit's address) and not passed
// to the host.
//
// Rounds of one device never interleave: RoundDone, LoadFromCache and InitSetting hold the
// per-device round lock, and a derived device holds it across a whole walk and its round end
// (RoundLock()). The lock is recursive because a cache restore runs RoundDone while holding it.
//
// Host services that publish or store are called as the host base implementations; the frame's
// hooks (Reset, RunCheckThreshold, RoundDone, LoadFromCache) go through the virtual table.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "util/config_value.h"
#include "util/console_line.h"
#include "frame/round_failure.h"
#include "host/QRMSocketDevice.h"
#include "host/QRMVDevice.h"
#include "host/get_ttime.h"

template <typename Record, typename Base, int N>
class UniDataDevice : public Base {
 public:
  UniDataDevice() { std::memset(&m_data, 0, sizeof(Record)); }
  ~UniDataDevice() override = default;

  using Base::LoadFromCache;

  int LoadFromCache(const unsigned char* data, int length) override {
    if (data == nullptr || length != static_cast<int>(sizeof(Record))) return 0;
    std::lock_guard<std::recursive_mutex> lock(m_roundMutex);
    std::memcpy(&m_data, data, sizeof(Record));
    this->m_dataValid = true;
    try {
      this->RoundDone();
    } catch (...) {  // a host service threw: the image is taken, the round is lost
      ReportFailure("LoadFromCache: round failed");
    }
    return 1;
  }

  void RoundDone() override {
    std::lock_guard<std::recursive_mutex> lock(m_roundMutex);
    // The batch belongs to this round only, also when a host service throws part-way.
    struct ClearBatch {
      std::vector<rule_value>& rules;
      ~ClearBatch() { rules.clear(); }
    } clear_batch{this->m_rules};
    if (!this->m_dataValid) this->m_dataValid = true;
    this->m_lastSampleTime = boost::posix_time::second_clock::local_time();
    const TTime stamp = get_ttime(this->m_lastSampleTime);
    std::memcpy(reinterpret_cast<unsigned char*>(&m_data) + sizeof(Record) - stamp.size(),
                stamp.data(), stamp.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(&m_data);
    this->QRMVDevice::SendSP(0, bytes, sizeof(Record), false);
    this->Reset();
    this->m_signalNo = 1;
    this->m_alarmResult = false;
    this->RunCheckThreshold();
    char line[32];
    const int n =
        std::snprintf(line, sizeof line, "rvSize is %d\n", static_cast<int>(this->m_rules.size()));
    ConsoleWrite(std::cout, line, static_cast<std::size_t>(n));
    const bool batch_result = this->QRMVDevice::DoBatchCheckThreshold(this->m_rules);
    this->m_alarmResult = this->m_alarmResult || batch_result;
    this->QRMVDevice::SaveDeviceHistory(bytes, sizeof(Record));
  }

  // Sets the record's device id, reads the frame mode (appSetting.b_mode) and, in mode 3, the
  // thresholdSetting table; then runs the host base's InitSetting and returns its result.
  bool InitSetting(const Json::Value& config) override {
    std::lock_guard<std::recursive_mutex> lock(m_roundMutex);
    const unsigned int id = this->m_id;
    std::memcpy(&m_data, &id, sizeof id);
    std::string text;
    if (const Json::Value* app = ConfigMember(config, "appSetting")) {
      const Json::Value* mode = ConfigMember(*app, "b_mode");
      if (mode != nullptr && ConfigText(*mode, &text)) {
        m_mode = LeadingInt(text);
        ConsoleLine(std::cout,
                    "InitSetting " + std::to_string(id) + " b_mode_:" + std::to_string(m_mode));
      }
    }
    if (m_mode == 3) {
      ConsoleLine(std::cout, "here 1");
      const Json::Value* table = ConfigMember(config, "thresholdSetting");
      if (table != nullptr && table->type() != Json::arrayValue) {
        ConsoleLine(std::cout, "here 2");
        if (table->type() == Json::objectValue) ReadThresholdTable(*table);
      }
    }
    return Base::InitSetting(config);
  }

  // Alarm evaluation hook, run by RoundDone with the signal counter at 1. Reports nothing here.
  virtual void RunCheckThreshold() {}

 protected:
  // Names the exception in flight in one line, "WHAT (peer IP): reason", IP being the socket
  // device's target address ("WHAT: reason" while it has none), built without allocating (the
  // exception may be std::bad_alloc). Only inside a catch block, holding the round lock (the
  // address changes only under it).
  void ReportFailure(const char* what_failed) noexcept {
    if constexpr (std::is_base_of_v<QRMSocketDevice, Base>) {
      if (!this->m_ip.empty()) {
        char what[320];
        std::snprintf(what, sizeof what, "%s (peer %s)", what_failed, this->m_ip.c_str());
        ReportCurrentException(what);
        return;
      }
    }
    ReportCurrentException(what_failed);
  }

  // Holds the per-device round lock; a derived device takes it around a walk and its round.
  std::unique_lock<std::recursive_mutex> RoundLock() {
    return std::unique_lock<std::recursive_mutex>(m_roundMutex);
  }

  Record m_data;                                     // the device data record
  int m_mode = 1;                                    // frame mode (1, 2, 3; others act as 1)
  std::map<std::string, std::string> m_alarmMap;     // signal key -> "NMAlarmID;ID;SignalNumber;"
  std::map<std::string, std::string> m_signalNames;  // signal key -> SignalName

 private:
  void ReadThresholdTable(const Json::Value& table) {
    static const char* const kFields[] = {"NMAlarmID", "ID", "SignalNumber"};
    for (auto it = table.begin(); it != table.end(); ++it) {
      const std::string key = it.key().asString();
      ConsoleLine(std::cout, "here " + key);
      const Json::Value& entry = *it;
      if (entry.type() != Json::objectValue) continue;
      std::string text;
      const Json::Value* name = ConfigMember(entry, "SignalName");
      if (name != nullptr && ConfigText(*name, &text)) m_signalNames[key] = text;
      std::string mapping;
      for (const char* field : kFields) {
        const Json::Value* v = ConfigMember(entry, field);
        if (v != nullptr && ConfigText(*v, &text)) {
          mapping += text;
        } else {
          ConsoleLine(std::cout, std::to_string(this->m_id) + " " + field + " is missing");
        }
        mapping += ";";
      }
      std::ostringstream line;
      line << "mobile:" << key << ":" << mapping << " level:" << this->m_levels[key]
           << " value:" << this->m_values[key];
      ConsoleLine(std::cout, line.str());
      m_alarmMap[key] = mapping;
    }
  }

  std::recursive_mutex m_roundMutex;
};
