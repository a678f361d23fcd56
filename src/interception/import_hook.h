// Finds the game executable's import of D3D11CreateDeviceAndSwapChain in its mapped image.
// Runs inside the module entry under the loader lock, so it only reads the image: no
// allocation, no locks, no library loads.
#pragma once

#include <cstdint>

namespace corvane {

// True when the mapped image at `base` is the supported build of the game: the DOS and NT
// signatures, x64, the build's time stamp and image size, PE32+ and a usable import directory.
[[nodiscard]] bool IsSupportedHostImage(uintptr_t base) noexcept;

// The import address table entry through which the image calls `functionName` imported by
// name from `libraryName` (compared without regard to case); null when there is none. The
// image must have passed IsSupportedHostImage, which bounds every offset read here.
[[nodiscard]] uint64_t* FindNamedImportSlot(uintptr_t base, const char* libraryName,
                                            const char* functionName) noexcept;

} // namespace corvane
