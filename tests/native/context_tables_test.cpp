#include "interception/context_tables.h"
#include "interception/method_table_patch.h"

#include "fakes/fake_memory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace corvane {
namespace {

using namespace testing_support;

constexpr size_t kTableEntries = 64;

// Distinct stand-in entry points: their addresses are all that matters.
struct EntryTargets {
    std::array<char, kTableEntries> bytes{};
    void* At(size_t i) { return &bytes[i]; }
};

// A method table in host memory that the simulated page table also knows, so protection
// changes are checked and recorded.
struct FakeTable {
    alignas(64) std::array<void*, kTableEntries> slots{};
    EntryTargets targets;

    FakeTable() {
        for (size_t i = 0; i < kTableEntries; ++i) {
            slots[i] = targets.At(i);
        }
        fake::Commit(reinterpret_cast<uintptr_t>(slots.data()), sizeof slots, kPageReadOnly);
    }
    void** Table() { return slots.data(); }
};

struct Handlers {
    EntryTargets targets;
    ContextHandlerSet Set() {
        ContextHandlerSet set;
        for (uint32_t i = 0; i < kContextMethodCount; ++i) {
            set.entries[i] = targets.At(i);
        }
        return set;
    }
};

class ContextTablesTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        ResetContextTablesForTesting();
    }
    void TearDown() override { ResetContextTablesForTesting(); }

    bool Hook(FakeTable& table) {
        std::lock_guard<std::mutex> lock(ContextHookMutex());
        return HookContextMethodTable(table.Table(), handlers.Set());
    }

    Handlers handlers;
};

TEST(ContextMethodSlots, AreTheContextTableIndexesInRecordOrder) {
    // ID3D11DeviceContext table indexes: VSSetConstantBuffers 7, VSSetShader 11, DrawIndexed 12,
    // Draw 13, Map 14, Unmap 15, RSSetScissorRects 45, UpdateSubresource 48.
    const std::array<uint32_t, 8> expected = {7, 11, 12, 13, 14, 15, 45, 48};
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(kContextMethodSlots[i], expected[i]) << "record index " << i + 1;
    }
    EXPECT_EQ(ContextMethodSlot(ContextMethod::VSSetConstantBuffers), 7u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::VSSetShader), 11u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::DrawIndexed), 12u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::Draw), 13u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::Map), 14u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::Unmap), 15u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::RSSetScissorRects), 45u);
    EXPECT_EQ(ContextMethodSlot(ContextMethod::UpdateSubresource), 48u);
    EXPECT_EQ(kMaxContextTables, 32u);
}

TEST_F(ContextTablesTest, EachTableKeepsItsOwnRealEntriesAndUnknownTablesUseTheFirst) {
    const uint32_t slots[] = {7, 11, 12, 13, 14, 15, 45, 48};
    FakeTable first;
    FakeTable second;
    EXPECT_EQ(FindRealEntryInTable(first.Table(), ContextMethod::Map), nullptr) << "nothing recorded yet";

    ASSERT_TRUE(Hook(first));
    ASSERT_TRUE(Hook(second));
    EXPECT_EQ(ContextTableRecordCount(), 2u);
    for (uint32_t i = 0; i < 8; ++i) {
        const auto method = static_cast<ContextMethod>(i + 1);
        EXPECT_EQ(first.slots[slots[i]], handlers.targets.At(i)) << "slot " << slots[i];
        EXPECT_EQ(second.slots[slots[i]], handlers.targets.At(i)) << "slot " << slots[i];
        EXPECT_EQ(FindRealEntryInTable(first.Table(), method), first.targets.At(slots[i]));
        EXPECT_EQ(FindRealEntryInTable(second.Table(), method), second.targets.At(slots[i]));
        // A context whose table was never met falls back to the first table's entries.
        EXPECT_EQ(FindRealEntryInTable(nullptr, method), first.targets.At(slots[i]));
    }
    // Slots that are not intercepted are untouched.
    EXPECT_EQ(first.slots[8], first.targets.At(8));
    EXPECT_EQ(first.slots[46], first.targets.At(46));
    // The protection is put back after each write.
    EXPECT_EQ(fake::ProtectionAt(reinterpret_cast<uintptr_t>(first.slots.data())), kPageReadOnly);
}

TEST_F(ContextTablesTest, ATableMetAgainGetsNoNewRecord) {
    FakeTable table;
    ASSERT_TRUE(Hook(table));
    ASSERT_TRUE(Hook(table));
    EXPECT_EQ(ContextTableRecordCount(), 1u);
    EXPECT_EQ(FindRealEntryInTable(table.Table(), ContextMethod::Draw), table.targets.At(13))
        << "our own handler must never become the real entry";
}

TEST_F(ContextTablesTest, AnEntryChangedByAnotherPartyAfterUsIsLeftAlone) {
    FakeTable table;
    ASSERT_TRUE(Hook(table));
    char foreign = 0;
    table.slots[14] = &foreign;
    EXPECT_FALSE(Hook(table));
    EXPECT_EQ(table.slots[14], &foreign);
    EXPECT_EQ(table.slots[15], handlers.targets.At(5)) << "the other slots stay ours";
    EXPECT_EQ(FindRealEntryInTable(table.Table(), ContextMethod::Map), table.targets.At(14));
}

