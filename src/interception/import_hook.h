// Finds the game executable's import of D3D11CreateDeviceAndSwapChain in its mapped image.
// Runs inside the module entry under the loader lock, so it only reads the image: no
// allocation, no locks, no library loads.
#pragma once

#include <cstdint>

namespace corvane {

// The header checks in the order they are made; the first that fails refuses the host.
enum class HostImageCheck : uint8_t {
    Supported,
    NoDosSignature,
    HeaderOutsideFirstPage,
    NoPeSignature,
    NotX64,
    OtherTimeDateStamp,
    OtherSizeOfImage,
    NotPe32Plus,
    NoUsableImportDirectory,
};

// Which check the mapped image at `base` fails, or Supported when it is the supported build of
// the game: the DOS and NT signatures, x64, the build's time stamp and image size, PE32+ and a
// usable import directory.
[[nodiscard]] HostImageCheck CheckHostImage(uintptr_t base) noexcept;
[[nodiscard]] bool IsSupportedHostImage(uintptr_t base) noexcept;

// Why a host was refused, in words for the debugger output; empty for Supported.
[[nodiscard]] const char* HostImageRefusal(HostImageCheck check) noexcept;

// The import address table entry through which the image calls `functionName` imported by
// name from `libraryName` (compared without regard to case); null when there is none. The
// image must have passed IsSupportedHostImage, which bounds every offset read here.
[[nodiscard]] uint64_t* FindNamedImportSlot(uintptr_t base, const char* libraryName,
                                            const char* functionName) noexcept;

} // namespace corvane
