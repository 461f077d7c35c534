// The sampling schedule a device configuration selects: appSetting.use_thread, read as the
// decimal integer at the start of its text form (no leading digits gives 0; true, 0.5 and
// "0.5" give 0). Non-zero: the device samples on its own thread; 0 or absent: the host drives
// it through RefreshStatus. The device and the reference host both decide by this one reading,
// so a host never waits for a thread the device did not start.
#pragma once

#include <string>

#include <json/value.h>

#include "util/config_value.h"

// False when the configuration sets no use_thread (absent, null, or an array or object, which
// have no text form); otherwise stores the setting in `*value`.
inline bool ReadUseThread(const Json::Value& config, int* value) {
  const Json::Value* app = ConfigMember(config, "appSetting");
  const Json::Value* use = app != nullptr ? ConfigMember(*app, "use_thread") : nullptr;
  std::string text;
  if (use == nullptr || !ConfigText(*use, &text)) return false;
  *value = LeadingInt(text);
  return true;
}
