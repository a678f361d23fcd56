// A supported game image laid out in the simulated page table: PE header, the code sites
// with their expected bytes, the data words and a player with its actor registry.
#pragma once

#include "core/settings.h"
#include "fakes/fake_memory.h"
#include "game/composite_detector.h"
#include "game/executable_validation.h"
#include "game/first_person.h"
#include "game/game_bridge.h"
#include "game/guarded_memory.h"
#include "game/native60.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace corvane::testing_support {

inline constexpr uintptr_t kImageBase = 0x140000000;
inline constexpr uintptr_t kPlayerObject = 0x200000104;
inline constexpr uintptr_t kActiveActor = kPlayerObject - 4;
inline constexpr uintptr_t kActorRegistry = 0x210000000;
inline constexpr uintptr_t kActiveSlot = 0x210001000;
inline constexpr uintptr_t kDetourEntry = 0x7FF700000000;
inline constexpr uint32_t kNtOffset = 0x80;

struct FakeHost {
    uintptr_t base = kImageBase;
    bool hashFails = false;
    uint8_t digest[kSha256Size] = {};
    int hashCalls = 0;
    bool handlerFails = false;
    int handlersAdded = 0;
    int handlersRemoved = 0;
};

inline FakeHost& Host() {
    static FakeHost host;
    return host;
}

// A digest written as 64 hex digits, in the byte order the hashing produces.
inline void DigestFromHex(const char* hex, uint8_t (&digest)[kSha256Size]) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (size_t i = 0; i < kSha256Size; ++i) {
        digest[i] = static_cast<uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
}

// The file digest of the 16:9 build of the game.
inline constexpr const char* kWideBuildSha256 =
    "3b1dc73d35125f0afe8279d1044ce980f6308e4216de8cc87890fe17ebd44efc";

inline void InstallFakeHost() {
    Host() = FakeHost{};
    DigestFromHex(kWideBuildSha256, Host().digest);
    GameHostSeam seam;
    seam.mainModuleBase = [] { return Host().base; };
    seam.hashMainExecutable = [](uint8_t(&digest)[kSha256Size]) {
        ++Host().hashCalls;
        std::copy_n(Host().digest, kSha256Size, digest);
        return !Host().hashFails;
    };
    seam.addBreakpointHandler = [] {
        ++Host().handlersAdded;
        return !Host().handlerFails;
    };
    seam.removeBreakpointHandler = [] { ++Host().handlersRemoved; };
    seam.pedestrianDetourEntry = [] { return kDetourEntry; };
    SetGameHostSeam(seam);
}

// Writes the PE header fields validation reads.
inline void WriteHeader(uintptr_t base, uint32_t timeDateStamp = kSupportedTimeDateStamp,
                        uint32_t sizeOfImage = kSupportedSizeOfImage, int32_t ntOffset = kNtOffset) {
    fake::Commit(base, 0x1000, kPageReadOnly);
    fake::PokeValue<uint16_t>(base, 0x5A4D);
    fake::PokeValue<int32_t>(base + 0x3C, ntOffset);
    const uintptr_t nt = base + static_cast<uint32_t>(ntOffset);
    if (ntOffset > 0 && static_cast<uint32_t>(ntOffset) + 264 <= 0x1000) {
        fake::PokeValue<uint32_t>(nt, 0x4550);
        fake::PokeValue<uint16_t>(nt + 4, 0x8664);
        fake::PokeValue<uint32_t>(nt + 8, timeDateStamp);
        fake::PokeValue<uint16_t>(nt + 24, 0x20B);
        fake::PokeValue<uint32_t>(nt + 24 + 56, sizeOfImage);
    }
}

inline void CommitCode(uintptr_t base, uint64_t rva, const uint8_t* bytes, size_t size) {
    fake::Commit(base + rva, size, kPageReadWrite);
    fake::Poke(base + rva, bytes, size);
    fake::SetProtection(base + rva, size, kPageExecuteRead);
}

// The whole supported image: code sites, data words (camera state 0, control block open)
// and a player whose actor the registry names.
inline void LayOutGameImage(uintptr_t base = kImageBase) {
    WriteHeader(base);
    for (const CompositeWriter& row : CompositeWriterTable()) {
        CommitCode(base, row.rva, row.expected, row.length);
    }
    CommitCode(base, kLimiterSignatureRva, kLimiterSignature, sizeof(kLimiterSignature));
    CommitCode(base, kLimiterStoreRva, kLimiterStore, sizeof(kLimiterStore));
    CommitCode(base, kPedestrianGateRva, kPedestrianGate, sizeof(kPedestrianGate));
    const uint8_t ret = 0xC3;
    CommitCode(base, kState17CleanupRva, &ret, 1);
    for (uint64_t rva :
         {kCameraControlWordRva, kControlBlockRva, kCompositeKindRva, kPlayerObjectRva, kActorRegistryRva,
          kRequestByteARva, kRequestByteBRva, kRequestByteCRva, kSimulationDeltaRva}) {
        fake::Commit(base + rva, 8, kPageReadWrite);
    }
    fake::PokeValue<float>(base + kSimulationDeltaRva, 1.0f / 30.0f);
    fake::Commit(kActiveActor & ~uintptr_t{0xFFF}, 0x1000, kPageReadWrite);
    fake::Commit(kActorRegistry, 0x2000, kPageReadWrite);
    fake::PokeValue<uint64_t>(base + kPlayerObjectRva, kPlayerObject);
    fake::PokeValue<uint64_t>(base + kActorRegistryRva, kActorRegistry);
    fake::PokeValue<uint64_t>(kActorRegistry + 0x70, kActiveSlot);
    fake::PokeValue<uint64_t>(kActiveSlot, kActiveActor);
    fake::PokeValue<float>(kActiveActor + 0x58, 0.25f);
    fake::PokeValue<uint8_t>(kActiveActor + 0x98, 0x01);
}

inline uint32_t CameraState(uintptr_t base = kImageBase) {
    return fake::PeekValue<uint32_t>(base + kCameraStateRva);
}
inline void SetCameraState(uint32_t state, uintptr_t base = kImageBase) {
    fake::PokeValue<uint32_t>(base + kCameraStateRva, state);
}
inline void SetControlBlock(uint32_t value, uintptr_t base = kImageBase) {
    fake::PokeValue<uint32_t>(base + kControlBlockRva, value);
}

// Camera-channel messages, as the sink receives them.
inline std::vector<std::string>& CameraMessages() {
    static std::vector<std::string> messages;
    return messages;
}
inline void RecordCameraMessages() {
    CameraMessages().clear();
    SetCameraLogSink([](const char* message) { CameraMessages().emplace_back(message); });
}
inline size_t CountCameraMessages(const std::string& text) {
    return static_cast<size_t>(std::count(CameraMessages().begin(), CameraMessages().end(), text));
}

} // namespace corvane::testing_support
