// The game-code detours on the simulated image: what installation checks, what it writes at
// the site and into the trampoline, what it publishes, and that every failure leaves the
// game's code and the memory as they were. Sites, bytes and call sites are typed here as the
// supported build defines them.
#include "interception/game_detours.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

constexpr uintptr_t kHandler = 0x7FF712345678;

struct SiteContract {
    GameDetour detour;
    uint64_t siteRva;
    std::vector<uint8_t> bytes;
    uint64_t callerRva; // 0: no caller check
    std::vector<uint8_t> callerBytes;
    uint64_t returnRva;
    std::vector<size_t> interiorStarts;
};

const std::vector<SiteContract>& Sites() {
    static const std::vector<SiteContract> sites = {
        {GameDetour::FinalCamera,
         0x24D7D0,
         {0x48, 0x8B, 0xC4, 0x48, 0x89, 0x58, 0x08, 0x48, 0x89, 0x70, 0x10, 0x57, 0x48, 0x81, 0xEC, 0x90,
          0x00, 0x00, 0x00},
         0x772AB,
         {0xE8, 0x20, 0x65, 0x1D, 0x00},
         0x772B0,
         {3, 7, 11, 12}},
        {GameDetour::Projection,
         0x24F980,
         {0x48, 0x8B, 0xC4, 0x55, 0x48, 0x8D, 0x68, 0xA1, 0x48, 0x81, 0xEC, 0xF0, 0x00, 0x00, 0x00},
         0x76E40,
         {0xE8, 0x3B, 0x8B, 0x1D, 0x00},
         0x76E45,
         {3, 4, 8}},
        {GameDetour::AllocatorFallback,
         0x290BA0,
         {0x40, 0x53, 0x55, 0x57, 0x41, 0x54, 0x41, 0x56, 0x41, 0x57, 0x48, 0x83, 0xEC, 0x58},
         0,
         {},
         0,
         {2, 3, 4, 6, 8, 10}},
    };
    return sites;
}

std::vector<uint8_t> BytesAt(uintptr_t address, size_t size) {
    std::vector<uint8_t> bytes(size);
    fake::Peek(address, bytes.data(), size);
    return bytes;
}

std::vector<uint8_t> Qword(uint64_t value) {
    std::vector<uint8_t> bytes(8);
    std::memcpy(bytes.data(), &value, 8);
    return bytes;
}

class GameDetoursTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        InstallFakeHost();
        LayOutGameImage();
        for (const SiteContract& site : Sites()) {
            CommitCode(kImageBase, site.siteRva, site.bytes.data(), site.bytes.size());
            if (site.callerRva != 0) {
                CommitCode(kImageBase, site.callerRva, site.callerBytes.data(), site.callerBytes.size());
            }
        }
        ASSERT_TRUE(IsExecutableValidated());
        for (uint32_t i = 0; i < kGameDetourCount; ++i) {
            PublishDetour(static_cast<GameDetour>(i), 0, 0);
        }
        fake::Memory().flushes.clear();
        fake::Memory().protectCalls.clear();
    }
    void TearDown() override {
        for (uint32_t i = 0; i < kGameDetourCount; ++i) {
            PublishDetour(static_cast<GameDetour>(i), 0, 0);
        }
        ProcessStateTest::TearDown();
    }
    static DetourDescription WithHandler(GameDetour detour) {
        DetourDescription description = DescribeDetour(detour);
        description.handler = kHandler;
        return description;
    }
};

TEST_F(GameDetoursTest, DescriptionsAreTheSupportedBuildsSitesAndCallers) {
    for (const SiteContract& site : Sites()) {
        const DetourDescription& d = DescribeDetour(site.detour);
        SCOPED_TRACE(site.siteRva);
        EXPECT_EQ(site.detour, d.detour);
        EXPECT_EQ(site.siteRva, d.siteRva);
        EXPECT_EQ(site.bytes, std::vector<uint8_t>(d.expected, d.expected + d.length));
        EXPECT_EQ(site.callerRva != 0, d.checksCaller);
        if (site.callerRva != 0) {
            EXPECT_EQ(site.callerRva, d.callerRva);
            EXPECT_EQ(site.callerBytes, std::vector<uint8_t>(d.callerBytes, d.callerBytes + 5));
            EXPECT_EQ(site.returnRva, d.returnRva);
            // The call's displacement reaches the site from the instruction after it.
            int32_t displacement = 0;
            std::memcpy(&displacement, site.callerBytes.data() + 1, 4);
            EXPECT_EQ(site.siteRva, site.returnRva + displacement);
        }
        EXPECT_EQ(site.interiorStarts,
                  std::vector<size_t>(d.instructionStarts, d.instructionStarts + d.instructionStartCount));
        EXPECT_EQ(0u, d.handler);
    }
}

