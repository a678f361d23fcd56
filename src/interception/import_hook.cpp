#include "interception/import_hook.h"

#include "game/executable_validation.h"
#include "platform/pe_layout.h"

#include <cstring>

namespace corvane {
namespace {

constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kDescriptorNameOffset = 12;
constexpr uint32_t kDescriptorAddressTableOffset = 16;
constexpr uint64_t kImportByOrdinal = 0x8000000000000000ull;
constexpr uint32_t kHintSize = 2;

template <typename T> T ReadAt(uintptr_t base, uint64_t offset) noexcept {
    T value;
    std::memcpy(&value, reinterpret_cast<const void*>(base + offset), sizeof(value));
    return value;
}

bool EqualsIgnoringCase(uintptr_t base, uint64_t rva, const char* expected) noexcept {
    for (uint64_t i = 0;; ++i) {
        if (rva + i >= kSupportedSizeOfImage) {
            return false;
        }
        char actual = ReadAt<char>(base, rva + i);
        char wanted = expected[i];
        if (actual >= 'A' && actual <= 'Z') {
            actual = static_cast<char>(actual - 'A' + 'a');
        }
        if (wanted >= 'A' && wanted <= 'Z') {
            wanted = static_cast<char>(wanted - 'A' + 'a');
        }
        if (actual != wanted) {
            return false;
        }
        if (actual == '\0') {
            return true;
        }
    }
}

bool EqualsExactly(uintptr_t base, uint64_t rva, const char* expected) noexcept {
    const size_t length = std::strlen(expected) + 1;
    if (rva >= kSupportedSizeOfImage || length > kSupportedSizeOfImage - rva) {
        return false;
    }
    return std::memcmp(reinterpret_cast<const void*>(base + rva), expected, length) == 0;
}

uint32_t NtHeadersOffset(uintptr_t base) noexcept {
    return ReadAt<uint32_t>(base, kNtHeadersOffsetField);
}

} // namespace

HostImageCheck CheckHostImage(uintptr_t base) noexcept {
    if (base == 0 || ReadAt<uint16_t>(base, kDosMagicOffset) != kDosMagic) {
        return HostImageCheck::NoDosSignature;
    }
    const uint32_t nt = NtHeadersOffset(base);
    // The header must lie inside the first page the loader always maps.
    if (nt < 1 || nt > 0x1000 - kNtHeadersSize) {
        return HostImageCheck::HeaderOutsideFirstPage;
    }
    if (ReadAt<uint32_t>(base, nt + kNtSignatureOffset) != kPeSignature) {
        return HostImageCheck::NoPeSignature;
    }
    if (ReadAt<uint16_t>(base, nt + kNtMachineOffset) != kMachineAmd64) {
        return HostImageCheck::NotX64;
    }
    if (ReadAt<uint32_t>(base, nt + kNtTimeDateStampOffset) != kSupportedTimeDateStamp) {
        return HostImageCheck::OtherTimeDateStamp;
    }
    if (ReadAt<uint32_t>(base, nt + kNtSizeOfImageOffset) != kSupportedSizeOfImage) {
        return HostImageCheck::OtherSizeOfImage;
    }
    if (ReadAt<uint16_t>(base, nt + kNtOptionalMagicOffset) != kPe32PlusMagic) {
        return HostImageCheck::NotPe32Plus;
    }
    const uint32_t importRva = ReadAt<uint32_t>(base, nt + kNtImportDirectoryOffset);
    const uint32_t importSize = ReadAt<uint32_t>(base, nt + kNtImportDirectoryOffset + 4);
    if (importRva == 0 || importSize == 0 || importRva >= kSupportedSizeOfImage ||
        kSupportedSizeOfImage - importRva < kImportDescriptorSize ||
        ReadAt<uint32_t>(base, importRva + kDescriptorNameOffset) == 0) {
        return HostImageCheck::NoUsableImportDirectory;
    }
    return HostImageCheck::Supported;
}

bool IsSupportedHostImage(uintptr_t base) noexcept {
    return CheckHostImage(base) == HostImageCheck::Supported;
}

const char* HostImageRefusal(HostImageCheck check) noexcept {
    switch (check) {
    case HostImageCheck::Supported:
        return "";
    case HostImageCheck::NoDosSignature:
        return "the executable has no MZ header";
    case HostImageCheck::HeaderOutsideFirstPage:
        return "the executable's NT header is not in its first page";
    case HostImageCheck::NoPeSignature:
        return "the executable has no PE signature";
    case HostImageCheck::NotX64:
        return "the executable is not x64";
    case HostImageCheck::OtherTimeDateStamp:
        return "the executable's TimeDateStamp is not the supported build's";
    case HostImageCheck::OtherSizeOfImage:
        return "the executable's SizeOfImage is not the supported build's";
    case HostImageCheck::NotPe32Plus:
        return "the executable is not PE32+";
    case HostImageCheck::NoUsableImportDirectory:
        return "the executable's import directory is unusable";
    }
    return "the executable is not the supported build";
}

uint64_t* FindNamedImportSlot(uintptr_t base, const char* libraryName, const char* functionName) noexcept {
    const uint32_t nt = NtHeadersOffset(base);
    uint64_t descriptor = ReadAt<uint32_t>(base, nt + kNtImportDirectoryOffset);
    for (; descriptor + kImportDescriptorSize <= kSupportedSizeOfImage; descriptor += kImportDescriptorSize) {
        const uint32_t nameRva = ReadAt<uint32_t>(base, descriptor + kDescriptorNameOffset);
        if (nameRva == 0) {
            return nullptr;
        }
        const uint32_t lookupRva = ReadAt<uint32_t>(base, descriptor);
        const uint32_t addressRva = ReadAt<uint32_t>(base, descriptor + kDescriptorAddressTableOffset);
        if (lookupRva == 0 || addressRva == 0 || !EqualsIgnoringCase(base, nameRva, libraryName)) {
            continue;
        }
        for (uint64_t index = 0;; ++index) {
            const uint64_t lookupEntry = lookupRva + index * 8;
            const uint64_t addressEntry = addressRva + index * 8;
            if (lookupEntry + 8 > kSupportedSizeOfImage || addressEntry + 8 > kSupportedSizeOfImage) {
                break;
            }
            const uint64_t lookup = ReadAt<uint64_t>(base, lookupEntry);
            if (lookup == 0) {
                break;
            }
            if ((lookup & kImportByOrdinal) != 0 || lookup >= kSupportedSizeOfImage) {
                continue;
            }
            if (EqualsExactly(base, lookup + kHintSize, functionName)) {
                return reinterpret_cast<uint64_t*>(base + addressEntry);
            }
        }
    }
    return nullptr;
}

} // namespace corvane
