#include "game/guarded_memory.h"

#include "fake_game_image.h"
#include "fakes/fake_memory.h"
#include "fakes/fake_platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

using namespace testing_support;

constexpr uintptr_t kArea = 0x10000000;

class GuardedMemoryTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        fake::Commit(kArea, 0x1000, kPageReadWrite);
        fake::Commit(kArea + 0x1000, 0x1000, kPageReadOnly);
        fake::Commit(kArea + 0x2000, 0x1000, kPageReadWrite | kPageGuard);
        fake::Reserve(kArea + 0x3000, 0x1000);
        fake::Commit(kArea + 0x4000, 0x1000, kPageExecute);
        fake::Commit(kArea + 0x5000, 0x1000, kPageExecuteRead);
        fake::Commit(kArea + 0x6000, 0x1000, kPageExecuteReadWrite);
        fake::Commit(kArea + 0x7000, 0x1000, kPageWriteCopy);
        fake::Commit(kArea + 0x8000, 0x1000, kPageNoAccess);
        RecordCameraMessages();
    }

    static void ValidateImage(uintptr_t base = kImageBase) {
        InstallFakeHost();
        Host().base = base;
        LayOutGameImage(base);
        ASSERT_TRUE(IsExecutableValidated());
        CameraMessages().clear();
        fake::Memory().protectCalls.clear();
    }
};

TEST_F(GuardedMemoryTest, ReadableRangesNeedEveryByteInCommittedReadablePages) {
    struct Case {
        uintptr_t address;
        size_t size;
        bool readable;
    };
    const Case cases[] = {
        {kArea, 0x2000, true},           // two committed readable regions
        {kArea + 0xFFC, 8, true},        // straddles the boundary
        {kArea + 0x1000, 0x1001, false}, // second page is a guard page
        {kArea + 0x2FFF, 1, false},      // guard page
        {kArea + 0x2FFF, 2, false},      // reserved page after it
        {kArea + 0x3000, 4, false},      // reserved
        {kArea + 0x4000, 4, false},      // PAGE_EXECUTE
        {kArea + 0x5000, 4, true},       // PAGE_EXECUTE_READ
        {kArea + 0x8000, 1, false},      // PAGE_NOACCESS
        {0, 0, true},                    // size 0 wins
        {0, 4, false},
        {UINTPTR_MAX - 1, 4, false}, // wraps around
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.readable, IsRangeReadable(c.address, c.size)) << std::hex << c.address << " +" << c.size;
    }
    fake::Memory().queriesBeforeFailure = 0;
    EXPECT_FALSE(IsRangeReadable(kArea, 4));
}

// Regions of several pages, as the system reports them: a range that starts inside one must
// be walked from that region's end, not from the range's start plus the region size.
TEST_F(GuardedMemoryTest, ReadableRangesWalkRegionsOfManyPages) {
    constexpr uintptr_t kRun = 0x20000000;
    fake::Commit(kRun, 0x3000, kPageReadWrite); // one region of three pages
    fake::Commit(kRun + 0x3000, 0x1000, kPageReadWrite | kPageGuard);
    fake::Commit(kRun + 0x4000, 0x2000, kPageExecuteRead); // a region of two pages
    fake::Reserve(kRun + 0x6000, 0x1000);
    fake::Memory().wholeRegions = true;
    MemoryRegion region;
    ASSERT_TRUE(MemoryQuery(kRun + 0x1800, region));
    ASSERT_EQ(kRun, region.base);
    ASSERT_EQ(0x3000u, region.size);
    struct Case {
        uintptr_t address;
        size_t size;
        bool readable;
    };
    const Case cases[] = {
        {kRun + 0x800, 0x2800, true},   // ends at the region's last byte
        {kRun + 0x800, 0x2801, false},  // one byte into the guard page
        {kRun + 0x2FFF, 2, false},      // straddles into the guard page
        {kRun + 0x4800, 0x1800, true},  // inside the second region
        {kRun + 0x4800, 0x1801, false}, // one byte into the reserved page
        {kRun + 0x1000, 0x4000, false}, // across both regions and the guard page between
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.readable, IsRangeReadable(c.address, c.size)) << std::hex << c.address << " +" << c.size;
    }
}

TEST_F(GuardedMemoryTest, WritableAddressesNeedACommittedWritablePage) {
    const std::pair<uintptr_t, bool> cases[] = {
        {kArea, true},           {kArea + 0x1000, false},
        {kArea + 0x2000, false}, {kArea + 0x3000, false},
        {kArea + 0x4000, false}, {kArea + 0x5000, false},
        {kArea + 0x6000, true},  {kArea + 0x7000, true},
        {kArea + 0x8000, false}, {0, false},
    };
    for (const auto& [address, writable] : cases) {
        EXPECT_EQ(writable, IsAddressWritable(address)) << std::hex << address;
    }
}

