#include "game/composite_detector.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

class CompositeDetectorTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
    }
    static uintptr_t Site(size_t row) { return kImageBase + CompositeWriterTable()[row].rva; }
    static size_t BreakpointCount() {
        size_t count = 0;
        for (size_t i = 0; i < CompositeWriterTable().size(); ++i) {
            count += fake::PeekValue<uint8_t>(Site(i)) == 0xCC ? 1 : 0;
        }
        return count;
    }
};

// Refuses protection changes at one writer's site: from its `from`-th call on (0 opens the
// site, 1 puts its protection back, 2 opens it for the roll-back), or only that call.
std::function<bool(const fake::ProtectCall&, size_t)> FailAtSite(size_t row, int from, bool onlyThatCall) {
    auto calls = std::make_shared<int>(0);
    return [row, from, onlyThatCall, calls](const fake::ProtectCall& call, size_t) {
        if (call.address != kImageBase + CompositeWriterTable()[row].rva) {
            return false;
        }
        const int index = (*calls)++;
        return onlyThatCall ? index == from : index >= from;
    };
}

TEST_F(CompositeDetectorTest, PartialInstallationIsRolledBackCompletely) {
    struct Case {
        const char* name;
        std::function<bool(const fake::ProtectCall&, size_t)> fail;
    };
    const std::vector<Case> cases = {
        {"fifth site not writable", FailAtSite(4, 0, true)},
        {"fifth site's protection not restored", FailAtSite(4, 1, true)},
        {"last site not writable", FailAtSite(12, 0, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
        fake::Memory().failProtect = c.fail;
        ASSERT_TRUE(IsExecutableValidated());
        EXPECT_FALSE(GetGameBridge().DetectorInstalled);
        EXPECT_EQ(0u, BreakpointCount());
        for (size_t i = 0; i < CompositeWriterTable().size(); ++i) {
            EXPECT_EQ(CompositeWriterTable()[i].expected[0], fake::PeekValue<uint8_t>(Site(i))) << i;
        }
        // A thread that trapped on a breakpoint just before it was taken back may still be on
        // its way to the handler: the handler stays, and still performs that store.
        EXPECT_EQ(1, Host().handlersAdded);
        EXPECT_EQ(0, Host().handlersRemoved);
        EXPECT_TRUE(GetGameBridge().DetectorHandlerRegistered);
        SetControlBlock(0);
        uintptr_t resume = 0;
        ASSERT_TRUE(HandleCompositeBreakpoint(Site(6), WriterRegisters{}, resume));
        EXPECT_EQ(Site(6) + 10, resume);
        EXPECT_EQ(1u, fake::PeekValue<uint32_t>(kImageBase + kControlBlockRva));
        // Other breakpoints still pass through.
        EXPECT_FALSE(HandleCompositeBreakpoint(Site(6) + 1, WriterRegisters{}, resume));
    }
}

// Protection changes that keep failing once placement has started: the breakpoints that
// could not be taken back keep their handler, which still emulates their stores.
TEST_F(CompositeDetectorTest, AnIncompleteRollBackKeepsTheHandlerForTheBreakpointsLeft) {
    struct Case {
        const char* name;
        std::function<bool(const fake::ProtectCall&, size_t)> fail;
        std::vector<size_t> left; // rows still holding a breakpoint
    };
    const std::vector<Case> cases = {
        {"every change from the fifth site's on fails",
         [failing = std::make_shared<bool>(false)](const fake::ProtectCall& call, size_t) {
             *failing = *failing || call.address == kImageBase + CompositeWriterTable()[4].rva;
             return *failing;
         },
         {0, 1, 2, 3}},
        {"only the third site cannot be taken back",
         [fifth = FailAtSite(4, 0, true), third = FailAtSite(2, 1, false)](const fake::ProtectCall& call,
                                                                           size_t index) {
             return fifth(call, index) || third(call, index);
         },
         {2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
        fake::Memory().failProtect = c.fail;
        ASSERT_TRUE(IsExecutableValidated());
        EXPECT_FALSE(GetGameBridge().DetectorInstalled);
        EXPECT_EQ(c.left.size(), BreakpointCount());
        for (size_t row : c.left) {
            EXPECT_EQ(0xCC, fake::PeekValue<uint8_t>(Site(row))) << row;
        }
        EXPECT_EQ(0, Host().handlersRemoved);
        EXPECT_TRUE(GetGameBridge().DetectorHandlerRegistered);
        const std::string line = "Native composite transition detector roll-back was incomplete: " +
                                 std::to_string(c.left.size()) +
                                 " breakpoint(s) remain; their handler stays registered.";
        EXPECT_EQ(1u, CountCameraMessages(line));

        // A store through a remaining breakpoint is performed as when armed.
        const size_t row = c.left.front();
        SetControlBlock(0);
        fake::PokeValue<uint32_t>(kImageBase + kCompositeKindRva, 2);
        WriterRegisters registers{11, 12, 13, 14, 15, 16};
        uintptr_t resume = 0;
        ASSERT_TRUE(HandleCompositeBreakpoint(Site(row), registers, resume));
        EXPECT_EQ(Site(row) + CompositeWriterTable()[row].length, resume);
        EXPECT_NE(0u, fake::PeekValue<uint32_t>(kImageBase + kControlBlockRva));
        EXPECT_EQ(kHandoffKind2, GetGameBridge().PendingHandoffFlags.load());
    }
}

TEST_F(CompositeDetectorTest, TheThirteenBreakpointsArePlacedUnderOneStopOfTheThreads) {
    ASSERT_TRUE(IsExecutableValidated());
    EXPECT_TRUE(GetGameBridge().DetectorInstalled);
    EXPECT_EQ(13u, BreakpointCount());
    EXPECT_EQ(1u, fake::Memory().suspendCount);
    EXPECT_EQ(1u, fake::Memory().resumeCount);
    EXPECT_EQ(13u, fake::Memory().writesWhileStopped);
}

TEST_F(CompositeDetectorTest, HandlerRegistrationFailureWritesNothing) {
    Host().handlerFails = true;
    ASSERT_TRUE(IsExecutableValidated());
    EXPECT_FALSE(GetGameBridge().DetectorInstalled);
    EXPECT_EQ(0u, fake::Memory().writeCount);
}

TEST_F(CompositeDetectorTest, HandlerEmulatesStoresAndPostsOnlyOpeningToClosing) {
    ASSERT_TRUE(IsExecutableValidated());
    ASSERT_TRUE(GetGameBridge().DetectorInstalled);
    GameBridge& bridge = GetGameBridge();
    struct Case {
        size_t row;
        WriterRegisters registers;
        uint32_t controlBefore;
        uint32_t kind;
        uint32_t controlAfter;
        uint32_t flags; // posted by this store
    };
    WriterRegisters seven;
    seven.rsi = 0xFFFFFFFF00000007; // only the low 32 bits are stored
    WriterRegisters highOnly;
    highOnly.rax = 0x100000000;
    WriterRegisters ebp;
    ebp.rbp = 9;
    const Case cases[] = {
        {0, {}, 5, 2, 0, 0}, // closes nothing: stores 0 over 5
        {1, seven, 0, 2, 7, kHandoffKind2},
        {2, {}, 7, 3, 1, 0},             // non-zero over non-zero
        {2, {}, 0, 3, 1, kHandoffKind3}, // constant 1
        {11, highOnly, 0, 2, 0, 0},      // 0 over 0
        {12, ebp, 0, 40, 9, kHandoffOtherKind},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        SetControlBlock(c.controlBefore);
        fake::PokeValue<uint32_t>(kImageBase + kCompositeKindRva, c.kind);
        bridge.PendingHandoffFlags = 0;
        uintptr_t resume = 0;
        ASSERT_TRUE(HandleCompositeBreakpoint(Site(c.row), c.registers, resume));
        EXPECT_EQ(Site(c.row) + CompositeWriterTable()[c.row].length, resume);
        EXPECT_EQ(c.controlAfter, fake::PeekValue<uint32_t>(kImageBase + kControlBlockRva));
        EXPECT_EQ(c.flags, bridge.PendingHandoffFlags.load());
        if (c.flags != 0) {
            EXPECT_EQ(c.kind, bridge.HandoffKind.load());
            EXPECT_EQ(CompositeWriterTable()[c.row].rva, bridge.HandoffWriterRva.load());
            EXPECT_EQ(c.controlAfter, bridge.HandoffValue.load());
        }
    }
}

TEST_F(CompositeDetectorTest, TwoTransitionsBeforeAFrameKeepBothBitsAndTheLatestDetails) {
    ASSERT_TRUE(IsExecutableValidated());
    uintptr_t resume = 0;
    fake::PokeValue<uint32_t>(kImageBase + kCompositeKindRva, 2);
    ASSERT_TRUE(HandleCompositeBreakpoint(Site(3), WriterRegisters{0, 0, 4, 0, 0, 0}, resume));
    SetControlBlock(0);
    fake::PokeValue<uint32_t>(kImageBase + kCompositeKindRva, 3);
    ASSERT_TRUE(HandleCompositeBreakpoint(Site(10), WriterRegisters{0, 0, 0, 6, 0, 0}, resume));
    const GameBridge& bridge = GetGameBridge();
    EXPECT_EQ(kHandoffKind2 | kHandoffKind3, bridge.PendingHandoffFlags.load());
    EXPECT_EQ(3u, bridge.HandoffKind.load());
    EXPECT_EQ(0x207100u, bridge.HandoffWriterRva.load());
    EXPECT_EQ(6u, bridge.HandoffValue.load());
}

TEST_F(CompositeDetectorTest, ForeignBreakpointsAndUnvalidatedProcessesPassThrough) {
    uintptr_t resume = 0;
    EXPECT_FALSE(HandleCompositeBreakpoint(Site(0), WriterRegisters{}, resume)); // not validated yet
    ASSERT_TRUE(IsExecutableValidated());
    EXPECT_FALSE(HandleCompositeBreakpoint(Site(0) + 1, WriterRegisters{}, resume));
    EXPECT_FALSE(HandleCompositeBreakpoint(0x1234, WriterRegisters{}, resume));
    EXPECT_EQ(0u, GetGameBridge().PendingHandoffFlags.load());
}

} // namespace
} // namespace corvane
