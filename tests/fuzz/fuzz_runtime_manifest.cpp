// Any bytes as an OpenXR runtime manifest: the reader never reads past the text or recurses
// without bound, and what it accepts is a manifest of format 1.x naming a library path without
// control characters, which resolves against the manifest's folder to a path ending in it.
#include "fuzz_check.h"
#include "vr/openxr_runtime_location.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string reason;
    const std::optional<corvane::RuntimeManifest> manifest = corvane::ParseRuntimeManifest(text, reason);
    if (!manifest.has_value()) {
        FUZZ_CHECK(!reason.empty());
        return 0;
    }
    FUZZ_CHECK(manifest->fileFormatVersion.rfind("1.", 0) == 0);
    FUZZ_CHECK(!manifest->libraryPath.empty());
    for (const char c : manifest->libraryPath) {
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
    }
    const std::string resolved =
        corvane::ResolveRuntimeLibraryPath("C:\\XR\\runtime.json", manifest->libraryPath);
    std::string_view tail = manifest->libraryPath;
    if (tail.size() >= 2 && tail[0] == '.' && (tail[1] == '\\' || tail[1] == '/')) {
        tail.remove_prefix(2);
    }
    FUZZ_CHECK(resolved.size() >= tail.size() &&
               resolved.compare(resolved.size() - tail.size(), tail.size(), tail) == 0);
    return 0;
}
