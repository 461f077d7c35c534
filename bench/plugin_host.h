// What a host does to get devices out of the plug-in module: dlopen it, call get_providers, take
// the socket-device provider and create devices through it. Shared by the bench programs that
// measure the real .so rather than the device code linked in.
#pragma once

#include <dlfcn.h>

#include <memory>
#include <string>

#include <json/reader.h>

#include "plugin/provider.h"

class PluginHost {
 public:
  PluginHost() = default;
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;
  // Every device created here must be gone by now: the module is closed.
  ~PluginHost() {
    provider_ = nullptr;
    providers_.clear();
    if (handle_ != nullptr) dlclose(handle_);
  }

  bool Load(const std::string& path, std::string* error) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      *error = std::string("dlopen: ") + dlerror();
      return false;
    }
    auto entry = reinterpret_cast<GetProvidersFn>(dlsym(handle_, "get_providers"));
    if (entry == nullptr) {
      *error = "no get_providers in " + path;
      return false;
    }
    providers_ = entry();
    for (const auto& p : providers_) {
      if (auto* socket = dynamic_cast<QRMSocketDeviceProvider*>(p.get())) {
        provider_ = socket;
        return true;
      }
    }
    *error = "no socket-device provider in " + path;
    return false;
  }

  std::unique_ptr<QRMSocketDevice> Create() const {
    return std::unique_ptr<QRMSocketDevice>(provider_->create());
  }

 private:
  void* handle_ = nullptr;
  ProviderList providers_;
  QRMSocketDeviceProvider* provider_ = nullptr;
};

// Parses JSON text; null on error.
inline Json::Value ParseJson(const std::string& text, std::string* error) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  if (!r->parse(text.data(), text.data() + text.size(), &v, error)) return Json::Value();
  return v;
}

// A device configuration for unit `address` of the agent at 127.0.0.1:port; `app` is the inside
// of the appSetting object.
inline std::string DeviceJson(unsigned id, unsigned port, unsigned address,
                              const std::string& app) {
  return "{\"id\":" + std::to_string(id) + ",\"ip\":\"127.0.0.1:" + std::to_string(port) +
         "\",\"address\":" + std::to_string(address) + ",\"appSetting\":{" + app + "}}";
}