TEST_F(GuardedMemoryTest, AFaultMidCopyIsAFalseResultNotACrash) {
    fake::PokeValue<uint64_t>(kArea + 0xFF8, 0x1122334455667788);
    fake::SetFault(kArea + 0x1000, true);
    uint8_t buffer[16] = {};
    EXPECT_TRUE(IsRangeReadable(kArea + 0xFF8, sizeof(buffer)));
    EXPECT_FALSE(GuardedCopy(buffer, kArea + 0xFF8, sizeof(buffer)));
    uint64_t value = 0;
    EXPECT_TRUE(GuardedCopy(&value, kArea + 0xFF8, sizeof(value)));
    EXPECT_EQ(0x1122334455667788u, value);
    EXPECT_FALSE(GuardedCopy(&value, 0, sizeof(value)));
}

TEST_F(GuardedMemoryTest, GuardedCallReportsARaisingOrMissingRoutine) {
    int ran = 0;
    fake::Memory().routines[0x5000] = [&] {
        ++ran;
        return true;
    };
    fake::Memory().routines[0x6000] = [] { return false; };
    EXPECT_TRUE(GuardedCall(0x5000));
    EXPECT_FALSE(GuardedCall(0x6000));
    EXPECT_FALSE(GuardedCall(0));
    EXPECT_EQ(1, ran);
}

TEST_F(GuardedMemoryTest, CameraStateOnAnExecutePageIsWrittenThroughReadWriteExecuteAndRestored) {
    ValidateImage();
    const uintptr_t address = kImageBase + kCameraStateRva;
    fake::SetProtection(address, 4, kPageExecute);
    EXPECT_TRUE(WriteCameraState(17));
    EXPECT_EQ(17u, CameraState());
    EXPECT_EQ(kPageExecute, fake::ProtectionAt(address));
    ASSERT_EQ(2u, fake::Memory().protectCalls.size());
    EXPECT_EQ(kPageExecuteReadWrite, fake::Memory().protectCalls[0].newProtect);
    EXPECT_EQ(kPageExecute, fake::Memory().protectCalls[1].newProtect);

    fake::SetProtection(address, 4, kPageReadOnly);
    EXPECT_TRUE(WriteCameraState(0));
    EXPECT_EQ(0u, CameraState());
    EXPECT_EQ(kPageReadWrite, fake::Memory().protectCalls[2].newProtect);
    EXPECT_EQ(kPageReadOnly, fake::ProtectionAt(address));

    // A guard page is never touched.
    fake::SetProtection(address, 4, kPageExecute | kPageGuard);
    EXPECT_FALSE(WriteCameraState(17));
    EXPECT_EQ(0u, CameraState());
}

// The camera state is opened with execute rights kept whenever the page has them, so code on the
// same page never loses them while the write is under way.
TEST_F(GuardedMemoryTest, CameraStateIsOpenedWithExecuteRightsKeptOnEveryExecutablePage) {
    ValidateImage();
    const uintptr_t address = kImageBase + kCameraStateRva;
    struct Case {
        uint32_t protect;
        uint32_t openedWith;
    };
    const Case cases[] = {
        {kPageReadOnly, kPageReadWrite},
        {kPageReadWrite, kPageReadWrite},
        {kPageWriteCopy, kPageReadWrite},
        {kPageExecute, kPageExecuteReadWrite},
        {kPageExecuteRead, kPageExecuteReadWrite},
        {kPageExecuteReadWrite, kPageExecuteReadWrite},
        {kPageExecuteWriteCopy, kPageExecuteReadWrite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protect);
        fake::SetProtection(address, 4, c.protect);
        fake::Memory().protectCalls.clear();
        EXPECT_TRUE(WriteCameraState(static_cast<int32_t>(c.protect)));
        EXPECT_EQ(c.protect, CameraState());
        ASSERT_EQ(2u, fake::Memory().protectCalls.size());
        EXPECT_EQ(c.openedWith, fake::Memory().protectCalls[0].newProtect);
        EXPECT_EQ(c.protect, fake::ProtectionAt(address)) << "put back as it was";
    }
}

