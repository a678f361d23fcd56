#include "interception/import_hook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace corvane {
namespace {

// A zero-filled mapping as large as the supported image; untouched pages cost nothing.
class HostImage {
public:
    static constexpr size_t kSize = 0x0A01B000;
    static constexpr uint32_t kNt = 0x100;
    static constexpr uint32_t kImports = 0x2000;
    static constexpr uint32_t kStrings = 0x3000;
    static constexpr uint32_t kTables = 0x4000;

    HostImage() : bytes_(static_cast<uint8_t*>(std::calloc(kSize, 1))) {
        Put<uint16_t>(0, 0x5A4D);
        Put<uint32_t>(0x3C, kNt);
        Put<uint32_t>(kNt, 0x00004550);
        Put<uint16_t>(kNt + 4, 0x8664);
        Put<uint32_t>(kNt + 8, 0x5BE4DE30);
        Put<uint16_t>(kNt + 24, 0x020B);
        Put<uint32_t>(kNt + 24 + 56, 0x0A01B000);
        Put<uint32_t>(kNt + 24 + 120, kImports);
        Put<uint32_t>(kNt + 24 + 124, 100);
    }
    ~HostImage() { std::free(bytes_); }
    HostImage(const HostImage&) = delete;
    HostImage& operator=(const HostImage&) = delete;

    uintptr_t base() const { return reinterpret_cast<uintptr_t>(bytes_); }

    template <typename T> void Put(uint32_t rva, T value) {
        std::memcpy(bytes_ + rva, &value, sizeof(value));
    }

    // Adds an import descriptor for `library` whose entries are names ("Name") or ordinals
    // ("#12"); returns the RVA of its import address table.
    uint32_t AddImports(const std::string& library, std::initializer_list<std::string> entries) {
        const uint32_t descriptor = kImports + descriptors_ * 20;
        ++descriptors_;
        const uint32_t lookup = tables_;
        const uint32_t address = tables_ + 0x100;
        tables_ += 0x200;
        Put<uint32_t>(descriptor, lookup);
        Put<uint32_t>(descriptor + 12, AddString(library));
        Put<uint32_t>(descriptor + 16, address);
        uint32_t index = 0;
        for (const std::string& entry : entries) {
            uint64_t value = 0;
            if (entry[0] == '#') {
                value = 0x8000000000000000ull | std::stoul(entry.substr(1));
            } else {
                value = AddString(std::string("\x01\x00", 2) + entry);
            }
            Put<uint64_t>(lookup + index * 8, value);
            Put<uint64_t>(address + index * 8, 0x7FF812340000ull + index);
            ++index;
        }
        return address;
    }

private:
    uint32_t AddString(const std::string& text) {
        const uint32_t rva = strings_;
        std::memcpy(bytes_ + rva, text.data(), text.size());
        strings_ += static_cast<uint32_t>(text.size()) + 1;
        return rva;
    }

