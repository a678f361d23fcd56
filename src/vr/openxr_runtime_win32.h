// The active OpenXR runtime's library, found, loaded and negotiated with the way the Khronos
// loader does it, so no loader library is needed: XR_RUNTIME_JSON (honoured even in an
// elevated process, which is how Wine runs everything), else the ActiveRuntime value under
// HKEY_LOCAL_MACHINE\SOFTWARE\Khronos\OpenXR\1 in the 64-bit view.
#pragma once

#include "vr/openxr_negotiation.h"
#include "vr/openxr_runtime_location.h"

#include <windows.h>

#include <string>

namespace corvane {

// Where the platform says to look.
RuntimeLookupSources ReadOpenXrRuntimeSources();

// Reads a file whole (UTF-8 path), at most `maxBytes`.
bool ReadManifestFileWin32(const std::string& path, size_t maxBytes, std::string& text);

// One loaded, negotiated runtime library. Owns the module: Unload frees it.
class OpenXrRuntimeLibrary {
public:
    OpenXrRuntimeLibrary() = default;
    ~OpenXrRuntimeLibrary() { Unload(); }
    OpenXrRuntimeLibrary(const OpenXrRuntimeLibrary&) = delete;
    OpenXrRuntimeLibrary& operator=(const OpenXrRuntimeLibrary&) = delete;

    // Finds, loads and negotiates; on failure nothing stays loaded and `reason` is a sentence
    // for the log.
    bool Load(const RuntimeLookupSources& sources, std::string& reason);
    void Unload();

    bool Loaded() const { return module_ != nullptr; }
    const RuntimeLocation& Location() const { return location_; }
    XrProcAddrFunction GetInstanceProcAddr() const { return negotiated_.getInstanceProcAddr; }
    XrVersionNumber ApiVersion() const { return negotiated_.runtimeApiVersion; }

private:
    HMODULE module_ = nullptr;
    RuntimeLocation location_;
    XrNegotiateRuntimeRequestRecord negotiated_;
};

} // namespace corvane
