#include "game/guarded_memory.h"

#include "platform/memory.h"
#include "platform/memory_probe.h"
#include "platform/os.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace corvane {
namespace {

constexpr size_t kCameraMessageCapacity = 384;
constexpr size_t kCameraLineCapacity = 512;
constexpr uint32_t kBitsOfOne = 0x3F800000;
constexpr uint8_t kBodyVisibleFlag = 0x04;

std::atomic<CameraLogSink> g_cameraLogSink{nullptr};

// The camera-state word may sit on an execute-only page: the write makes it writable first,
// so such a page is accepted here although it fails the plain readable probe.
bool IsCameraStateReachable(uintptr_t address) {
    if (IsRangeReadable(address, 4)) {
        return true;
    }
    MemoryRegion region;
    return MemoryQuery(address, region) && region.state == kMemCommit &&
           (region.protect & (kPageNoAccess | kPageGuard)) == 0 && (region.protect & 0xFF) == kPageExecute &&
           address - region.base <= region.size - 4;
}

} // namespace

bool IsRangeReadable(uintptr_t address, size_t size) {
    return MemoryRangeReadable(address, size);
}

bool IsAddressWritable(uintptr_t address) {
    return MemoryAddressWritable(address);
}

bool GuardedCopy(void* destination, uintptr_t source, size_t size) {
    if (size == 0) {
        return true;
    }
    if (destination == nullptr || source == 0) {
        return false;
    }
    return MemoryGuardedRead(destination, source, size);
}

bool GuardedCall(uintptr_t code) {
    return code != 0 && MemoryGuardedCall(code);
}

bool WriteCameraState(int32_t value) {
    uintptr_t address = 0;
    if (!ResolveGameAddress(kCameraStateRva, sizeof(uint32_t), address) || !IsCameraStateReachable(address) ||
        address % 4 != 0) {
        CameraLog("Camera-state address is unavailable or misaligned; write skipped.");
        return false;
    }
    MemoryRegion region;
    if (!MemoryQuery(address, region) || region.state != kMemCommit) {
        CameraLog("VirtualQuery failed for the camera-state address; write skipped.");
        return false;
    }
    const uint32_t wanted = IsExecutableProtection(region.protect) ? kPageExecuteReadWrite : kPageReadWrite;
    uint32_t old = 0;
    if (!MemoryProtect(address, 4, wanted, old)) {
        CameraLogFormat("VirtualProtect failed before camera write (error %lu).",
                        static_cast<unsigned long>(MemoryLastError()));
        return false;
    }
    uint32_t previous = 0;
    const bool written = MemoryGuardedExchange32(address, static_cast<uint32_t>(value), previous);
    uint32_t ignored = 0;
    if (!MemoryProtect(address, 4, old, ignored)) {
        CameraLogFormat("Camera state changed, but restoring page protection failed (error %lu).",
                        static_cast<unsigned long>(MemoryLastError()));
    }
    // A value that reached the game is reported as written even when the protection stayed
    // open: the caller then owns the state it put there and restores it later.
    return written;
}

bool IsGameForeground() {
    return OsIsForegroundWindowOurs();
}

void CameraLog(const char* message) {
    const char* text = message != nullptr ? message : "";
    char line[kCameraLineCapacity];
    std::snprintf(line, sizeof(line), "[CorvaneVR/Camera] %s\n", text);
    OsDebugOutput(line);
    if (const CameraLogSink sink = g_cameraLogSink.load()) {
        sink(text);
    }
}

void CameraLogFormat(const char* format, ...) {
    char message[kCameraMessageCapacity];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof(message), format, arguments);
    va_end(arguments);
    CameraLog(message);
}

void SetCameraLogSink(CameraLogSink sink) {
    g_cameraLogSink.store(sink);
}

bool ForceBodyVisible(uintptr_t alphaAddress, uintptr_t flagsAddress) {
    uint32_t previousAlpha = 0;
    return MemoryGuardedExchange32(alphaAddress, kBitsOfOne, previousAlpha) &&
           MemoryGuardedOr8(flagsAddress, kBodyVisibleFlag);
}

bool RestoreBodyVisibility(uintptr_t alphaAddress, uintptr_t flagsAddress, uint32_t savedAlpha,
                           uint8_t savedFlags) {
    uint32_t previousAlpha = 0;
    uint8_t previousFlags = 0;
    return MemoryGuardedExchange32(alphaAddress, savedAlpha, previousAlpha) &&
           MemoryGuardedExchange8(flagsAddress, savedFlags, previousFlags);
}

} // namespace corvane