    uint8_t* bytes_;
    uint32_t descriptors_ = 0;
    uint32_t strings_ = kStrings;
    uint32_t tables_ = kTables;
};

uint64_t* Find(const HostImage& image) {
    return FindNamedImportSlot(image.base(), "d3d11.dll", "D3D11CreateDeviceAndSwapChain");
}

TEST(HostImageIdentity, EachHeaderFieldMustHoldTheSupportedValue) {
    using Check = HostImageCheck;
    struct Case {
        const char* field;
        std::function<void(HostImage&)> change;
        Check refusedBy;
    };
    constexpr uint32_t nt = HostImage::kNt;
    const Case cases[] = {
        {"e_magic", [](HostImage& i) { i.Put<uint16_t>(0, 0x5A4E); }, Check::NoDosSignature},
        {"e_lfanew zero", [](HostImage& i) { i.Put<uint32_t>(0x3C, 0); }, Check::HeaderOutsideFirstPage},
        {"signature", [](HostImage& i) { i.Put<uint32_t>(nt, 0x00004551); }, Check::NoPeSignature},
        {"machine", [](HostImage& i) { i.Put<uint16_t>(nt + 4, 0x014C); }, Check::NotX64},
        {"time stamp one later", [](HostImage& i) { i.Put<uint32_t>(nt + 8, 0x5BE4DE31); },
         Check::OtherTimeDateStamp},
        {"time stamp one earlier", [](HostImage& i) { i.Put<uint32_t>(nt + 8, 0x5BE4DE2F); },
         Check::OtherTimeDateStamp},
        {"size of image", [](HostImage& i) { i.Put<uint32_t>(nt + 24 + 56, 0x0A01C000); },
         Check::OtherSizeOfImage},
        {"optional magic", [](HostImage& i) { i.Put<uint16_t>(nt + 24, 0x010B); }, Check::NotPe32Plus},
        {"import address zero", [](HostImage& i) { i.Put<uint32_t>(nt + 24 + 120, 0); },
         Check::NoUsableImportDirectory},
        {"import size zero", [](HostImage& i) { i.Put<uint32_t>(nt + 24 + 124, 0); },
         Check::NoUsableImportDirectory},
        {"import address past the image", [](HostImage& i) { i.Put<uint32_t>(nt + 24 + 120, 0x0A01B000); },
         Check::NoUsableImportDirectory},
        {"first descriptor unnamed", [](HostImage& i) { i.Put<uint32_t>(HostImage::kImports + 12, 0); },
         Check::NoUsableImportDirectory},
    };
    for (const Case& c : cases) {
        HostImage image;
        image.AddImports("d3d11.dll", {"D3D11CreateDeviceAndSwapChain"});
        ASSERT_TRUE(IsSupportedHostImage(image.base())) << "before changing " << c.field;
        c.change(image);
        EXPECT_FALSE(IsSupportedHostImage(image.base())) << c.field;
        EXPECT_EQ(c.refusedBy, CheckHostImage(image.base())) << c.field;
    }
    EXPECT_FALSE(IsSupportedHostImage(0));
    EXPECT_EQ(Check::NoDosSignature, CheckHostImage(0));
}

TEST(HostImageImports, FindsTheNamedEntryOfTheLibraryInAnyCase) {
    HostImage image;
    image.AddImports("KERNEL32.dll", {"D3D11CreateDeviceAndSwapChain"});
    const uint32_t table =
        image.AddImports("D3D11.DLL", {"#7", "D3D11CreateDevice", "D3D11CreateDeviceAndSwapChain"});
    ASSERT_TRUE(IsSupportedHostImage(image.base()));
    EXPECT_EQ(Find(image), reinterpret_cast<uint64_t*>(image.base() + table + 2 * 8));
}

TEST(HostImageImports, ALibraryWithoutTheNameMovesTheWalkOn) {
    HostImage image;
    image.AddImports("d3d11.dll", {"D3D11CreateDevice"});
    const uint32_t table = image.AddImports("d3d11.dll", {"D3D11CreateDeviceAndSwapChain"});
    EXPECT_EQ(Find(image), reinterpret_cast<uint64_t*>(image.base() + table));
}

TEST(HostImageImports, AbsentWhenOnlyByOrdinalOrNotAtAllOrOnlyAPrefixMatches) {
    HostImage byOrdinal;
    byOrdinal.AddImports("d3d11.dll", {"#1", "#2"});
    EXPECT_EQ(Find(byOrdinal), nullptr);

    HostImage otherLibrary;
    otherLibrary.AddImports("d3d11x.dll", {"D3D11CreateDeviceAndSwapChain"});
    EXPECT_EQ(Find(otherLibrary), nullptr);

    HostImage longerName;
    longerName.AddImports("d3d11.dll", {"D3D11CreateDeviceAndSwapChain2", "d3d11createdeviceandswapchain"});
    EXPECT_EQ(Find(longerName), nullptr);
}

} // namespace
} // namespace corvane
