#include "game/executable_validation.h"

#include "game/composite_detector.h"
#include "game/guarded_memory.h"
#include "platform/pe_layout.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace corvane {
namespace {

constexpr size_t kSha256HexLength = 2 * kSha256Size;

// Not a constant expression for anything but a hex digit, so a mistyped digest stops the build.
consteval uint8_t HexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return static_cast<uint8_t>(digit - '0');
    }
    if (digit >= 'a' && digit <= 'f') {
        return static_cast<uint8_t>(digit - 'a' + 10);
    }
    if (digit >= 'A' && digit <= 'F') {
        return static_cast<uint8_t>(digit - 'A' + 10);
    }
    throw "a SHA-256 digest is written with hexadecimal digits only";
}

// The digest as it is usually printed (64 hex digits, BCryptFinishHash byte order); the
// parameter's type rejects any other length at compile time.
consteval AcceptedExecutableDigest DigestFromHex(const char (&hex)[kSha256HexLength + 1], bool wideAspect) {
    AcceptedExecutableDigest accepted{};
    for (size_t i = 0; i < kSha256Size; ++i) {
        accepted.sha256[i] =
            static_cast<uint8_t>(HexDigitValue(hex[2 * i]) << 4 | HexDigitValue(hex[2 * i + 1]));
    }
    accepted.wideAspect = wideAspect;
    return accepted;
}

constexpr AcceptedExecutableDigest kAcceptedDigests[] = {
    DigestFromHex("3b1dc73d35125f0afe8279d1044ce980f6308e4216de8cc87890fe17ebd44efc", true),
    DigestFromHex("7ecd508cd7fe65e40b1f47a9dfb94c358f4f6cc482be1ad01d107e2759562ab0", false),
#ifdef CORVANE_EXTRA_SUPPORTED_SHA256
    // A build option for test and demo builds (never the release): one more accepted file,
    // treated like the 16:9 build.
    DigestFromHex(CORVANE_EXTRA_SUPPORTED_SHA256, true),
#endif
};

constexpr int32_t kLargestNtOffset = 0x100000;

template <typename T> T FieldAt(const uint8_t* bytes, size_t offset) {
    T value{};
    std::memcpy(&value, bytes + offset, sizeof(T));
    return value;
}

bool SizeCoversFields(uint32_t sizeOfImage) {
    return sizeOfImage >= 4 && sizeOfImage - 4 >= kHighestDwordFieldRva && sizeOfImage >= 8 &&
           sizeOfImage - 8 >= kHighestQwordFieldRva;
}

} // namespace

std::span<const AcceptedExecutableDigest> AcceptedExecutableDigests() {
    return kAcceptedDigests;
}

bool IsExecutableValidated(const CodeSiteCompanion* companion) {
    GameBridge& bridge = GetGameBridge();
    std::call_once(bridge.validationOnce, [companion] { ValidateExecutable(companion); });
    return bridge.ExecutableValidated;
}

void ValidateExecutable(const CodeSiteCompanion* companion) {
    GameBridge& bridge = GetGameBridge();
    const GameHostSeam& seam = GetGameHostSeam();
    const uintptr_t base = seam.mainModuleBase != nullptr ? seam.mainModuleBase() : 0;
    uint8_t dos[kDosHeaderSize];
    if (base == 0 || !IsRangeReadable(base, sizeof(dos)) || !GuardedCopy(dos, base, sizeof(dos))) {
        CameraLog("Could not read the main executable's DOS header.");
        return;
    }
    const int32_t ntOffset = FieldAt<int32_t>(dos, kNtHeadersOffsetField);
    if (FieldAt<uint16_t>(dos, kDosMagicOffset) != kDosMagic || ntOffset <= 0 ||
        ntOffset > kLargestNtOffset) {
        CameraLog("The main executable has an invalid PE header.");
        return;
    }
    const uintptr_t ntAddress = base + static_cast<uintptr_t>(ntOffset);
    uint8_t nt[kNtHeadersSize];
    if (ntAddress < base || !IsRangeReadable(ntAddress, sizeof(nt)) ||
        !GuardedCopy(nt, ntAddress, sizeof(nt))) {
        CameraLog("Could not read the main executable's NT header.");
        return;
    }
    if (FieldAt<uint32_t>(nt, kNtSignatureOffset) != kPeSignature ||
        FieldAt<uint16_t>(nt, kNtMachineOffset) != kMachineAmd64 ||
        FieldAt<uint16_t>(nt, kNtOptionalMagicOffset) != kPe32PlusMagic) {
        CameraLog("The loaded executable is not the expected 64-bit PE image.");
        return;
    }

    bridge.GameBase = base;
    bridge.GameTimeDateStamp = FieldAt<uint32_t>(nt, kNtTimeDateStampOffset);
    bridge.GameSizeOfImage = FieldAt<uint32_t>(nt, kNtSizeOfImageOffset);

    const bool headerMatch = bridge.GameTimeDateStamp == kSupportedTimeDateStamp &&
                             bridge.GameSizeOfImage == kSupportedSizeOfImage;
    bool matchedWide = false;
    if (headerMatch && SizeCoversFields(bridge.GameSizeOfImage) &&
        ComputeExecutableDigestMatch(matchedWide)) {
        bridge.ExecutableValidated = true;
        bridge.WideAspectVariant = matchedWide;
        bridge.DetectorInstalled = InstallCompositeDetector(companion);
        CameraLogFormat(
            "Validated Corvane I v1.07 (x64) %s executable; first-person camera controls are armed; "
            "original v0.9.5 stereo/projection hot path restored; native composite transition "
            "detector=%s; diagnostic trace hooks=disabled.",
            bridge.WideAspectVariant ? "16:9" : "original 4:3",
            bridge.DetectorInstalled ? "active" : "unavailable");
        return;
    }
    bridge.ExecutableValidated = false;
    bridge.WideAspectVariant = false;
    CameraLogFormat("Unsupported or modified executable; camera writes disabled (timestamp=0x%08X, "
                    "SizeOfImage=0x%08X, SHA-256 match=%s).",
                    bridge.GameTimeDateStamp, bridge.GameSizeOfImage, "no");
}

bool ComputeExecutableDigestMatch(bool& matchedWide) {
    matchedWide = false;
    const GameHostSeam& seam = GetGameHostSeam();
    uint8_t digest[kSha256Size] = {};
    if (seam.hashMainExecutable == nullptr || !seam.hashMainExecutable(digest)) {
        return false;
    }
    for (const AcceptedExecutableDigest& accepted : kAcceptedDigests) {
        if (std::equal(std::begin(digest), std::end(digest), std::begin(accepted.sha256))) {
            matchedWide = accepted.wideAspect;
            return true;
        }
    }
    return false;
}

} // namespace corvane
