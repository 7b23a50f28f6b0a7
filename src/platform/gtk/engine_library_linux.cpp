// Opens the engine module with dlopen, so the runtime starts (and reaches its
// own messages) on a machine without WebKitGTK.
#include <dlfcn.h>

#include "platform/engine.h"
#include "platform/gtk/engine_webkit.h"

namespace tessel::platform {

HRESULT OpenNativeEngineLibrary(const std::string& path, std::shared_ptr<EngineLoader>* loader) {
  if (loader == nullptr) return kEPointer;
  if (path.empty()) return kEFail;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return kEFail;
  auto version = reinterpret_cast<TesselEngineAbiVersionFunction>(
      dlsym(handle, kTesselEngineAbiVersionSymbol));
  auto create = reinterpret_cast<TesselEngineCreateLoaderFunction>(
      dlsym(handle, kTesselEngineCreateLoaderSymbol));
  if (version == nullptr || create == nullptr || version() != kEngineAbiVersion) {
    dlclose(handle);
    return kEFail;
  }
  // From here on the module stays loaded for the life of the process.
  std::shared_ptr<EngineLoader> created;
  create(&created);
  if (!created) return kEFail;
  *loader = std::move(created);
  return kSOk;
}

}  // namespace tessel::platform