TEST_F(GameDetoursTest, InstallationWritesTheJumpTheTrampolineAndThePublication) {
    for (const SiteContract& site : Sites()) {
        SCOPED_TRACE(site.siteRva);
        const uintptr_t address = kImageBase + site.siteRva;
        const size_t n = site.bytes.size();
        const size_t flushesBefore = fake::Memory().flushes.size();
        ASSERT_TRUE(InstallDetour(WithHandler(site.detour)));

        std::vector<uint8_t> patch = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
        const std::vector<uint8_t> handler = Qword(kHandler);
        patch.insert(patch.end(), handler.begin(), handler.end());
        patch.resize(n, 0x90); // five, one or no NOPs
        EXPECT_EQ(patch, BytesAt(address, n));
        EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(address));

        const uintptr_t trampoline = DetourTrampoline(site.detour);
        ASSERT_NE(0u, trampoline);
        std::vector<uint8_t> expected = site.bytes;
        const std::vector<uint8_t> jump = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
        expected.insert(expected.end(), jump.begin(), jump.end());
        const std::vector<uint8_t> resume = Qword(address + n);
        expected.insert(expected.end(), resume.begin(), resume.end());
        EXPECT_EQ(expected, BytesAt(trampoline, n + 14));
        EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(trampoline));
        EXPECT_EQ(site.returnRva == 0 ? 0 : kImageBase + site.returnRva, DetourExpectedReturn(site.detour));

        // Both the trampoline's used length and the site's bytes were flushed.
        const auto& flushes = fake::Memory().flushes;
        const std::vector<std::pair<uintptr_t, size_t>> newFlushes(flushes.begin() + flushesBefore,
                                                                   flushes.end());
        EXPECT_NE(newFlushes.end(),
                  std::find(newFlushes.begin(), newFlushes.end(), std::make_pair(trampoline, n + 14)));
        EXPECT_NE(newFlushes.end(),
                  std::find(newFlushes.begin(), newFlushes.end(), std::make_pair(address, n)));
    }
    EXPECT_EQ(3u, fake::Memory().liveAllocations.size());

    // A second attempt finds its own jump: installed, and nothing changes. A jump to another
    // handler is neither the expected bytes nor its own.
    const uintptr_t first = DetourTrampoline(GameDetour::FinalCamera);
    const size_t stops = fake::Memory().suspendCount;
    EXPECT_TRUE(InstallDetour(WithHandler(GameDetour::FinalCamera)));
    DetourDescription other = DescribeDetour(GameDetour::FinalCamera);
    other.handler = kHandler + 0x10;
    EXPECT_FALSE(InstallDetour(other));
    EXPECT_EQ(first, DetourTrampoline(GameDetour::FinalCamera));
    EXPECT_EQ(3u, fake::Memory().liveAllocations.size());
    EXPECT_EQ(stops, fake::Memory().suspendCount);
}

// Any difference in the site or in the call site, and the game is left untouched.
TEST_F(GameDetoursTest, OneChangedByteInstallsNothingAndKeepsNoMemory) {
    struct Case {
        GameDetour detour;
        uint64_t rva;
    };
    const Case cases[] = {
        {GameDetour::FinalCamera, 0x24D7D0},
        {GameDetour::FinalCamera, 0x24D7D0 + 18},
        {GameDetour::FinalCamera, 0x772AB},
        {GameDetour::FinalCamera, 0x772AB + 4},
        {GameDetour::Projection, 0x24F980 + 3},
        {GameDetour::Projection, 0x24F980 + 14},
        {GameDetour::Projection, 0x76E40 + 1},
        {GameDetour::AllocatorFallback, 0x290BA0},
        {GameDetour::AllocatorFallback, 0x290BA0 + 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.detour)) + " at " + std::to_string(c.rva));
        const uintptr_t changed = kImageBase + c.rva;
        const uint8_t original = fake::PeekValue<uint8_t>(changed);
        fake::PokeValue<uint8_t>(changed, static_cast<uint8_t>(original ^ 0x01));
        const size_t writes = fake::Memory().writeCount;
        EXPECT_FALSE(InstallDetour(WithHandler(c.detour)));
        EXPECT_EQ(writes, fake::Memory().writeCount);
        EXPECT_TRUE(fake::Memory().liveAllocations.empty());
        EXPECT_TRUE(fake::Memory().protectCalls.empty());
        EXPECT_EQ(0u, DetourTrampoline(c.detour));
        EXPECT_EQ(0u, DetourExpectedReturn(c.detour));
        fake::PokeValue<uint8_t>(changed, original);
    }
    // The unchanged image still installs.
    EXPECT_TRUE(InstallDetour(WithHandler(GameDetour::Projection)));
}