TEST_F(ContextTablesTest, TablesThatCannotBeServedGetNoRecord) {
    {
        // Already carries one of our handlers without a record: its real entries are unknown.
        FakeTable table;
        table.slots[13] = handlers.targets.At(3);
        EXPECT_FALSE(Hook(table));
        EXPECT_EQ(table.slots[14], table.targets.At(14)) << "nothing patched";
    }
    {
        FakeTable table;
        table.slots[48] = nullptr;
        EXPECT_FALSE(Hook(table));
        EXPECT_EQ(table.slots[7], table.targets.At(7)) << "nothing patched";
    }
    EXPECT_EQ(ContextTableRecordCount(), 0u);
    EXPECT_EQ(FindRealEntryInTable(nullptr, ContextMethod::Map), nullptr) << "the fallback set stays empty";

    FakeTable good;
    ASSERT_TRUE(Hook(good));
    EXPECT_EQ(FindRealEntryInTable(nullptr, ContextMethod::Map), good.targets.At(14))
        << "the refused tables left nothing behind for the fallback";
}

TEST_F(ContextTablesTest, TheThirtyThirdTableIsRefused) {
    std::array<FakeTable, 33> tables;
    for (uint32_t i = 0; i < 32; ++i) {
        ASSERT_TRUE(Hook(tables[i])) << i;
    }
    EXPECT_FALSE(Hook(tables[32]));
    EXPECT_EQ(ContextTableRecordCount(), 32u);
    EXPECT_EQ(tables[32].slots[14], tables[32].targets.At(14));
    EXPECT_EQ(FindRealEntryInTable(tables[31].Table(), ContextMethod::Unmap), tables[31].targets.At(15));
}

TEST_F(ContextTablesTest, ASlotThatCannotBeMadeWritableIsNotHooked) {
    FakeTable table;
    const auto unmapSlot = reinterpret_cast<uintptr_t>(&table.slots[15]);
    fake::Memory().failProtect = [&](const fake::ProtectCall& call, size_t) {
        return call.address == unmapSlot && call.newProtect == kPageExecuteReadWrite;
    };
    EXPECT_FALSE(Hook(table));
    EXPECT_EQ(table.slots[15], table.targets.At(15));
    // The slots before it and, above all, after it (scissor, UpdateSubresource) are hooked.
    const uint32_t slots[] = {7, 11, 12, 13, 14, 15, 45, 48};
    for (uint32_t i = 0; i < kContextMethodCount; ++i) {
        if (slots[i] != 15) {
            EXPECT_EQ(table.slots[slots[i]], handlers.targets.At(i)) << "slot " << slots[i];
        }
    }
    fake::Memory().failProtect = nullptr;
    EXPECT_TRUE(Hook(table)) << "a later attempt finishes the table";
    EXPECT_EQ(ContextTableRecordCount(), 1u);
}

TEST_F(ContextTablesTest, ADeviceSlotSavesTheFirstEntryItReplaces) {
    FakeTable table;
    std::atomic<void*> real{nullptr};
    char handler = 0;
    char foreign = 0;
    ASSERT_TRUE(PatchMethodSlot(&table.slots[3], &handler, real));
    EXPECT_EQ(real.load(), table.targets.At(3));
    EXPECT_EQ(table.slots[3], &handler);
    EXPECT_TRUE(PatchMethodSlot(&table.slots[3], &handler, real)) << "already ours";
    EXPECT_EQ(real.load(), table.targets.At(3));

    // Another table of the same kind whose slot holds a different entry is not ours to take.
    FakeTable other;
    EXPECT_FALSE(PatchMethodSlot(&other.slots[3], &handler, real));
    EXPECT_EQ(other.slots[3], other.targets.At(3));

    table.slots[3] = &foreign;
    EXPECT_FALSE(PatchMethodSlot(&table.slots[3], &handler, real));
    EXPECT_EQ(table.slots[3], &foreign);
}

TEST_F(ContextTablesTest, ASlotWrittenByAnotherPartyWhileWeWriteIsOursOnlyIfItHoldsTheHandler) {
    char handler = 0;
    char foreign = 0;
    struct Case {
        const char* name;
        void* writtenMeanwhile;
        bool hooked;
    };
    const Case cases[] = {
        {"another thread hooked it first", &handler, true},
        {"a foreign hook got there first", &foreign, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTable table;
        std::atomic<void*> real{nullptr};
        // The other party's write lands between our read of the slot and our own write.
        bool written = false;
        fake::Memory().failProtect = [&](const fake::ProtectCall&, size_t) {
            if (!written) {
                table.slots[5] = c.writtenMeanwhile;
                written = true;
            }
            return false;
        };
        EXPECT_EQ(c.hooked, PatchMethodSlot(&table.slots[5], &handler, real));
        EXPECT_EQ(table.slots[5], c.writtenMeanwhile) << "their write survives";
        EXPECT_EQ(real.load(), table.targets.At(5));
        fake::Memory().failProtect = nullptr;
    }
}

} // namespace
} // namespace corvane
