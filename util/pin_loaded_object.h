// Keeps the loaded object (shared library or executable) that holds `symbol` in the process
// until the process ends, whatever dlclose calls follow: for code or state that must outlive an
// unload. Does nothing when the object cannot be found.
#pragma once

#include <dlfcn.h>

inline void PinLoadedObjectOf(const void* symbol) {
  Dl_info info;
  if (dladdr(symbol, &info) != 0 && info.dli_fname != nullptr) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}
