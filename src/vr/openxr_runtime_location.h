// Where the active OpenXR runtime lives, found as the Khronos loader finds it, so a player
// needs no loader library: the manifest named by XR_RUNTIME_JSON where set, else the one the
// registry's ActiveRuntime value names; the manifest is a small JSON file whose
// runtime.library_path names the runtime library, relative paths counting from the
// manifest's folder. Every way this can fail has its own reason text for the log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// A manifest larger than this is not one.
inline constexpr size_t kMaxRuntimeManifestBytes = 64 * 1024;

struct RuntimeManifest {
    std::string fileFormatVersion;
    std::string libraryPath; // as written
    std::string name;        // may be empty
};

// Reads a manifest's text. On failure returns nothing and says why in `reason` (a phrase that
// completes "the runtime manifest ...").
std::optional<RuntimeManifest> ParseRuntimeManifest(std::string_view text, std::string& reason);

// The library path a manifest at `manifestPath` means by `libraryPath`.
std::string ResolveRuntimeLibraryPath(std::string_view manifestPath, std::string_view libraryPath);

// What the platform says about where to look.
struct RuntimeLookupSources {
    std::optional<std::string> environmentManifest; // XR_RUNTIME_JSON, when set and not empty
    std::optional<std::string> registryManifest;    // ActiveRuntime, when present and not empty
};

struct RuntimeLocation {
    std::string manifestPath;
    std::string libraryPath; // resolved
    std::string name;
    const char* source = ""; // "XR_RUNTIME_JSON" or "the registry's ActiveRuntime"
};

// Reads a file whole, at most `maxBytes`; false when it cannot be read or is longer.
using ReadManifestFile = bool (*)(const std::string& path, size_t maxBytes, std::string& text);

// The runtime to use, or nothing with the reason (a whole sentence for the log).
std::optional<RuntimeLocation> LocateOpenXrRuntime(const RuntimeLookupSources& sources, ReadManifestFile read,
                                                   std::string& reason);

} // namespace corvane
