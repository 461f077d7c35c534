#include "tools/qrmhost/event_log.h"

#include <json/writer.h>

namespace {

Json::Value Event(const char* kind, uint32_t device) {
  Json::Value v(Json::objectValue);
  v["event"] = kind;
  v["device"] = Json::UInt(device);
  return v;
}

}  // namespace

std::string EventLog::Line(const Json::Value& event) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  // The only non-integral numbers are durations in seconds, kept to the millisecond.
  builder["precisionType"] = "decimal";
  builder["precision"] = 3;
  return Json::writeString(builder, event);
}

void EventLog::Write(const Json::Value& event) {
  const std::string line = Line(event) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closed_) out_ << line << std::flush;
}

void EventLog::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  out_.flush();
}

bool EventLog::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !out_.good();
}

Json::Value PublishEvent(uint32_t device, const std::string& time, size_t bytes) {
  Json::Value v = Event("publish", device);
  v["time"] = time;
  v["bytes"] = Json::UInt64(bytes);
  return v;
}

Json::Value SignalEvent(uint32_t device, int kind, const std::string& id, const std::string& id2,
                        const std::string& category, const std::string& name, bool alarm,
                        unsigned number) {
  Json::Value v = Event("signal", device);
  v["id"] = id;
  v["id2"] = id2;
  v["category"] = category;
  v["name"] = name;
  v["alarm"] = alarm;
  v["number"] = Json::UInt(number);
  v["kind"] = kind;
  return v;
}

Json::Value BatchEvent(uint32_t device, size_t size, bool result) {
  Json::Value v = Event("batch", device);
  v["size"] = Json::UInt64(size);
  v["result"] = result;
  return v;
}

Json::Value AlarmEvent(uint32_t device, const rule_value& rule) {
  Json::Value v = Event("alarm", device);
  v["id"] = rule.id;
  v["name"] = rule.name;
  v["state"] = rule.state == 1 ? "raised" : "cleared";
  return v;
}

Json::Value HistoryEvent(uint32_t device, const std::string& file, size_t bytes,
                         const std::string& error) {
  Json::Value v = Event("history", device);
  v["file"] = file.empty() ? Json::Value() : Json::Value(file);
  v["bytes"] = Json::UInt64(bytes);
  if (!error.empty()) v["error"] = error;
  return v;
}

Json::Value WalkEvent(uint32_t device, const std::string& peer, const std::string& outcome,
                      double seconds, const std::string& reason, const std::string& root) {
  Json::Value v = Event("walk", device);
  v["peer"] = peer;
  v["outcome"] = outcome;
  if (seconds >= 0) v["seconds"] = seconds;
  if (!reason.empty()) v["reason"] = reason;
  if (!root.empty()) v["root"] = root;
  return v;
}