TEST_F(GameDetoursTest, AllocationAndProtectionFailuresCleanUp) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool trampolineAllocated;
    };
    const uintptr_t site = kImageBase + 0x24D7D0;
    const std::vector<Case> cases = {
        {"no memory", [] { fake::Memory().allocationFails = true; }, false},
        {"trampoline not made executable",
         [] {
             fake::Memory().failProtect = [](const fake::ProtectCall& call, size_t) {
                 return call.newProtect == kPageExecuteRead && call.address >= 0x7FF000000000;
             };
         },
         true},
        {"site not writable",
         [site] {
             fake::Memory().failProtect = [site](const fake::ProtectCall& call, size_t) {
                 return call.address == site;
             };
         },
         true},
        {"threads cannot be stopped for a site across two blocks", [] { fake::Memory().suspendFails = true; },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        c.arrange();
        const std::vector<uint8_t> before = BytesAt(site, 19);
        EXPECT_FALSE(InstallDetour(WithHandler(GameDetour::FinalCamera)));
        EXPECT_EQ(before, BytesAt(site, 19));
        EXPECT_EQ(kPageExecuteRead, fake::ProtectionAt(site));
        EXPECT_EQ(0u, DetourTrampoline(GameDetour::FinalCamera));
        EXPECT_EQ(0u, DetourExpectedReturn(GameDetour::FinalCamera));
        EXPECT_TRUE(fake::Memory().liveAllocations.empty());
        EXPECT_EQ(c.trampolineAllocated ? 1u : 0u, fake::Memory().freed.size());
    }
}

// Once the jump is in, threads may already be running through the trampoline: a site whose
// old protection could not be put back is installed, and its trampoline stays.
TEST_F(GameDetoursTest, ASiteWhoseProtectionStaysOpenIsInstalledAndKeepsItsTrampoline) {
    const uintptr_t site = kImageBase + 0x24F980;
    fake::Memory().failProtect = [site](const fake::ProtectCall& call, size_t) {
        return call.address == site && call.newProtect != kPageExecuteReadWrite;
    };
    ASSERT_TRUE(InstallDetour(WithHandler(GameDetour::Projection)));
    const uintptr_t trampoline = DetourTrampoline(GameDetour::Projection);
    ASSERT_NE(0u, trampoline);
    EXPECT_EQ(kImageBase + 0x76E45, DetourExpectedReturn(GameDetour::Projection));
    EXPECT_EQ(std::vector<uint8_t>({0xFF, 0x25, 0x00, 0x00, 0x00, 0x00}), BytesAt(site, 6));
    EXPECT_EQ(Qword(kHandler), BytesAt(site + 6, 8));
    EXPECT_EQ(std::set<uintptr_t>{trampoline}, fake::Memory().liveAllocations);
    EXPECT_TRUE(fake::Memory().freed.empty());
}

TEST_F(GameDetoursTest, NothingIsInstalledWithoutAHandlerOrAValidatedImage) {
    EXPECT_FALSE(InstallDetour(DescribeDetour(GameDetour::FinalCamera))); // no handler
    ResetGameBridge();
    InstallFakeHost();
    Host().hashFails = true;
    ASSERT_FALSE(IsExecutableValidated());
    EXPECT_FALSE(InstallDetour(WithHandler(GameDetour::AllocatorFallback)));
    EXPECT_TRUE(fake::Memory().liveAllocations.empty());
    EXPECT_EQ(std::vector<uint8_t>({0x40, 0x53}), BytesAt(kImageBase + 0x290BA0, 2));
}

