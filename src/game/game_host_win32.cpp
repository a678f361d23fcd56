// The real host behind the game-integration seam: main module, file digest through the
// system SHA-256, and the registration of the composite breakpoint handler.
#include "game/game_host_win32.h"

#include <bcrypt.h>

#include <memory>
#include <vector>

namespace corvane {
namespace {

constexpr DWORD kModulePathCapacity = 32768;
constexpr DWORD kReadChunk = 65536;

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// Owns everything one hashing run opens; released in the order hash, provider, file, object.
struct HashRun {
    HANDLE file = INVALID_HANDLE_VALUE;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;

    HashRun() = default;
    HashRun(const HashRun&) = delete;
    HashRun& operator=(const HashRun&) = delete;
    ~HashRun() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        object.clear();
        object.shrink_to_fit();
    }
};

bool ReadDwordProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* name, DWORD& value) {
    ULONG written = 0;
    return Succeeded(BCryptGetProperty(algorithm, name, reinterpret_cast<PUCHAR>(&value), sizeof(value),
                                       &written, 0)) &&
           written == sizeof(value);
}

} // namespace

bool HashFileSha256(const wchar_t* path, uint8_t (&digest)[kSha256Size]) {
    HashRun run;
    run.file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (run.file == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!Succeeded(BCryptOpenAlgorithmProvider(&run.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        run.algorithm = nullptr;
        return false;
    }
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (!ReadDwordProperty(run.algorithm, BCRYPT_OBJECT_LENGTH, objectLength) ||
        !ReadDwordProperty(run.algorithm, BCRYPT_HASH_LENGTH, digestLength) || digestLength != kSha256Size ||
        objectLength == 0) {
        return false;
    }
    run.object.assign(objectLength, 0);
    if (!Succeeded(
            BCryptCreateHash(run.algorithm, &run.hash, run.object.data(), objectLength, nullptr, 0, 0))) {
        run.hash = nullptr;
        return false;
    }
    std::vector<UCHAR> chunk(kReadChunk);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(run.file, chunk.data(), kReadChunk, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return Succeeded(BCryptFinishHash(run.hash, digest, kSha256Size, 0));
        }
        if (!Succeeded(BCryptHashData(run.hash, chunk.data(), read, 0))) {
            return false;
        }
    }
}

namespace {

bool HashMainExecutable(uint8_t (&digest)[kSha256Size]) {
    std::vector<wchar_t> path(kModulePathCapacity);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), kModulePathCapacity);
    if (length == 0 || length >= kModulePathCapacity) {
        return false;
    }
    return HashFileSha256(path.data(), digest);
}

uintptr_t MainModuleBase() {
    return reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
}

PVOID g_breakpointHandler = nullptr;

bool AddBreakpointHandler() {
    g_breakpointHandler = AddVectoredExceptionHandler(1, &CompositeBreakpointHandler);
    return g_breakpointHandler != nullptr;
}

void RemoveBreakpointHandler() {
    if (g_breakpointHandler != nullptr) {
        RemoveVectoredExceptionHandler(g_breakpointHandler);
        g_breakpointHandler = nullptr;
    }
}

} // namespace

void InstallGameHostWin32() {
    GameHostSeam seam;
    seam.mainModuleBase = &MainModuleBase;
    seam.hashMainExecutable = &HashMainExecutable;
    seam.addBreakpointHandler = &AddBreakpointHandler;
    seam.removeBreakpointHandler = &RemoveBreakpointHandler;
    seam.pedestrianDetourEntry = &PedestrianStepDetourEntry;
    SetGameHostSeam(seam);
}

} // namespace corvane
