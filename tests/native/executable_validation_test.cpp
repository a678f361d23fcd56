#include "game/executable_validation.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

const char* const kValidatedWide =
    "Validated Corvane I v1.07 (x64) 16:9 executable; first-person camera controls are armed; original "
    "v0.9.5 "
    "stereo/projection hot path restored; native composite transition detector=active; diagnostic trace "
    "hooks=disabled.";

class ExecutableValidationTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        RecordCameraMessages();
    }
    // Runs the validation and returns the one message it must write.
    static std::string ValidateOnce() {
        (void)IsExecutableValidated();
        EXPECT_EQ(1u, CameraMessages().size());
        return CameraMessages().empty() ? std::string() : CameraMessages().back();
    }
};

TEST_F(ExecutableValidationTest, HeaderChecksRejectWithTheirOwnMessage) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string message;
    };
    const std::string invalid = "The main executable has an invalid PE header.";
    const std::string notPe = "The loaded executable is not the expected 64-bit PE image.";
    const uintptr_t nt = kImageBase + kNtOffset;
    const std::vector<Case> cases = {
        {"no main module", [] { Host().base = 0; }, "Could not read the main executable's DOS header."},
        {"unreadable DOS header", [] { fake::Reserve(kImageBase, 0x1000); },
         "Could not read the main executable's DOS header."},
        {"bad magic", [] { fake::PokeValue<uint16_t>(kImageBase, 0x5A4E); }, invalid},
        {"zero e_lfanew", [] { fake::PokeValue<int32_t>(kImageBase + 0x3C, 0); }, invalid},
        {"negative e_lfanew", [] { fake::PokeValue<int32_t>(kImageBase + 0x3C, -8); }, invalid},
        {"e_lfanew past 1 MiB", [] { fake::PokeValue<int32_t>(kImageBase + 0x3C, 0x100001); }, invalid},
        {"NT header runs into a reserved page", [] { fake::PokeValue<int32_t>(kImageBase + 0x3C, 0xF80); },
         "Could not read the main executable's NT header."},
        {"signature", [nt] { fake::PokeValue<uint32_t>(nt, 0x4551); }, notPe},
        {"machine", [nt] { fake::PokeValue<uint16_t>(nt + 4, 0x14C); }, notPe},
        {"optional magic", [nt] { fake::PokeValue<uint16_t>(nt + 24, 0x10B); }, notPe},
        {"timestamp off by one", [nt] { fake::PokeValue<uint32_t>(nt + 8, kSupportedTimeDateStamp + 1); },
         "Unsupported or modified executable; camera writes disabled (timestamp=0x5BE4DE31, "
         "SizeOfImage=0x0A01B000, SHA-256 match=no)."},
        {"other SizeOfImage", [nt] { fake::PokeValue<uint32_t>(nt + 80, 0x9F50EBF); },
         "Unsupported or modified executable; camera writes disabled (timestamp=0x5BE4DE30, "
         "SizeOfImage=0x09F50EBF, SHA-256 match=no)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
        c.arrange();
        EXPECT_EQ(c.message, ValidateOnce());
        EXPECT_FALSE(GetGameBridge().ExecutableValidated);
        EXPECT_EQ(0, Host().hashCalls); // nothing is hashed unless the header matches
        EXPECT_EQ(0u, fake::Memory().protectCalls.size());
    }
}

TEST_F(ExecutableValidationTest, NtOffsetOfExactlyOneMebibyteIsAccepted) {
    LayOutGameImage();
    const uintptr_t nt = kImageBase + 0x100000;
    fake::PokeValue<int32_t>(kImageBase + 0x3C, 0x100000);
    fake::Commit(nt, 0x1000, kPageReadOnly);
    fake::PokeValue<uint32_t>(nt, 0x4550);
    fake::PokeValue<uint16_t>(nt + 4, 0x8664);
    fake::PokeValue<uint32_t>(nt + 8, kSupportedTimeDateStamp);
    fake::PokeValue<uint16_t>(nt + 24, 0x20B);
    fake::PokeValue<uint32_t>(nt + 80, kSupportedSizeOfImage);
    EXPECT_EQ(kValidatedWide, ValidateOnce());
}

TEST_F(ExecutableValidationTest, DigestDecidesTheVariantAndTheResult) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool validated;
        bool wide;
        std::string message;
    };
    const std::string rejected =
        "Unsupported or modified executable; camera writes disabled (timestamp=0x5BE4DE30, "
        "SizeOfImage=0x0A01B000, SHA-256 match=no).";
    const std::vector<Case> cases = {
        {"16:9 digest", [] {}, true, true, kValidatedWide},
        {"4:3 digest",
         [] {
             DigestFromHex("7ecd508cd7fe65e40b1f47a9dfb94c358f4f6cc482be1ad01d107e2759562ab0", Host().digest);
         },
         true, false,
         "Validated Corvane I v1.07 (x64) original 4:3 executable; first-person camera controls are armed; "
         "original v0.9.5 stereo/projection hot path restored; native composite transition detector=active; "
         "diagnostic trace hooks=disabled."},
        {"one byte off", [] { Host().digest[31] ^= 1; }, false, false, rejected},
        // Accepted only by builds given it as their extra digest.
        {"a test build's extra digest",
         [] {
             DigestFromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Host().digest);
         },
         false, false, rejected},
        {"file not hashable", [] { Host().hashFails = true; }, false, false, rejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
        c.arrange();
        EXPECT_EQ(c.message, ValidateOnce());
        EXPECT_EQ(c.validated, GetGameBridge().ExecutableValidated);
        EXPECT_EQ(c.wide, GetGameBridge().WideAspectVariant);
        EXPECT_EQ(1, Host().hashCalls);
        // Header values are kept whatever the outcome.
        EXPECT_EQ(kImageBase, GetGameBridge().GameBase);
        EXPECT_EQ(kSupportedSizeOfImage, GetGameBridge().GameSizeOfImage);
    }
}

