// Every literal below is the supported build's value, written out here on its own so that a
// moved routine, a re-encoded instruction or a changed header field shows as a mismatch.
#include "self_check.h"

#include "camera_math.h"
#include "game_code.h"
#include "routines.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        ++g_failures;
        std::printf("self-check FAILED: %s\n", what);
    }
}

uintptr_t Base() {
    return reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
}

template <typename T> T At(uintptr_t rva) {
    T value;
    std::memcpy(&value, reinterpret_cast<const void*>(Base() + rva), sizeof(T));
    return value;
}

uintptr_t RvaOf(const volatile void* address) {
    return reinterpret_cast<uintptr_t>(address) - Base();
}

struct CodeBytes {
    uint32_t rva;
    const char* name;
    uint8_t length;
    uint8_t bytes[33];
};

constexpr CodeBytes kCode[] = {
    {0x24D7D0,
     "final camera entry",
     19,
     {0x48, 0x8B, 0xC4, 0x48, 0x89, 0x58, 0x08, 0x48, 0x89, 0x70, 0x10, 0x57, 0x48, 0x81, 0xEC, 0x90, 0x00,
      0x00, 0x00}},
    {0x772AB, "final camera gameplay call", 5, {0xE8, 0x20, 0x65, 0x1D, 0x00}},
    {0x24F980,
     "projection entry",
     15,
     {0x48, 0x8B, 0xC4, 0x55, 0x48, 0x8D, 0x68, 0xA1, 0x48, 0x81, 0xEC, 0xF0, 0x00, 0x00, 0x00}},
    {0x76E40, "projection call", 5, {0xE8, 0x3B, 0x8B, 0x1D, 0x00}},
    {0x290BA0,
     "allocator entry",
     14,
     {0x40, 0x53, 0x55, 0x57, 0x41, 0x54, 0x41, 0x56, 0x41, 0x57, 0x48, 0x83, 0xEC, 0x58}},
    {0x24C169, "limiter signature and store", 33, {0x39, 0x3D, 0xC1, 0xC3, 0x22, 0x01, 0xB9, 0x01, 0x00,
                                                   0x00, 0x00, 0x0F, 0x45, 0xCF, 0x40, 0x38, 0x3D, 0x4A,
                                                   0x43, 0xC6, 0x00, 0x74, 0x0A, 0x8D, 0x4F, 0x02, 0x40,
                                                   0x88, 0x3D, 0x3E, 0x43, 0xC6, 0x00}},
    {0x13FF50,
     "pedestrian gate",
     14,
     {0xF3, 0x0F, 0x10, 0xA1, 0xB8, 0x01, 0x00, 0x00, 0x45, 0x33, 0xC0, 0x48, 0x8B, 0xD1}},
    {0x842FE, "writer 1", 6, {0x89, 0x0D, 0x68, 0xC3, 0xBD, 0x00}},
    {0x84617, "writer 2", 6, {0x89, 0x35, 0x4F, 0xC0, 0xBD, 0x00}},
    {0x87CC2, "writer 3", 10, {0xC7, 0x05, 0xA0, 0x89, 0xBD, 0x00, 0x01, 0x00, 0x00, 0x00}},
    {0x87EF6, "writer 4", 7, {0x44, 0x89, 0x3D, 0x6F, 0x87, 0xBD, 0x00}},
    {0x88198, "writer 5", 7, {0x44, 0x89, 0x3D, 0xCD, 0x84, 0xBD, 0x00}},
    {0x177CB9, "writer 6", 10, {0xC7, 0x05, 0xA9, 0x89, 0xAE, 0x00, 0x01, 0x00, 0x00, 0x00}},
    {0x19EE4D, "writer 7", 10, {0xC7, 0x05, 0x15, 0x18, 0xAC, 0x00, 0x01, 0x00, 0x00, 0x00}},
    {0x1A8C6A, "writer 8", 10, {0xC7, 0x05, 0xF8, 0x79, 0xAB, 0x00, 0x01, 0x00, 0x00, 0x00}},
    {0x1B4248, "writer 9", 10, {0xC7, 0x05, 0x1A, 0xC4, 0xAA, 0x00, 0x01, 0x00, 0x00, 0x00}},
    {0x1F4DC2, "writer 10", 10, {0xC7, 0x05, 0xA0, 0xB8, 0xA6, 0x00, 0x01, 0x00, 0x00, 0x00}},
    {0x207100, "writer 11", 6, {0x89, 0x15, 0x66, 0x95, 0xA5, 0x00}},
    {0x2077D8, "writer 12", 6, {0x89, 0x05, 0x8E, 0x8E, 0xA5, 0x00}},
    {0x208110, "writer 13", 6, {0x89, 0x2D, 0x56, 0x85, 0xA5, 0x00}},
};

// Value each writer stores when its routine is handed 7: the three-register writers pass it
// on, the constant writers store 1.
constexpr uint32_t kWriterStores[13] = {7, 7, 1, 7, 7, 1, 1, 1, 1, 1, 7, 7, 7};

