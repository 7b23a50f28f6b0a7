// The WebKitGTK engine module (libtessel-engine-webkit.so): its two entry
// points, found with dlsym by OpenNativeEngineLibrary. The module links
// WebKitGTK; nothing else in the runtime does.
#pragma once

#include <memory>

#include "platform/engine.h"

// The name of the private scheme the module serves the app's own pages
// from, and its fixed host. Pages see these addresses (location.href is
// "tessel-app://app/index.html" where the component sees
// "file:///index.html").
inline constexpr char kTesselAppScheme[] = "tessel-app";
inline constexpr char kTesselAppOrigin[] = "tessel-app://app";

// The entry points (extern "C" in the module): kEngineAbiVersion of the
// engine.h the module was built with, and a new loader written to *loader.
using TesselEngineAbiVersionFunction = int (*)();
using TesselEngineCreateLoaderFunction =
    void (*)(std::shared_ptr<tessel::platform::EngineLoader>* loader);

inline constexpr char kTesselEngineAbiVersionSymbol[] = "TesselEngineAbiVersion";
inline constexpr char kTesselEngineCreateLoaderSymbol[] = "TesselEngineCreateLoader";