// The handler is published before the site jumps to it, and threads stopped inside the
// prologue continue with the same instruction in the trampoline.
TEST_F(GameDetoursTest, PublicationPrecedesTheSiteAndThreadsInsideMoveToTheTrampoline) {
    const uintptr_t site = kImageBase + 0x24D7D0;
    fake::Memory().threadIps = {site + 3, site + 12, site, site + 19};
    bool publishedFirst = false;
    fake::Memory().afterWrite = [&](uintptr_t address, size_t size) {
        if (address <= site && site < address + size) {
            publishedFirst = DetourTrampoline(GameDetour::FinalCamera) != 0 &&
                             DetourExpectedReturn(GameDetour::FinalCamera) == kImageBase + 0x772B0;
        }
    };
    ASSERT_TRUE(InstallDetour(WithHandler(GameDetour::FinalCamera)));
    EXPECT_TRUE(publishedFirst);
    const uintptr_t trampoline = DetourTrampoline(GameDetour::FinalCamera);
    EXPECT_EQ((std::vector<uintptr_t>{trampoline + 3, trampoline + 12, site, site + 19}),
              fake::Memory().threadIps);
    EXPECT_EQ(1u, fake::Memory().writesWhileRunning); // only the trampoline, before the site was touched
}

// Two threads stopped in the final camera's prologue (offsets 3 and 7) and the second cannot be
// moved: the site keeps its old bytes, and no thread is left in a trampoline that is freed.
TEST_F(GameDetoursTest, AThreadThatCannotBeMovedLeavesNoOtherInAFreedTrampoline) {
    const uintptr_t site = kImageBase + 0x24D7D0;
    const std::vector<uint8_t> prologue = BytesAt(site, 19);
    struct Case {
        const char* name;
        bool moveBackRefused;
    };
    for (const Case c : {Case{"the first thread moved back", false}, Case{"it cannot be moved back", true}}) {
        SCOPED_TRACE(c.name);
        fake::Memory().threadIps = {site + 3, site + 7};
        fake::Memory().threadMoves.clear();
        fake::Memory().freed.clear();
        int moves = 0;
        fake::Memory().refuseMove = [&](size_t thread, uintptr_t) {
            ++moves;
            return thread == 1 || (c.moveBackRefused && moves > 2);
        };
        EXPECT_FALSE(InstallDetour(WithHandler(GameDetour::FinalCamera)));
        EXPECT_EQ(prologue, BytesAt(site, 19)) << "the old bytes are back";
        EXPECT_EQ(0u, DetourTrampoline(GameDetour::FinalCamera));
        ASSERT_FALSE(fake::Memory().threadMoves.empty());
        const uintptr_t trampoline = fake::Memory().threadMoves.front().second - 3;
        const bool freed = std::find(fake::Memory().freed.begin(), fake::Memory().freed.end(), trampoline) !=
                           fake::Memory().freed.end();
        for (const uintptr_t ip : fake::Memory().threadIps) {
            const bool inTrampoline = ip >= trampoline && ip < trampoline + kDetourTrampolineSize;
            EXPECT_FALSE(inTrampoline && freed)
                << "a thread at trampoline+" << ip - trampoline << " in freed memory";
        }
        if (c.moveBackRefused) {
            EXPECT_EQ(trampoline + 3, fake::Memory().threadIps[0]);
            EXPECT_FALSE(freed) << "the trampoline the thread runs stays";
        } else {
            EXPECT_EQ((std::vector<uintptr_t>{site + 3, site + 7}), fake::Memory().threadIps);
            EXPECT_TRUE(freed);
        }
        fake::Memory().refuseMove = nullptr;
    }
}

TEST_F(GameDetoursTest, HandlersAreKeptPerDetour) {
    SetDetourHandler(GameDetour::FinalCamera, 0x1111);
    SetDetourHandler(GameDetour::Projection, 0x2222);
    EXPECT_EQ(0x1111u, DetourHandler(GameDetour::FinalCamera));
    EXPECT_EQ(0x2222u, DetourHandler(GameDetour::Projection));
    EXPECT_EQ(0u, DetourHandler(GameDetour::AllocatorFallback));
    SetDetourHandler(GameDetour::FinalCamera, 0);
    SetDetourHandler(GameDetour::Projection, 0);
}

} // namespace
} // namespace corvane