void CheckHeader() {
    const uintptr_t base = Base();
    Check(base == 0x140000000, "loaded at image base 0x140000000");
    Check(At<uint16_t>(0) == 0x5A4D, "MZ signature");
    const int32_t nt = At<int32_t>(0x3C);
    Check(nt >= 1, "e_lfanew");
    const IMAGE_NT_HEADERS64* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + nt);
    Check(headers->Signature == 0x00004550, "PE signature");
    Check(headers->FileHeader.Machine == 0x8664, "machine x64");
    Check(headers->FileHeader.TimeDateStamp == 0x5BE4DE30, "TimeDateStamp 0x5BE4DE30");
    Check(headers->OptionalHeader.Magic == 0x020B, "PE32+ magic");
    Check(headers->OptionalHeader.SizeOfImage == 0x0A01B000, "SizeOfImage 0x0A01B000");
    Check(headers->OptionalHeader.ImageBase == 0x140000000, "ImageBase 0x140000000");
}

// Finds a by-name import from a library; the library name is compared without case.
bool ImportsByName(const char* library, const char* function) {
    const uintptr_t base = Base();
    const IMAGE_NT_HEADERS64* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + At<int32_t>(0x3C));
    const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[1];
    if (directory.VirtualAddress == 0 || directory.Size == 0 || directory.VirtualAddress >= 0x0A01B000) {
        return false;
    }
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), library) != 0 ||
            d->OriginalFirstThunk == 0) {
            continue;
        }
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + d->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if ((names->u1.Ordinal & IMAGE_ORDINAL_FLAG64) != 0) {
                continue;
            }
            const char* name = reinterpret_cast<const char*>(base + names->u1.AddressOfData + 2);
            if (std::strcmp(name, function) == 0 && addresses->u1.Function != 0) {
                return true;
            }
        }
    }
    return false;
}

void CheckImports() {
    const IMAGE_NT_HEADERS64* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS64*>(Base() + At<int32_t>(0x3C));
    const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[1];
    Check(directory.VirtualAddress != 0 && directory.Size != 0 && directory.VirtualAddress < 0x0A01B000,
          "import directory present inside the image");
    Check(ImportsByName("d3d11.dll", "D3D11CreateDeviceAndSwapChain"),
          "D3D11CreateDeviceAndSwapChain imported by name from d3d11.dll");
    static const char* const kXInputNames[] = {"XInputGetState", "XInputSetState", "XInputGetCapabilities",
                                               "XInputEnable"};
    for (const char* name : kXInputNames) {
        char what[96];
        std::snprintf(what, sizeof(what), "%s imported by name from XINPUT1_3.dll", name);
        Check(ImportsByName("XINPUT1_3.dll", name), what);
    }
}

void CheckCode() {
    for (const CodeBytes& site : kCode) {
        char what[96];
        std::snprintf(what, sizeof(what), "%s at RVA 0x%X", site.name, site.rva);
        Check(std::memcmp(reinterpret_cast<const void*>(Base() + site.rva), site.bytes, site.length) == 0,
              what);
    }
    // Relative calls resolve to the routines' entries: the kept return addresses follow them.
    Check(0x772B0 + At<int32_t>(0x772AC) == 0x24D7D0, "camera call returns to RVA 0x772B0 from 0x24D7D0");
    Check(0x76E45 + At<int32_t>(0x76E41) == 0x24F980, "projection call returns to RVA 0x76E45 from 0x24F980");
    Check(reinterpret_cast<uintptr_t>(&testgame_allocate) - Base() == 0x290BA0, "allocator routine RVA");
    Check(reinterpret_cast<uintptr_t>(&testgame_pedestrian_step) - Base() == 0x13FF50,
          "pedestrian routine RVA");
    Check(reinterpret_cast<uintptr_t>(&testgame_state17_cleanup) - Base() == 0x178830,
          "state-17 cleanup RVA");
    Check(std::memcmp(reinterpret_cast<const void*>(Base() + 0x178830), "\xCC\xCC", 2) != 0,
          "state-17 cleanup has code");
}

void CheckData() {
    const struct {
        const volatile void* address;
        uintptr_t rva;
        const char* name;
    } words[] = {
        {&camera_control_word, 0x5E151F0, "camera control word"},
        {&camera_state, 0x5E151F4, "camera state"},
        {&control_block, 0xC6066C, "control block"},
        {&composite_kind, 0xC64DC4, "composite kind"},
        {&player_object, 0x9F50EB8, "player object pointer"},
        {&actor_registry, 0x9F37D60, "actor registry pointer"},
        {&request_byte_a, 0xEB04C8, "request byte A"},
        {&request_byte_b, 0xD87DA6, "request byte B"},
        {&request_byte_c, 0x1478530, "request byte C"},
        {&simulation_delta, 0xEB0484, "simulation delta"},
    };
    for (const auto& word : words) {
        char what[96];
        std::snprintf(what, sizeof(what), "%s at RVA 0x%llX", word.name,
                      static_cast<unsigned long long>(word.rva));
        Check(RvaOf(word.address) == word.rva, what);
    }
    Check(At<uint32_t>(0x1478530) == request_byte_c, "request byte C read as a word holds only byte C");
    MEMORY_BASIC_INFORMATION info{};
    Check(VirtualQuery(reinterpret_cast<void*>(Base() + 0x9F50EB8), &info, sizeof(info)) != 0 &&
              (info.Protect == PAGE_READWRITE || info.Protect == PAGE_WRITECOPY),
          "state words writable");
}

