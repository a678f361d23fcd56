// Arbitrary bytes laid into a zero-filled mapping as large as the supported image: the header
// check and the import walk read only inside the mapping (AddressSanitizer watches every
// read), change nothing, accept only a header that really is the supported build's, and any
// import address table entry they return belongs to the requested library and function.
//
// Input: one flag byte, then the bytes laid at the start of the image. With flag bit 0 the
// supported build's header fields are stamped over them (the NT header where the bytes' own
// e_lfanew puts it,
// folded into the first page), so the walk itself is reached.
#include "fuzz_check.h"
#include "interception/import_hook.h"

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kImageSize = 0x0A01B000;
constexpr size_t kMaxLaidBytes = 0x10000;
constexpr uint32_t kTimeDateStamp = 0x5BE4DE30;
constexpr uint32_t kNtHeadersSize = 24 + 240;
constexpr char kLibrary[] = "d3d11.dll";
constexpr char kFunction[] = "D3D11CreateDeviceAndSwapChain";

uint8_t* Image() {
    static uint8_t* const image = static_cast<uint8_t*>(std::calloc(kImageSize, 1));
    return image;
}

template <typename T> T Get(const uint8_t* image, uint64_t rva) {
    T value{};
    if (rva + sizeof(T) <= kImageSize) {
        std::memcpy(&value, image + rva, sizeof value);
    }
    return value;
}

template <typename T> void Put(uint8_t* image, uint64_t rva, T value) {
    std::memcpy(image + rva, &value, sizeof value);
}

bool HasSupportedHeader(const uint8_t* image) {
    const uint32_t nt = Get<uint32_t>(image, 0x3C);
    return Get<uint16_t>(image, 0) == 0x5A4D && nt >= 1 && nt <= 0x1000 - kNtHeadersSize &&
           Get<uint32_t>(image, nt) == 0x00004550 && Get<uint16_t>(image, nt + 4) == 0x8664 &&
           Get<uint32_t>(image, nt + 8) == kTimeDateStamp && Get<uint16_t>(image, nt + 24) == 0x020B &&
           Get<uint32_t>(image, nt + 24 + 56) == kImageSize && Get<uint32_t>(image, nt + 24 + 120) != 0 &&
           Get<uint32_t>(image, nt + 24 + 124) != 0;
}

bool SameTextIgnoringCase(const uint8_t* image, uint64_t rva, const char* expected) {
    for (size_t i = 0;; ++i) {
        if (rva + i >= kImageSize) {
            return false;
        }
        const auto lower = [](int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        if (lower(image[rva + i]) != lower(static_cast<unsigned char>(expected[i]))) {
            return false;
        }
        if (expected[i] == '\0') {
            return true;
        }
    }
}

// The slot must be entry k of the address table of a descriptor of the requested library
// (before the descriptor list ends), whose lookup entry k names the function, with no
// terminating entry before it.
bool SlotBelongsToImport(const uint8_t* image, uint64_t slotRva) {
    uint64_t descriptor = Get<uint32_t>(image, Get<uint32_t>(image, 0x3C) + 24 + 120);
    for (; descriptor + 20 <= kImageSize; descriptor += 20) {
        const uint32_t nameRva = Get<uint32_t>(image, descriptor + 12);
        if (nameRva == 0) {
            return false;
        }
        const uint32_t lookupRva = Get<uint32_t>(image, descriptor);
        const uint32_t addressRva = Get<uint32_t>(image, descriptor + 16);
        if (lookupRva == 0 || slotRva < addressRva || (slotRva - addressRva) % 8 != 0 ||
            !SameTextIgnoringCase(image, nameRva, kLibrary)) {
            continue;
        }
        const uint64_t index = (slotRva - addressRva) / 8;
        bool terminated = false;
        for (uint64_t k = 0; k < index && !terminated; ++k) {
            terminated = Get<uint64_t>(image, lookupRva + k * 8) == 0;
        }
        const uint64_t lookup = Get<uint64_t>(image, lookupRva + index * 8);
        if (!terminated && lookup != 0 && (lookup >> 63) == 0 &&
            lookup + 2 + sizeof kFunction <= kImageSize &&
            std::memcmp(image + lookup + 2, kFunction, sizeof kFunction) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* image = Image();
    FUZZ_CHECK(image != nullptr);
    if (size == 0) {
        return 0;
    }
    const uint8_t flags = data[0];
    const size_t laid = std::min(size - 1, kMaxLaidBytes);
    std::memcpy(image, data + 1, laid);
    if ((flags & 1) != 0) {
        const uint32_t lfanew = Get<uint32_t>(image, 0x3C);
        const uint32_t nt = lfanew >= 0x40 && lfanew <= 0x1000 - kNtHeadersSize
                                ? lfanew
                                : 0x40 + lfanew % (0x1000 - kNtHeadersSize - 0x40 + 1);
        Put<uint16_t>(image, 0, 0x5A4D);
        Put<uint32_t>(image, 0x3C, nt);
        Put<uint32_t>(image, nt, 0x00004550);
        Put<uint16_t>(image, nt + 4, 0x8664);
        Put<uint32_t>(image, nt + 8, kTimeDateStamp);
        Put<uint16_t>(image, nt + 24, 0x020B);
        Put<uint32_t>(image, nt + 24 + 56, static_cast<uint32_t>(kImageSize));
    }
    const size_t touched = std::max<size_t>(laid, 0x1000);
    const std::vector<uint8_t> before(image, image + touched);

    const uintptr_t base = reinterpret_cast<uintptr_t>(image);
    const bool supported = corvane::IsSupportedHostImage(base);
    if (supported) {
        FUZZ_CHECK(HasSupportedHeader(image));
        for (const char* library : {"d3d11.dll", "D3D11.DLL"}) {
            const uint64_t* slot = corvane::FindNamedImportSlot(base, library, kFunction);
            if (slot != nullptr) {
                const uintptr_t address = reinterpret_cast<uintptr_t>(slot);
                FUZZ_CHECK(address >= base && address - base <= kImageSize - 8);
                FUZZ_CHECK(SlotBelongsToImport(image, address - base));
            }
        }
        // A name that differs only in case is a different function.
        const uint64_t* other = corvane::FindNamedImportSlot(base, kLibrary, "d3d11createdeviceandswapchain");
        if (other != nullptr) {
            const uintptr_t address = reinterpret_cast<uintptr_t>(other);
            FUZZ_CHECK(address >= base && address - base <= kImageSize - 8);
        }
    }
    FUZZ_CHECK(std::memcmp(before.data(), image, touched) == 0);
    FUZZ_CHECK(std::all_of(image + touched, image + touched + 0x100, [](uint8_t b) { return b == 0; }));
    std::memset(image, 0, touched);
    return 0;
}
