#include "tools/qrmhost/plugin_loader.h"

#include <dlfcn.h>

std::unique_ptr<PluginLibrary> PluginLibrary::Open(const std::string& path, std::string* error) {
  const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  dlerror();
  void* handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = "cannot load plug-in " + path + ": " + (why != nullptr ? why : "unknown error");
    return nullptr;
  }
  return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, path));
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

GetProvidersFn PluginLibrary::FindGetProviders(std::string* error) const {
  dlerror();
  void* symbol = dlsym(handle_, "get_providers");
  const char* why = dlerror();
  if (symbol == nullptr || why != nullptr) {
    *error = "plug-in " + path_ + " has no get_providers entry point" +
             (why != nullptr ? std::string(": ") + why : std::string());
    return nullptr;
  }
  return reinterpret_cast<GetProvidersFn>(symbol);
}