void RunRoutines() {
    // Camera and projection through their call sites.
    const float eye[3] = {1.0f, 2.0f, 3.0f};
    const float target[3] = {1.0f, 2.0f, -7.0f};
    testgame_gameplay_camera(eye, target, 0x55);
    const ReceivedCamera& camera = LastCamera();
    const Vec3 viewed = Transform(camera.view, {1, 2, -7});
    const Vec3 right = Transform(camera.view, {2, 2, 3});
    Check(camera.eye.z == 3.0f && camera.target.z == -7.0f && camera.flags == 0x55,
          "final camera receives eye, target and flags");
    Check(std::fabs(viewed.z + 10.0f) < 1e-4f && std::fabs(viewed.x) < 1e-4f &&
              std::fabs(right.x - 1.0f) < 1e-4f,
          "final camera builds a right-handed view looking down -z");
    testgame_gameplay_projection(16384, 2.0f, 0.5f, 100.0f); // a quarter turn: 90 degrees
    const ReceivedProjection& projection = LastProjection();
    Check(projection.angle == 16384 && projection.aspect == 2.0f && projection.nearZ == 0.5f &&
              projection.farZ == 100.0f,
          "projection function receives angle, aspect, near and far");
    Check(std::fabs(projection.projection.m[1][1] - 1.0f) < 1e-5f &&
              std::fabs(projection.projection.m[0][0] - 0.5f) < 1e-5f &&
              projection.projection.m[2][3] == -1.0f,
          "projection function builds the frustum from angle and aspect");

    // Allocator: aligned, filled, disjoint blocks from the arena, refusing what does not fit.
    alignas(64) static uint8_t storage[256];
    AllocatorArena arena{storage + 1, 200, 0, 0};
    auto* a = static_cast<uint8_t*>(testgame_allocate(&arena, 10, 16, 0xAB));
    auto* b = static_cast<uint8_t*>(testgame_allocate(&arena, 20, 32, 0xCD));
    Check(a == storage + 16 && b == storage + 32 && arena.used == 51 && arena.blocks == 2,
          "allocator carves aligned blocks");
    Check(a != nullptr && a[0] == 0xAB && a[9] == 0xAB && b != nullptr && b[19] == 0xCD && storage[26] == 0,
          "allocator fills exactly the block");
    Check(testgame_allocate(&arena, 200, 8, 0) == nullptr && testgame_allocate(&arena, 1, 0, 0) == nullptr &&
              arena.blocks == 2,
          "allocator refuses oversize and zero alignment");

    // Limiter: a request the game did not make is dropped by the store.
    request_byte_a = 1;
    request_byte_b = 1;
    request_byte_c = 0;
    Check(testgame_frame_limiter(0) == 2 && request_byte_a == 0, "limiter store drops request byte A");
    Check(testgame_frame_limiter(0) == 1, "limiter without request");
    request_byte_b = 0;

    // Pedestrian step.
    static PedestrianObject walker{};
    walker.heading[0] = 1.0f;
    walker.speedFactor = 2.0f;
    uint32_t steps = 0;
    const float moved = testgame_pedestrian_step(&walker, 0.5f, 99, &steps);
    Check(moved == 1.0f && walker.position[0] == 1.0f && walker.distanceWalked == 1.0f && steps == 1,
          "pedestrian routine moves by step x speed factor");

    // Writers, each storing its register (or 1) into the control block.
    for (int i = 0; i < kControlWriterCount; ++i) {
        control_block = 0;
        ControlWriters()[i](7);
        char what[64];
        std::snprintf(what, sizeof(what), "writer %d stores into the control block", i + 1);
        Check(control_block == kWriterStores[i], what);
    }
    control_block = 0;

    const uint32_t cleanups = state17_cleanups;
    first_person_record[0] = 5;
    testgame_state17_cleanup();
    Check(state17_cleanups == cleanups + 1 && first_person_record[0] == 0, "state-17 cleanup runs");
}

} // namespace

int RunSelfCheck() {
    g_failures = 0;
    CheckHeader();
    CheckImports();
    CheckCode();
    CheckData();
    RunRoutines();
    std::printf("self-check %s (%d failure%s)\n", g_failures == 0 ? "passed" : "failed", g_failures,
                g_failures == 1 ? "" : "s");
    return g_failures;
}