// The supported builds' contract, every value typed from the build's documentation: a header
// written from these literals and a file with either digest must validate, with its variant.
TEST_F(ExecutableValidationTest, TheSupportedBuildsAreExactlyTheDocumentedOnes) {
    struct Constant {
        const char* name;
        uint32_t code;
        uint32_t documented;
    };
    const Constant constants[] = {
        {"TimeDateStamp", kSupportedTimeDateStamp, 0x5BE4DE30},
        {"SizeOfImage", kSupportedSizeOfImage, 0x0A01B000},
        {"highest 4-byte field", kHighestDwordFieldRva, 0x5E151F4},
        {"highest 8-byte field", kHighestQwordFieldRva, 0x9F50EB8},
    };
    for (const Constant& c : constants) {
        EXPECT_EQ(c.documented, c.code) << c.name;
    }

    struct Build {
        const char* sha256;
        bool wide;
        const char* variant;
    };
    const Build builds[] = {
        {"3b1dc73d35125f0afe8279d1044ce980f6308e4216de8cc87890fe17ebd44efc", true, "16:9"},
        {"7ecd508cd7fe65e40b1f47a9dfb94c358f4f6cc482be1ad01d107e2759562ab0", false, "original 4:3"},
    };
    for (const Build& build : builds) {
        SCOPED_TRACE(build.variant);
        ResetProcessState();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
        const uintptr_t nt = kImageBase + 0x80;
        fake::PokeValue<uint16_t>(kImageBase, 0x5A4D); // "MZ"
        fake::PokeValue<int32_t>(kImageBase + 0x3C, 0x80);
        fake::PokeValue<uint32_t>(nt, 0x00004550);      // "PE\0\0"
        fake::PokeValue<uint16_t>(nt + 4, 0x8664);      // FileHeader.Machine: x64
        fake::PokeValue<uint32_t>(nt + 8, 0x5BE4DE30);  // FileHeader.TimeDateStamp
        fake::PokeValue<uint16_t>(nt + 24, 0x20B);      // OptionalHeader.Magic: PE32+
        fake::PokeValue<uint32_t>(nt + 80, 0x0A01B000); // OptionalHeader.SizeOfImage
        DigestFromHex(build.sha256, Host().digest);

        EXPECT_EQ(
            std::string("Validated Corvane I v1.07 (x64) ") + build.variant +
                " executable; first-person camera controls are armed; original v0.9.5 stereo/projection "
                "hot path restored; native composite transition detector=active; diagnostic trace "
                "hooks=disabled.",
            ValidateOnce());
        EXPECT_TRUE(GetGameBridge().ExecutableValidated);
        EXPECT_EQ(build.wide, GetGameBridge().WideAspectVariant);
        EXPECT_EQ(0x5BE4DE30u, GetGameBridge().GameTimeDateStamp);
        EXPECT_EQ(0x0A01B000u, GetGameBridge().GameSizeOfImage);
    }
}

TEST_F(ExecutableValidationTest, RunsOnceAndOnlyThenArmsTheDetector) {
    LayOutGameImage();
    EXPECT_TRUE(IsExecutableValidated());
    EXPECT_TRUE(IsExecutableValidated());
    EXPECT_EQ(1, Host().hashCalls);
    EXPECT_EQ(1u, CameraMessages().size());
    EXPECT_EQ(1, Host().handlersAdded);
    for (const CompositeWriter& row : CompositeWriterTable()) {
        EXPECT_EQ(0xCC, fake::PeekValue<uint8_t>(kImageBase + row.rva)) << std::hex << row.rva;
    }
}

TEST_F(ExecutableValidationTest, ADifferingWriterLeavesTheDetectorUnavailableAndTheCodeUntouched) {
    LayOutGameImage();
    const CompositeWriter& last = CompositeWriterTable().back();
    fake::PokeValue<uint8_t>(kImageBase + last.rva + 2, 0x57);
    EXPECT_EQ(
        "Validated Corvane I v1.07 (x64) 16:9 executable; first-person camera controls are armed; original "
        "v0.9.5 stereo/projection hot path restored; native composite transition detector=unavailable; "
        "diagnostic trace hooks=disabled.",
        ValidateOnce());
    EXPECT_TRUE(GetGameBridge().ExecutableValidated);
    EXPECT_EQ(0, Host().handlersAdded);
    EXPECT_EQ(0u, fake::Memory().writeCount);
}

} // namespace
} // namespace corvane
