// A loaded plug-in library and its get_providers entry point.
//
// The library is opened with RTLD_NOW, so every symbol it needs from the host (the reference
// host library already loaded in this process) is resolved at load time and a missing one
// fails the load rather than a later call. Destroying the object closes the library: every
// provider and device it created must be destroyed first.
#pragma once

#include <memory>
#include <string>

#include "plugin/provider.h"

class PluginLibrary {
 public:
  // Opens the library at `path` (a path without a slash is taken relative to the current
  // directory, not searched for). Returns null and sets *error, with dlerror's text, on failure.
  static std::unique_ptr<PluginLibrary> Open(const std::string& path, std::string* error);

  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // The exported get_providers, or null with *error set when the library has none.
  GetProvidersFn FindGetProviders(std::string* error) const;

 private:
  PluginLibrary(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  void* handle_;
  std::string path_;
};
