#include "variants_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace {

enum class VariantKind { Bytes, CameraCallSite, ProjectionCallSite };

struct Variant {
    const char* name;
    const char* description;
    VariantKind kind;
    uint32_t rva;
    uint8_t length;
    uint8_t bytes[4];
};

constexpr Variant kVariants[] = {
    {"limiter-compare",
     "first compare of the limiter as cmp edi,[C] (3B for 39)",
     VariantKind::Bytes,
     0x24C169,
     1,
     {0x3B}},
    {"gate-xor", "pedestrian gate clears r8d with 31 instead of 33", VariantKind::Bytes, 0x13FF59, 1, {0x31}},
    {"camera-entry",
     "final camera entry moves rsp to rax with 89 E0",
     VariantKind::Bytes,
     0x24D7D1,
     2,
     {0x89, 0xE0}},
    {"projection-entry",
     "projection entry moves rsp to rax with 89 E0",
     VariantKind::Bytes,
     0x24F981,
     2,
     {0x89, 0xE0}},
    {"allocator-entry",
     "allocator entry pushes rbx without the empty REX prefix (90 53)",
     VariantKind::Bytes,
     0x290BA0,
     2,
     {0x90, 0x53}},
    {"camera-call-site",
     "gameplay camera reaches the final camera function from another call site",
     VariantKind::CameraCallSite,
     0,
     0,
     {}},
    {"projection-call-site",
     "gameplay projection reaches the projection function from another call site",
     VariantKind::ProjectionCallSite,
     0,
     0,
     {}},
    {"time-date-stamp",
     "loaded header's TimeDateStamp one higher (after the import was resolved)",
     VariantKind::Bytes,
     0,
     0,
     {}},
    {"size-of-image", "loaded header's SizeOfImage one page smaller", VariantKind::Bytes, 0, 0, {}},
};

bool WriteImage(uintptr_t rva, const void* bytes, size_t length) {
    auto* target = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr)) + rva);
    DWORD old = 0;
    if (!VirtualProtect(target, length, PAGE_EXECUTE_READWRITE, &old)) {
        return false;
    }
    std::memcpy(target, bytes, length);
    DWORD ignored = 0;
    const bool restored = VirtualProtect(target, length, old, &ignored) != 0;
    FlushInstructionCache(GetCurrentProcess(), target, length);
    return restored;
}

bool PatchHeaderField(const char* field) {
    const auto base = reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + static_cast<uint32_t>(dos->e_lfanew));
    if (std::strcmp(field, "time-date-stamp") == 0) {
        const uint32_t value = nt->FileHeader.TimeDateStamp + 1;
        return WriteImage(reinterpret_cast<uintptr_t>(&nt->FileHeader.TimeDateStamp) - base, &value, 4);
    }
    const uint32_t value = nt->OptionalHeader.SizeOfImage - 0x1000;
    return WriteImage(reinterpret_cast<uintptr_t>(&nt->OptionalHeader.SizeOfImage) - base, &value, 4);
}

} // namespace

bool ApplyVariant(const std::string& name, CallVariants& calls, std::string& error) {
    if (name.empty()) {
        return true;
    }
    for (const Variant& variant : kVariants) {
        if (name != variant.name) {
            continue;
        }
        bool ok = true;
        if (variant.kind == VariantKind::CameraCallSite) {
            calls.cameraFromCutsceneSite = true;
        } else if (variant.kind == VariantKind::ProjectionCallSite) {
            calls.projectionFromOtherSite = true;
        } else if (variant.length == 0) {
            ok = PatchHeaderField(variant.name);
        } else {
            ok = WriteImage(variant.rva, variant.bytes, variant.length);
        }
        if (!ok) {
            error = "variant " + name + " could not be written";
        }
        return ok;
    }
    error = "unknown variant " + name + "; known variants:\n" + VariantList();
    return false;
}

std::string VariantList() {
    std::string list;
    for (const Variant& variant : kVariants) {
        list += "  ";
        list += variant.name;
        list += ": ";
        list += variant.description;
        list += "\n";
    }
    return list;
}