TEST_F(GuardedMemoryTest, CameraStateWriteFailuresAreReportedInTheirOwnWords) {
    ValidateImage();
    const uintptr_t address = kImageBase + kCameraStateRva;

    fake::Memory().failProtect = [](const fake::ProtectCall&, size_t index) { return index == 0; };
    EXPECT_FALSE(WriteCameraState(17));
    EXPECT_EQ(0u, CameraState());
    EXPECT_EQ("VirtualProtect failed before camera write (error 5).", CameraMessages().back());

    fake::Memory().protectCalls.clear();
    fake::Memory().failProtect = [](const fake::ProtectCall&, size_t index) { return index == 1; };
    EXPECT_TRUE(WriteCameraState(17)); // the value stays written and counts as written
    EXPECT_EQ(17u, CameraState());
    EXPECT_EQ("Camera state changed, but restoring page protection failed (error 5).",
              CameraMessages().back());
    fake::Memory().failProtect = nullptr;

    // The probe answers, the page query right after it does not.
    fake::Memory().queriesBeforeFailure = 1;
    EXPECT_FALSE(WriteCameraState(0));
    EXPECT_EQ("VirtualQuery failed for the camera-state address; write skipped.", CameraMessages().back());
    fake::Memory().queriesBeforeFailure = -1;

    fake::Reserve(address, 4);
    EXPECT_FALSE(WriteCameraState(0));
    EXPECT_EQ("Camera-state address is unavailable or misaligned; write skipped.", CameraMessages().back());
}

TEST_F(GuardedMemoryTest, CameraStateIsNeverWrittenBeforeValidationOrWhenMisaligned) {
    EXPECT_FALSE(WriteCameraState(17));
    EXPECT_EQ("Camera-state address is unavailable or misaligned; write skipped.", CameraMessages().back());

    ResetGameBridge();
    ValidateImage(kImageBase + 0x10002); // camera-state word lands on a 2-byte boundary
    const size_t writesBefore = fake::Memory().writeCount;
    EXPECT_FALSE(WriteCameraState(17));
    EXPECT_EQ("Camera-state address is unavailable or misaligned; write skipped.", CameraMessages().back());
    EXPECT_EQ(writesBefore, fake::Memory().writeCount);
    EXPECT_TRUE(fake::Memory().protectCalls.empty());
}

TEST_F(GuardedMemoryTest, CameraChannelTruncatesAndReachesTheDebuggerWithoutASink) {
    SetCameraLogSink(nullptr);
    fake::Os().debugOutput.clear();
    CameraLog("plain");
    CameraLog(nullptr);
    ASSERT_EQ(2u, fake::Os().debugOutput.size());
    EXPECT_EQ("[CorvaneVR/Camera] plain\n", fake::Os().debugOutput[0]);
    EXPECT_EQ("[CorvaneVR/Camera] \n", fake::Os().debugOutput[1]);

    RecordCameraMessages();
    fake::Os().debugOutput.clear();
    const std::string longText(600, 'x');
    CameraLogFormat("%s", longText.c_str());
    ASSERT_EQ(1u, CameraMessages().size());
    EXPECT_EQ(std::string(383, 'x'), CameraMessages()[0]);
    EXPECT_EQ("[CorvaneVR/Camera] " + std::string(383, 'x') + "\n", fake::Os().debugOutput[0]);

    CameraLog(longText.c_str()); // unformatted: the sink sees it whole, the line is cut at 511
    EXPECT_EQ(longText, CameraMessages()[1]);
    const std::string line = fake::Os().debugOutput[1];
    EXPECT_EQ(511u, line.size());
    EXPECT_EQ(0u, line.rfind("[CorvaneVR/Camera] xxx", 0));
}

TEST_F(GuardedMemoryTest, BodyVisibilityExchangesAndFaults) {
    fake::PokeValue<uint32_t>(kArea + 0x58, 0x3E800000);
    fake::PokeValue<uint8_t>(kArea + 0x98, 0x11);
    EXPECT_TRUE(ForceBodyVisible(kArea + 0x58, kArea + 0x98));
    EXPECT_EQ(0x3F800000u, fake::PeekValue<uint32_t>(kArea + 0x58));
    EXPECT_EQ(0x15u, fake::PeekValue<uint8_t>(kArea + 0x98));
    EXPECT_TRUE(RestoreBodyVisibility(kArea + 0x58, kArea + 0x98, 0x3E800000, 0x11));
    EXPECT_EQ(0x3E800000u, fake::PeekValue<uint32_t>(kArea + 0x58));
    EXPECT_EQ(0x11u, fake::PeekValue<uint8_t>(kArea + 0x98));

    EXPECT_FALSE(ForceBodyVisible(kArea + 0x1058, kArea + 0x1098)); // read-only page
    EXPECT_EQ(0u, fake::PeekValue<uint32_t>(kArea + 0x1058));
    EXPECT_FALSE(RestoreBodyVisibility(kArea + 0x3058, kArea + 0x3098, 1, 1)); // reserved
}

} // namespace
} // namespace corvane
